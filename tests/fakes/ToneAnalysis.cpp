#include "tests/fakes/ToneAnalysis.hpp"

#include <algorithm>
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
    // Rising zero crossings, placed between samples by linear interpolation. A crossing counts
    // only after the signal has been clearly negative, so coding noise near zero adds none.
    std::vector<double> crossings;
    bool armed = false;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < -0.05f) {
            armed = true;
        }
        if (armed && samples[i - 1] < 0 && samples[i] >= 0) {
            armed = false;
            crossings.push_back(static_cast<double>(i - 1) +
                                samples[i - 1] / (samples[i - 1] - samples[i]));
        }
    }
    if (crossings.size() < 2) {
        return 0;
    }
    // The periods near the median; gaps and glitches (a silence, a seam) fall outside.
    std::vector<double> periods;
    for (std::size_t i = 1; i < crossings.size(); ++i) {
        periods.push_back(crossings[i] - crossings[i - 1]);
    }
    std::vector<double> sorted = periods;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    double median = sorted[sorted.size() / 2];
    double sum = 0;
    std::size_t count = 0;
    for (double p : periods) {
        if (std::abs(p - median) <= 0.1 * median) {
            sum += p;
            ++count;
        }
    }
    return count > 0 ? rate * static_cast<double>(count) / sum : 0;
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
