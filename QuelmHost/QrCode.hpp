#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quelm {

// A QR code of a text (libqrencode, error correction M, 8-bit mode), as a square of modules
// without a quiet zone.
class QrCode final {
  public:
    static std::optional<QrCode> encode(const std::string& text);

    int size() const { return size_; }
    bool dark(int x, int y) const { return modules_[std::size_t(y) * size_ + x]; }

    // The code in the terminal: two module rows per line with half blocks, dark modules as
    // the terminal's background, inside a quiet zone of `margin` modules.
    std::string terminalText(int margin = 2) const;

  private:
    QrCode(int size, std::vector<bool> modules) : size_(size), modules_(std::move(modules)) {}
    int size_;
    std::vector<bool> modules_;
};

}  // namespace quelm
