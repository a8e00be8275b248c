#include "tests/fakes/ToneAnalysis.hpp"

#include <cmath>
#include <numbers>

namespace quelm::test::ToneAnalysis {

std::vector<float> interleavedTone(const std::vector<double>& frequencies, int rate,
                                   std::size_t frames, std::size_t start) {
    std::vector<float> out;
    out.reserve(frames * frequencies.size());
    for (std::size_t i = 0; i < frames; ++i) {
        double t = static_cast<double>(start + i) / rate;
        for (double f : frequencies) {
            out.push_back(static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * f * t)));
        }
    }
    return out;
}

double frequency(std::span<const float> samples, double rate) {
    double first = -1;
    double last = -1;
    std::size_t count = 0;
    // A crossing counts only after the signal has been clearly negative, so that coding noise
    // around zero does not add crossings.
    bool armed = false;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < -0.05f) {
            armed = true;
        }
        if (armed && samples[i - 1] < 0 && samples[i] >= 0) {
            armed = false;
            double at = static_cast<double>(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
            if (count == 0) {
                first = at;
            }
            last = at;
            ++count;
        }
    }
    if (count < 2 || last <= first) {
        return 0;
    }
    return static_cast<double>(count - 1) * rate / (last - first);
}

double rms(std::span<const float> samples) {
    if (samples.empty()) {
        return 0;
    }
    double sum = 0;
    for (float s : samples) {
        sum += double(s) * s;
    }
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace quelm::test::ToneAnalysis
