// Window helper for the end-to-end tests under Xvfb, where no window manager
// runs: lists a process's mapped top-level windows and asks them to close the
// way a window manager would (WM_DELETE_WINDOW).
//
//   xwintool list <pid>    one line per window: <id> <width>x<height> <title>
//   xwintool close <pid>   sends WM_DELETE_WINDOW to each of them
//
// Exit code 0 on success, 1 when the process has no mapped window, 2 on
// usage or display errors.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

long windowPid(Display *display, Window window)
{
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
    if (pidAtom == None)
        return -1;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char *data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success && data) {
        if (type == XA_CARDINAL && format == 32 && count == 1)
            pid = static_cast<long>(*reinterpret_cast<unsigned long *>(data));
        XFree(data);
    }
    return pid;
}

std::string windowTitle(Display *display, Window window)
{
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char *data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netName, 0, 4096, False, utf8, &type, &format,
                           &count, &after, &data) == Success && data) {
        if (type == utf8 && format == 8)
            title.assign(reinterpret_cast<char *>(data), count);
        XFree(data);
        return title;
    }
    char *name = nullptr;
    if (XFetchName(display, window, &name) && name) {
        title = name;
        XFree(name);
    }
    return title;
}

std::vector<Window> mappedWindowsOf(Display *display, long pid)
{
    std::vector<Window> out;
    Window root = DefaultRootWindow(display);
    Window parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, root, &root, &parent, &children, &count))
        return out;
    for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display, children[i], &attributes))
            continue;
        if (attributes.map_state != IsViewable || attributes.override_redirect)
            continue;
        if (windowPid(display, children[i]) == pid)
            out.push_back(children[i]);
    }
    if (children)
        XFree(children);
    return out;
}

void sendDelete(Display *display, Window window)
{
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "list") != 0 && std::strcmp(argv[1], "close") != 0)) {
        std::fprintf(stderr, "usage: %s list|close <pid>\n", argv[0]);
        return 2;
    }
    const long pid = std::strtol(argv[2], nullptr, 10);
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot open display\n");
        return 2;
    }
    const std::vector<Window> windows = mappedWindowsOf(display, pid);
    for (Window window : windows) {
        if (std::strcmp(argv[1], "close") == 0) {
            sendDelete(display, window);
            continue;
        }
        XWindowAttributes attributes;
        XGetWindowAttributes(display, window, &attributes);
        std::printf("0x%lx %dx%d %s\n", window, attributes.width, attributes.height,
                    windowTitle(display, window).c_str());
    }
    XSync(display, False);
    XCloseDisplay(display);
    return windows.empty() ? 1 : 0;
}
