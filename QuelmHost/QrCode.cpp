#include "QuelmHost/QrCode.hpp"

#include <qrencode.h>

namespace quelm {

std::optional<QrCode> QrCode::encode(const std::string& text) {
    QRcode* code = QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M);
    if (!code) {
        return std::nullopt;
    }
    std::vector<bool> modules(std::size_t(code->width) * code->width);
    for (std::size_t i = 0; i < modules.size(); ++i) {
        modules[i] = code->data[i] & 1;
    }
    QrCode result(code->width, std::move(modules));
    QRcode_free(code);
    return result;
}

std::string QrCode::terminalText(int margin) const {
    // Light modules are drawn as blocks, so the code reads the right way round on a
    // terminal with light text on a dark background.
    auto light = [&](int x, int y) {
        bool inside = x >= 0 && y >= 0 && x < size_ && y < size_;
        return !inside || !dark(x, y);
    };
    std::string out;
    for (int y = -margin; y < size_ + margin; y += 2) {
        for (int x = -margin; x < size_ + margin; ++x) {
            bool top = light(x, y);
            bool bottom = y + 1 < size_ + margin && light(x, y + 1);
            out += top && bottom ? "█" : top ? "▀" : bottom ? "▄" : " ";
        }
        out += '\n';
    }
    return out;
}

}  // namespace quelm
