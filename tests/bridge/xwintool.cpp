// Window helper for tst_shellwindow under Xvfb, where no window manager runs:
//   xwintool list <pid>    one line per mapped top-level window: <id> <width>x<height> <title>
//   xwintool close <pid>   sends each of them WM_DELETE_WINDOW, as a window manager would
// Exit code 1: the process has no mapped window; 2: usage or display errors.

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A window property of the given type, as bytes; empty when it is missing.
std::string property(Display *display, Window window, const char *name, Atom type)
{
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char *data = nullptr;
    std::string value;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 4096, False,
                           type, &actualType, &format, &count, &after, &data) != Success)
        return value;
    if (data && actualType == type)
        value.assign(reinterpret_cast<char *>(data), format == 32 ? count * sizeof(long) : count);
    if (data)
        XFree(data);
    return value;
}

long windowPid(Display *display, Window window)
{
    const std::string pid = property(display, window, "_NET_WM_PID", XA_CARDINAL);
    return pid.size() == sizeof(long) ? *reinterpret_cast<const long *>(pid.data()) : -1;
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
    const bool close = argc == 3 && std::strcmp(argv[1], "close") == 0;
    if (argc != 3 || (!close && std::strcmp(argv[1], "list") != 0)) {
        std::fprintf(stderr, "usage: %s list|close <pid>\n", argv[0]);
        return 2;
    }
    const long pid = std::strtol(argv[2], nullptr, 10);
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot open display\n");
        return 2;
    }
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Window root = DefaultRootWindow(display);
    Window parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    int found = 0;
    if (XQueryTree(display, root, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            if (!XGetWindowAttributes(display, children[i], &attributes)
                || attributes.map_state != IsViewable || attributes.override_redirect
                || windowPid(display, children[i]) != pid)
                continue;
            ++found;
            if (close)
                sendDelete(display, children[i]);
            else
                std::printf("0x%lx %dx%d %s\n", children[i], attributes.width, attributes.height,
                            property(display, children[i], "_NET_WM_NAME", utf8).c_str());
        }
        if (children)
            XFree(children);
    }
    XSync(display, False);
    XCloseDisplay(display);
    return found ? 0 : 1;
}
