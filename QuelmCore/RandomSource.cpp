#include "QuelmCore/RandomSource.hpp"

#include <exception>
#include <random>

namespace quelm {

RandomSource standardRandomSource() {
    return [](std::span<std::uint8_t> out) {
        try {
            std::random_device device;
            std::size_t i = 0;
            while (i < out.size()) {
                auto word = device();
                for (int b = 0; b < 4 && i < out.size(); ++b, word >>= 8) {
                    out[i++] = static_cast<std::uint8_t>(word);
                }
            }
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
}

}  // namespace quelm
