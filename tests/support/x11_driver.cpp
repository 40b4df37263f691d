// savrel-x11-driver: plays the window manager and the user for end-to-end tests.
//
// No window manager runs under Xvfb, so closing the window means sending the
// WM_DELETE_WINDOW client message ourselves; mouse input goes through XTest.
//
// Usage: savrel-x11-driver [--window TITLE] COMMAND [ARGS] [COMMAND [ARGS]] ...
//   wait                 wait (up to 20 s) until the titled window is mapped; prints its size
//   move X Y             pointer to window pixel (X, Y)
//   down B | up B        press / release mouse button B (1 left, 2 middle, 3 right)
//   key NAME             press and release a key (an X keysym name such as "a" or "Escape")
//   sleep MS             wait MS milliseconds
//   pixel X Y            print "R G B" of window pixel (X, Y)
//   shot FILE            write the window's pixels to FILE as a binary PPM
//   resize W H           ask for a new window size
//   close                send WM_DELETE_WINDOW
//   size                 print the window's current "W H"
// Exits 0 on success, 1 when the window is not found or a command fails, 2 on bad usage.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// Windows of other clients may vanish while the tree is walked; their errors are not ours.
int ignore_x_errors(Display*, XErrorEvent*)
{
    return 0;
}

Window find_window(Display* display, Window root, const char* title)
{
    Window parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, root, &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && !found; i++) {
        char* name = nullptr;
        XWindowAttributes attributes;
        if (XFetchName(display, children[i], &name) && name && std::strcmp(name, title) == 0 &&
            XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable)
            found = children[i];
        if (name) XFree(name);
        if (!found) found = find_window(display, children[i], title);
    }
    if (children) XFree(children);
    return found;
}

Window wait_window(Display* display, const char* title, int milliseconds)
{
    for (int waited = 0; waited <= milliseconds; waited += 50) {
        Window window = find_window(display, DefaultRootWindow(display), title);
        if (window) return window;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

void window_origin(Display* display, Window window, int* x, int* y)
{
    Window child;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, x, y, &child);
}

void send_close(Display* display, Window window)
{
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
}

bool print_pixel(Display* display, Window window, int x, int y)
{
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return false;
    unsigned long pixel = XGetPixel(image, 0, 0);
    std::printf("%lu %lu %lu\n", (pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
    XDestroyImage(image);
    return true;
}

bool write_shot(Display* display, Window window, const char* path)
{
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes)) return false;
    XImage* image = XGetImage(display, window, 0, 0, unsigned(attributes.width), unsigned(attributes.height),
                              AllPlanes, ZPixmap);
    if (!image) return false;
    FILE* file = std::fopen(path, "wb");
    if (file) {
        std::fprintf(file, "P6\n%d %d\n255\n", attributes.width, attributes.height);
        for (int y = 0; y < attributes.height; y++)
            for (int x = 0; x < attributes.width; x++) {
                unsigned long pixel = XGetPixel(image, x, y);
                unsigned char rgb[3] = {(unsigned char)(pixel >> 16), (unsigned char)(pixel >> 8),
                                        (unsigned char)pixel};
                std::fwrite(rgb, 1, 3, file);
            }
        std::fclose(file);
    }
    XDestroyImage(image);
    return file != nullptr;
}

int usage()
{
    std::fprintf(stderr, "usage: savrel-x11-driver [--window TITLE] COMMAND [ARGS] ...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* title = "Savrel";
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--window") == 0) {
        title = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return usage();
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "savrel-x11-driver: no display\n");
        return 1;
    }
    XSetErrorHandler(ignore_x_errors);
    Window window = wait_window(display, title, 20000);
    if (!window) {
        std::fprintf(stderr, "savrel-x11-driver: no window titled \"%s\"\n", title);
        return 1;
    }
    for (; i < argc; i++) {
        std::string command = argv[i];
        auto argument = [&](int k) { return i + k < argc ? std::atoi(argv[i + k]) : 0; };
        int origin_x = 0, origin_y = 0;
        if (command == "wait") {
            XWindowAttributes attributes;
            XGetWindowAttributes(display, window, &attributes);
            std::printf("%d %d\n", attributes.width, attributes.height);
        } else if (command == "move") {
            window_origin(display, window, &origin_x, &origin_y);
            XTestFakeMotionEvent(display, -1, origin_x + argument(1), origin_y + argument(2), CurrentTime);
            i += 2;
        } else if (command == "down" || command == "up") {
            XTestFakeButtonEvent(display, unsigned(argument(1)), command == "down", CurrentTime);
            i += 1;
        } else if (command == "key" && i + 1 < argc) {
            KeyCode code = XKeysymToKeycode(display, XStringToKeysym(argv[i + 1]));
            XTestFakeKeyEvent(display, code, True, CurrentTime);
            XTestFakeKeyEvent(display, code, False, CurrentTime);
            i += 1;
        } else if (command == "sleep") {
            XSync(display, False);
            std::this_thread::sleep_for(std::chrono::milliseconds(argument(1)));
            i += 1;
        } else if (command == "pixel") {
            XSync(display, False);
            if (!print_pixel(display, window, argument(1), argument(2))) return 1;
            i += 2;
        } else if (command == "shot" && i + 1 < argc) {
            XSync(display, False);
            if (!write_shot(display, window, argv[i + 1])) return 1;
            i += 1;
        } else if (command == "resize") {
            XResizeWindow(display, window, unsigned(argument(1)), unsigned(argument(2)));
            i += 2;
        } else if (command == "close") {
            send_close(display, window);
        } else if (command == "size") {
            XWindowAttributes attributes;
            XGetWindowAttributes(display, window, &attributes);
            std::printf("%d %d\n", attributes.width, attributes.height);
        } else {
            return usage();
        }
        XSync(display, False);
        std::fflush(stdout);
    }
    XCloseDisplay(display);
    return 0;
}
