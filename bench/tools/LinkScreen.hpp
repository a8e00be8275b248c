#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the link benchmark shows on the X screen and reads back from it: a text window (the
// terminal), a small square that turns black or white, a full-screen photograph-like texture,
// and the screen's luma as the stream carries it (BT.709, video range).
class LinkScreen {
  public:
    LinkScreen() = default;
    ~LinkScreen();
    LinkScreen(const LinkScreen&) = delete;
    LinkScreen& operator=(const LinkScreen&) = delete;

    bool open();
    int width() const { return width_; }
    int height() const { return height_; }

    std::vector<std::uint8_t> luma();
    void parkPointer();
    void showTerminalDesk();
    void paintSquare(bool dark);
    // Mean luma of the square's area in a picture of the screen's size.
    int squareLuma(const std::vector<std::uint8_t>& picture) const;
    // Scrolls the text window a line per 1/60 s for `seconds`, calling `between` with the time
    // left until the next line.
    void scroll(double seconds, const std::function<void(double)>& between);
    void showTexture();
    void hideTexture();

  private:
    unsigned long makeWindow(int x, int y, int width, int height);
    void drawLine(int row, int y);

    void* display_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    unsigned long text_ = 0;
    unsigned long square_ = 0;
    unsigned long texture_ = 0;
    void* gc_ = nullptr;
    int lines_ = 0;
};
