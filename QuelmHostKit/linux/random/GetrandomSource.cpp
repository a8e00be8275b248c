#include "QuelmHostKit/linux/random/GetrandomSource.hpp"

#include <sys/random.h>

#include <cerrno>
#include <string>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

RandomSource getrandomSource() {
    return [](std::span<std::uint8_t> out) {
        std::size_t filled = 0;
        while (filled < out.size()) {
            ssize_t n = getrandom(out.data() + filled, out.size() - filled, 0);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Log::info("secure random failed: " + std::to_string(errno));
                return false;
            }
            filled += static_cast<std::size_t>(n);
        }
        return true;
    };
}

}  // namespace quelm
