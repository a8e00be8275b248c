#include "QuelmCore/companion/SoloCommandTap.hpp"

#include "QuelmCore/companion/HIDKeys.hpp"

namespace quelm {

void SoloCommandTap::keyDown(std::uint16_t code, double at) {
    const bool command = code == HIDKeys::leftCommand || code == HIDKeys::rightCommand;
    if (command && !candidate) {
        candidate = code;
        since = at;
    } else {
        candidate.reset();
    }
}

std::optional<std::uint16_t> SoloCommandTap::keyUp(std::uint16_t code, double at) {
    if (!candidate || code != *candidate) {
        return std::nullopt;
    }
    candidate.reset();
    if (at - since > maxDuration) {
        return std::nullopt;
    }
    return code == HIDKeys::leftCommand ? HIDKeys::eisu : HIDKeys::kana;
}

}  // namespace quelm
