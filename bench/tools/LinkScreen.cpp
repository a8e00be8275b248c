#include "bench/tools/LinkScreen.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>

namespace {

constexpr int kTextX = 60, kTextY = 60, kTextW = 1300, kTextH = 900, kLine = 18;
constexpr int kSquareX = 1700, kSquareY = 120, kSquare = 64;

Display* dpy(void* display) {
    return static_cast<Display*>(display);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::uint32_t mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

double noise(double x, double y, int octave) {
    auto h = [&](int a, int b) {
        return (mix(unsigned(a) * 73856093u ^ unsigned(b) * 19349663u ^ unsigned(octave)) &
                0xFFFF) /
               65535.0;
    };
    const int xi = int(std::floor(x)), yi = int(std::floor(y));
    const double fx = x - xi, fy = y - yi;
    const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const double top = h(xi, yi) + (h(xi + 1, yi) - h(xi, yi)) * sx;
    const double bottom = h(xi, yi + 1) + (h(xi + 1, yi + 1) - h(xi, yi + 1)) * sx;
    return top + (bottom - top) * sy;
}

}  // namespace

LinkScreen::~LinkScreen() {
    if (display_) {
        XFreeGC(dpy(display_), static_cast<GC>(gc_));
        XCloseDisplay(dpy(display_));
    }
}

bool LinkScreen::open() {
    display_ = XOpenDisplay(nullptr);
    if (!display_) {
        return false;
    }
    Display* d = dpy(display_);
    width_ = DisplayWidth(d, DefaultScreen(d));
    height_ = DisplayHeight(d, DefaultScreen(d));
    gc_ = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    text_ = makeWindow(kTextX, kTextY, kTextW, kTextH);
    square_ = makeWindow(kSquareX, kSquareY, kSquare, kSquare);
    texture_ = makeWindow(0, 0, width_, height_);
    return true;
}

unsigned long LinkScreen::makeWindow(int x, int y, int width, int height) {
    Display* d = dpy(display_);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = WhitePixel(d, DefaultScreen(d));
    return XCreateWindow(d, DefaultRootWindow(d), x, y, unsigned(width), unsigned(height), 0,
                         CopyFromParent, InputOutput, CopyFromParent,
                         CWOverrideRedirect | CWBackPixel, &attributes);
}

std::vector<std::uint8_t> LinkScreen::luma() {
    Display* d = dpy(display_);
    XSync(d, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, unsigned(width_), unsigned(height_),
                              AllPlanes, ZPixmap);
    std::vector<std::uint8_t> out(std::size_t(width_) * height_);
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            const double r = (pixel >> 16) & 0xFF, g = (pixel >> 8) & 0xFF, b = pixel & 0xFF;
            out[std::size_t(y) * width_ + x] = static_cast<std::uint8_t>(
                std::lround(16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255));
        }
    }
    XDestroyImage(image);
    return out;
}

void LinkScreen::parkPointer() {
    Display* d = dpy(display_);
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, width_ - 1, height_ - 1);
    XSync(d, False);
}

void LinkScreen::drawLine(int row, int y) {
    Display* d = dpy(display_);
    GC gc = static_cast<GC>(gc_);
    XSetForeground(d, gc, WhitePixel(d, DefaultScreen(d)));
    XFillRectangle(d, text_, gc, 0, y, kTextW, kLine);
    XSetForeground(d, gc, BlackPixel(d, DefaultScreen(d)));
    // Lines of a shell session: a prompt, then output of varied length, some empty.
    const std::size_t length = mix(unsigned(row) * 31u) % 4 == 0 ? 0 : 20 + mix(unsigned(row)) % 90;
    std::string text = std::to_string(row) + "  ";
    for (int word = 0; text.size() < length; ++word) {
        const std::uint32_t h = mix(unsigned(row) * 977u + unsigned(word));
        text += std::string(2 + h % 9, char('a' + h % 26)) + (h % 7 == 0 ? "() " : " ");
    }
    XDrawString(d, text_, gc, 4, y + kLine - 4, text.c_str(), int(text.size()));
}

void LinkScreen::showTerminalDesk() {
    Display* d = dpy(display_);
    XMapRaised(d, text_);
    XMapRaised(d, square_);
    XSync(d, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int row = 0; row < kTextH / kLine; ++row) {
        drawLine(lines_++, row * kLine);
    }
    paintSquare(false);
}

void LinkScreen::paintSquare(bool dark) {
    Display* d = dpy(display_);
    GC gc = static_cast<GC>(gc_);
    XSetForeground(d, gc, dark ? BlackPixel(d, DefaultScreen(d)) : WhitePixel(d, DefaultScreen(d)));
    XFillRectangle(d, square_, gc, 0, 0, kSquare, kSquare);
    XSync(d, False);
}

int LinkScreen::squareLuma(const std::vector<std::uint8_t>& picture) const {
    if (picture.size() != std::size_t(width_) * height_) {
        return -1;
    }
    long sum = 0;
    for (int y = kSquareY + 8; y < kSquareY + kSquare - 8; ++y) {
        for (int x = kSquareX + 8; x < kSquareX + kSquare - 8; ++x) {
            sum += picture[std::size_t(y) * width_ + x];
        }
    }
    return int(sum / ((kSquare - 16) * (kSquare - 16)));
}

void LinkScreen::scroll(double seconds, const std::function<void(double)>& between) {
    Display* d = dpy(display_);
    GC gc = static_cast<GC>(gc_);
    const int visible = kTextH / kLine;
    const double end = now() + seconds;
    double next = now();
    while (now() < end) {
        XCopyArea(d, text_, text_, gc, 0, kLine, kTextW, unsigned((visible - 1) * kLine), 0, 0);
        drawLine(lines_++, (visible - 1) * kLine);
        XFlush(d);
        next += 1.0 / 60;
        between(std::max(0.001, next - now()));
    }
    XSync(d, False);
}

void LinkScreen::showTexture() {
    Display* d = dpy(display_);
    XMapRaised(d, texture_);
    XSync(d, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    XImage* image =
        XGetImage(d, texture_, 0, 0, unsigned(width_), unsigned(height_), AllPlanes, ZPixmap);
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            double v = 0, amplitude = 0.5, frequency = 1 / 48.0;
            for (int octave = 0; octave < 6; ++octave) {
                v += amplitude * noise(x * frequency, y * frequency, octave);
                amplitude *= 0.6;
                frequency *= 2.3;
            }
            const double tint = noise(x / 300.0, y / 300.0, 9);
            auto channel = [&](double k) {
                return static_cast<unsigned long>(std::clamp((v * k) * 420 - 90, 0.0, 255.0));
            };
            XPutPixel(image, x, y,
                      (channel(0.8 + 0.4 * tint) << 16) | (channel(1.0) << 8) |
                          channel(1.2 - 0.4 * tint));
        }
    }
    XPutImage(d, texture_, static_cast<GC>(gc_), image, 0, 0, 0, 0, unsigned(width_),
              unsigned(height_));
    XDestroyImage(image);
    XSync(d, False);
}

void LinkScreen::hideTexture() {
    XUnmapWindow(dpy(display_), texture_);
    XSync(dpy(display_), False);
}
