#include "QuelmCore/companion/KanaVariant.hpp"

namespace quelm::KanaVariant {

std::optional<std::string_view> next(std::string_view kana) {
    if (kana.empty()) {
        return std::nullopt;
    }
    for (const auto& cycle : cycles) {
        for (std::size_t i = 0; i < cycle.size(); ++i) {
            if (cycle[i] != kana) {
                continue;
            }
            const bool last = i + 1 == cycle.size() || cycle[i + 1].empty();
            return last ? cycle[0] : cycle[i + 1];
        }
    }
    return std::nullopt;
}

}  // namespace quelm::KanaVariant
