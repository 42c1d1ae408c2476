// Run by the shell in every page, frame and worker of the course before their
// own scripts.
// fetch(): the web engine refuses it for the course's schemes ("kelzip:", and
// "file:" of loose files), whatever the scheme's registration says, while
// XMLHttpRequest of the same URLs is served: course URLs are answered through
// XMLHttpRequest, every other URL goes to the engine's own fetch() untouched.
// Built-ins: the few that current library releases use and this engine
// lacks; an engine that has them keeps its own.
(function () {
    'use strict';
    const define = function (target, name, value) {
        if (target && !Object.prototype.hasOwnProperty.call(target, name))
            Object.defineProperty(target, name, { value: value, writable: true, configurable: true });
    };

    const at = function at(index) {
        const self = typeof this === 'string' ? this : Object(this);
        const length = self.length >>> 0;
        let i = Math.trunc(index) || 0;
        if (i < 0)
            i += length;
        return i < 0 || i >= length ? undefined : self[i];
    };
    if (!Array.prototype.at && Array.prototype[Symbol.unscopables])
        Array.prototype[Symbol.unscopables].at = true;
    define(Array.prototype, 'at', at);
    define(String.prototype, 'at', function (index) { return at.call(String(this), index); });
    define(Object.getPrototypeOf(Int8Array.prototype), 'at', at);
    define(Object, 'hasOwn', function hasOwn(object, key) {
        return Object.prototype.hasOwnProperty.call(Object(object), key);
    });
    define(Promise, 'withResolvers', function withResolvers() {
        const r = {};
        r.promise = new this(function (resolve, reject) { r.resolve = resolve; r.reject = reject; });
        return r;
    });

    // The structured clone of the values pages pass around: plain data,
    // dates, regular expressions, maps, sets, buffers, blobs, errors, cycles.
    define(self, 'structuredClone', function structuredClone(value) {
        const seen = new Map();
        const fail = function (what) {
            throw new DOMException(what + ' could not be cloned.', 'DataCloneError');
        };
        const clone = function (v) {
            if (typeof v === 'function' || typeof v === 'symbol')
                fail(String(v).slice(0, 60));
            if (v === null || typeof v !== 'object')
                return v;
            if (seen.has(v))
                return seen.get(v);
            const tag = Object.prototype.toString.call(v).slice(8, -1);
            let copy;
            let fill = false;
            if (tag === 'Array') {
                copy = new Array(v.length);
                fill = true;
            } else if (tag === 'Object') {
                copy = {};
                fill = true;
            } else if (tag === 'Date') {
                copy = new Date(v.getTime());
            } else if (tag === 'RegExp') {
                copy = new RegExp(v.source, v.flags);
            } else if (['Boolean', 'Number', 'String', 'BigInt'].indexOf(tag) >= 0) {
                copy = Object(v.valueOf());
            } else if (tag === 'ArrayBuffer') {
                copy = v.slice(0);
            } else if (ArrayBuffer.isView(v)) {
                const buffer = clone(v.buffer);
                copy = tag === 'DataView' ? new DataView(buffer, v.byteOffset, v.byteLength)
                                          : new v.constructor(buffer, v.byteOffset, v.length);
            } else if (tag === 'Map' || tag === 'Set') {
                copy = new v.constructor();
                seen.set(v, copy);
                v.forEach(function (item, key) {
                    if (tag === 'Map')
                        copy.set(clone(key), clone(item));
                    else
                        copy.add(clone(item));
                });
            } else if (tag === 'File') {
                copy = new File([v], v.name, { type: v.type, lastModified: v.lastModified });
            } else if (tag === 'Blob') {
                copy = v.slice(0, v.size, v.type);
            } else if (tag === 'Error') {
                const Kind = self[v.name] && self[v.name].prototype instanceof Error ? self[v.name] : Error;
                copy = new Kind(v.message);
                copy.stack = v.stack;
            } else {
                fail(tag);
            }
            seen.set(v, copy);
            if (fill)
                Object.keys(v).forEach(function (key) { copy[key] = clone(v[key]); });
            return copy;
        };
        return clone(value);
    });

    const nativeFetch = self.fetch;
    const Xhr = self.XMLHttpRequest;
    const courseSchemes = ['kelzip:', 'file:'];
    // A file: response has no headers: its type comes from the extension.
    const fileTypes = { json: 'application/json', wasm: 'application/wasm', js: 'text/javascript',
        mjs: 'text/javascript', css: 'text/css', html: 'text/html', txt: 'text/plain',
        svg: 'image/svg+xml', png: 'image/png', jpg: 'image/jpeg', jpeg: 'image/jpeg',
        gif: 'image/gif', webp: 'image/webp', xml: 'application/xml', pdf: 'application/pdf' };
    // What the engine's fetch() gives for a failed request.
    const failed = function () { return new TypeError('Failed to fetch'); };
    const aborted = function () { return new DOMException('The user aborted a request.', 'AbortError'); };

    const courseUrl = function (input) {
        try {
            const url = new URL(input instanceof Request ? input.url : String(input),
                                self.document ? document.baseURI : self.location.href);
            return courseSchemes.indexOf(url.protocol) >= 0 ? url : null;
        } catch (e) {
            return null; // the engine's fetch() reports it
        }
    };

    self.fetch = function fetch(input) {
        const init = arguments[1];
        const url = courseUrl(input);
        if (!url)
            return nativeFetch.apply(self, arguments);
        return new Promise(function (resolve, reject) {
            const request = new Request(input, init);
            if (request.method !== 'GET' && request.method !== 'HEAD') {
                nativeFetch.call(self, request).then(resolve, reject);
                return;
            }
            if (request.signal.aborted) {
                reject(aborted());
                return;
            }
            const xhr = new Xhr();
            xhr.open(request.method, url.href);
            xhr.responseType = 'arraybuffer';
            xhr.onload = function () {
                // A file: load reports status 0.
                const status = xhr.status || 200;
                const headers = new Headers();
                xhr.getAllResponseHeaders().trim().split(/[\r\n]+/).forEach(function (line) {
                    const colon = line.indexOf(':');
                    if (colon > 0)
                        headers.append(line.slice(0, colon).trim(), line.slice(colon + 1).trim());
                });
                const extension = /\.([a-z0-9]+)$/i.exec(url.pathname);
                if (!headers.has('content-type') && url.protocol === 'file:' && extension
                    && fileTypes[extension[1].toLowerCase()])
                    headers.set('content-type', fileTypes[extension[1].toLowerCase()]);
                const noBody = request.method === 'HEAD' || [101, 204, 205, 304].indexOf(status) >= 0;
                try {
                    const response = new Response(noBody ? null : xhr.response, {
                        status: status,
                        statusText: xhr.statusText || 'OK',
                        headers: headers
                    });
                    Object.defineProperty(response, 'url', { value: xhr.responseURL || url.href.split('#')[0] });
                    resolve(response);
                } catch (e) {
                    reject(failed());
                }
            };
            xhr.onerror = xhr.ontimeout = function () { reject(failed()); };
            xhr.onabort = function () { reject(aborted()); };
            request.signal.addEventListener('abort', function () { xhr.abort(); });
            xhr.send();
        });
    };
})();
