#include "QuelmCore/companion/FlickKey.hpp"

#include <algorithm>

namespace quelm {

FlickKey::FlickKey(const std::vector<std::optional<FlickOutput>>& given) {
    std::copy_n(given.begin(), std::min(given.size(), outputs.size()), outputs.begin());
}

FlickKey FlickKey::fromKana(const std::vector<std::string>& kana) {
    std::vector<std::optional<FlickOutput>> given;
    given.reserve(kana.size());
    for (const auto& text : kana) {
        if (text.empty()) {
            given.emplace_back(std::nullopt);
        } else {
            given.emplace_back(FlickOutput::Text{text});
        }
    }
    return FlickKey(given);
}

const std::optional<FlickOutput>& FlickKey::output(FlickDirection direction) const {
    return outputs[static_cast<std::size_t>(rawValue(direction))];
}

std::optional<std::string> FlickKey::label() const {
    const auto& center = output(FlickDirection::center);
    if (!center) {
        return std::string();
    }
    return center->label();
}

std::vector<std::string> FlickKey::toggleCycle() const {
    std::vector<std::string> cycle;
    for (const auto& output : outputs) {
        const auto* text = output ? std::get_if<FlickOutput::Text>(&*output) : nullptr;
        if (text != nullptr && text->text != "「" && text->text != "」") {
            cycle.push_back(text->text);
        }
    }
    return cycle;
}

}  // namespace quelm
