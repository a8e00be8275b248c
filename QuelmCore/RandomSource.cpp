#include "QuelmCore/RandomSource.hpp"

#include <exception>
#include <random>

namespace quelm {

RandomSource standardRandomSource() {
    return [](std::span<std::uint8_t> out) {
        try {
            std::random_device device;
            using Word = std::random_device::result_type;
            Word word = 0;
            std::size_t left = 0;
            for (auto& byte : out) {
                if (left == 0) {
                    word = device();
                    left = sizeof(Word);
                }
                byte = static_cast<std::uint8_t>(word);
                word >>= 8;
                --left;
            }
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
}

}  // namespace quelm
