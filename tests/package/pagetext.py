#!/usr/bin/env python3
"""Prints the text of one element of the first page the web engine's remote
debugging port lists, once it matches a pattern (exit 0), or the last text
seen at the deadline (exit 1). Usage: pagetext.py PORT ELEMENT_ID REGEX SECONDS
Speaks just enough of the WebSocket protocol for Runtime.evaluate."""
import base64, json, os, re, socket, struct, sys, time, urllib.request

port, element, pattern, seconds = sys.argv[1], sys.argv[2], re.compile(sys.argv[3]), float(sys.argv[4])
deadline = time.monotonic() + seconds


def evaluate(ws_path, expression, ident):
    s = socket.create_connection(("127.0.0.1", int(port)), timeout=10)
    stream = s.makefile("rb")
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (ws_path, port, key)).encode())
    while stream.readline() not in (b"\r\n", b""):  # the handshake's answer
        pass
    payload = json.dumps({"id": ident, "method": "Runtime.evaluate",
                          "params": {"expression": expression, "returnByValue": True}}).encode()
    mask = os.urandom(4)
    header = bytes([0x81]) + (bytes([0x80 | len(payload)]) if len(payload) < 126
                              else bytes([0x80 | 126]) + struct.pack(">H", len(payload)))
    s.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
    while True:
        length = stream.read(2)[1] & 0x7F
        if length == 126:
            length = struct.unpack(">H", stream.read(2))[0]
        elif length == 127:
            length = struct.unpack(">Q", stream.read(8))[0]
        message = json.loads(stream.read(length))
        if message.get("id") == ident:
            s.close()
            return message["result"]["result"].get("value")


text, ident = None, 0
while time.monotonic() < deadline:
    try:
        pages = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json" % port, timeout=5))
        page = next(p for p in pages if p.get("type") == "page")
        ident += 1
        text = evaluate(page["webSocketDebuggerUrl"].split(port, 1)[1],
                        "(document.getElementById(%s) || {}).textContent" % json.dumps(element), ident)
        if text and pattern.search(text):
            print(text)
            sys.exit(0)
    except (OSError, StopIteration, ValueError, KeyError, IndexError):
        pass
    time.sleep(0.5)
print(text)
sys.exit(1)
