#include "QuelmCore/RandomSource.hpp"

#include <exception>
#include <memory>
#include <random>

namespace quelm {

namespace {

// Opening a random_device probes the CPU (cpuid, which traps under a hypervisor) or opens a
// file; one per thread, opened at first use, keeps ids cheap.
std::random_device* threadDevice() {
    thread_local std::unique_ptr<std::random_device> device;
    thread_local bool failed = false;
    if (!device && !failed) {
        try {
            device = std::make_unique<std::random_device>();
        } catch (const std::exception&) {
            failed = true;
        }
    }
    return device.get();
}

}  // namespace

RandomSource standardRandomSource() {
    return [](std::span<std::uint8_t> out) {
        std::random_device* device = threadDevice();
        if (device == nullptr) {
            return false;
        }
        try {
            std::size_t i = 0;
            while (i < out.size()) {
                auto word = (*device)();
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
