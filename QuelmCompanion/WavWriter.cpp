#include "QuelmCompanion/WavWriter.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace quelm {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint16_t kChannels = 2;
constexpr std::uint16_t kBytesPerSample = 2;

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v));
    put16(out, static_cast<std::uint16_t>(v >> 16));
}

}  // namespace

WavWriter::~WavWriter() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool WavWriter::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "wb");
    return file_ != nullptr && writeHeader();
}

bool WavWriter::writeHeader() {
    // A RIFF file cannot describe more than 4 GB; the sizes stop growing there.
    std::uint64_t data =
        std::min<std::uint64_t>(frames_ * kChannels * kBytesPerSample, 0xFFFFFFFFu - 36);
    std::vector<std::uint8_t> h;
    for (char c : std::string("RIFF"))
        h.push_back(static_cast<std::uint8_t>(c));
    put32(h, static_cast<std::uint32_t>(36 + data));
    for (char c : std::string("WAVEfmt "))
        h.push_back(static_cast<std::uint8_t>(c));
    put32(h, 16);
    put16(h, 1);  // integer PCM
    put16(h, kChannels);
    put32(h, kRate);
    put32(h, kRate * kChannels * kBytesPerSample);
    put16(h, kChannels * kBytesPerSample);
    put16(h, 8 * kBytesPerSample);
    for (char c : std::string("data"))
        h.push_back(static_cast<std::uint8_t>(c));
    put32(h, static_cast<std::uint32_t>(data));
    return std::fseek(file_, 0, SEEK_SET) == 0 &&
           std::fwrite(h.data(), 1, h.size(), file_) == h.size() &&
           std::fseek(file_, 0, SEEK_END) == 0;
}

bool WavWriter::append(const PcmBuffer& pcm) {
    if (file_ == nullptr) {
        return false;
    }
    std::size_t n = pcm.channels[0].size();
    std::vector<std::uint8_t> bytes;
    bytes.reserve(n * kChannels * kBytesPerSample);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < kChannels; ++c) {
            float v = i < pcm.channels[c].size() ? pcm.channels[c][i] : 0.0f;
            v = std::isfinite(v) ? std::clamp(v, -1.0f, 1.0f) : 0.0f;
            put16(bytes,
                  static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767.0f))));
        }
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        return false;
    }
    frames_ += n;
    return writeHeader() && std::fflush(file_) == 0;
}

}  // namespace quelm
