// quelmix-motion: full-screen motion on an X display for the streaming figures. Covers the
// screen with a window and scrolls a textured picture across it `fps` times a second (the X
// server does the copying, so the painter itself costs little), until killed.
//
//   quelmix-motion [fps]        (DISPLAY names the server; default 60)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

int main(int argc, char** argv) {
    const int fps = argc > 1 ? std::atoi(argv[1]) : 60;
    Display* display = XOpenDisplay(nullptr);
    if (!display || fps < 1) {
        std::fprintf(stderr, "quelmix-motion: no X display or a bad rate\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    const int width = DisplayWidth(display, screen);
    const int height = DisplayHeight(display, screen);
    const Window root = RootWindow(display, screen);

    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    Window window = XCreateWindow(display, root, 0, 0, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                                  CopyFromParent, CWOverrideRedirect, &attributes);
    XMapRaised(display, window);

    // A picture twice as wide as the screen: coloured tiles with fine noise, like a desktop
    // with photographs and text, so the encoder has real work.
    const int textureWidth = width * 2;
    Pixmap texture = XCreatePixmap(display, window, static_cast<unsigned>(textureWidth),
                                   static_cast<unsigned>(height),
                                   static_cast<unsigned>(DefaultDepth(display, screen)));
    std::vector<char> pixels(static_cast<std::size_t>(textureWidth) * height * 4);
    std::mt19937 random(7);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < textureWidth; ++x) {
            const unsigned tile = static_cast<unsigned>((x / 64) * 31 + (y / 48) * 17);
            const unsigned noise = random() & 0x1F;
            char* p = &pixels[(static_cast<std::size_t>(y) * textureWidth + x) * 4];
            p[0] = static_cast<char>((tile * 53 + noise) & 0xFF);
            p[1] = static_cast<char>((tile * 97 + x / 4 + noise) & 0xFF);
            p[2] = static_cast<char>((tile * 29 + y / 4 + noise) & 0xFF);
            p[3] = 0;
        }
    }
    XImage* image = XCreateImage(display, DefaultVisual(display, screen),
                                 static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, 0,
                                 pixels.data(), static_cast<unsigned>(textureWidth),
                                 static_cast<unsigned>(height), 32, 0);
    GC gc = XCreateGC(display, texture, 0, nullptr);
    XPutImage(display, texture, gc, image, 0, 0, 0, 0, static_cast<unsigned>(textureWidth),
              static_cast<unsigned>(height));
    image->data = nullptr;
    XDestroyImage(image);
    XSync(display, False);

    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const long step = 1000000000L / fps;
    for (long frame = 0;; ++frame) {
        const int offset = static_cast<int>((frame * 8) % width);
        XCopyArea(display, texture, window, gc, offset, 0, static_cast<unsigned>(width),
                  static_cast<unsigned>(height), 0, 0);
        XSync(display, False);
        next.tv_nsec += step;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}
