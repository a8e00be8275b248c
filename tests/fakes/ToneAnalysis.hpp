#pragma once

#include <span>
#include <vector>

namespace quelm::test {

// Generated sine tones and a frequency measure for audio round trips.
namespace ToneAnalysis {

// `frames` interleaved frames, one sine per channel (its frequency in Hz), amplitude 0.5,
// continuing from frame `start` so that consecutive calls join without a seam.
std::vector<float> interleavedTone(const std::vector<double>& frequencies, int rate,
                                   std::size_t frames, std::size_t start = 0);

// Frequency of a periodic signal from the typical spacing of its rising zero crossings (gaps
// and glitches ignored), for a signal well above 0.05 in amplitude; 0 without two crossings.
double frequency(std::span<const float> samples, double rate);

// Root mean square of the samples.
double rms(std::span<const float> samples);

}  // namespace ToneAnalysis

}  // namespace quelm::test
