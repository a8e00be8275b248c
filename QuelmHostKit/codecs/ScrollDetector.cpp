#include "QuelmHostKit/codecs/ScrollDetector.hpp"

#include <algorithm>
#include <cstring>

namespace quelm {

namespace {

// Stands for a segment of one flat colour: found at every shift, so it proves nothing.
constexpr std::uint64_t kFlat = 0;

std::uint64_t hashSegment(const std::uint8_t* row, int length) {
    std::uint64_t hash = 0x9E3779B97F4A7C15ULL;
    std::uint64_t differs = 0;
    const std::uint8_t first = row[0];
    int x = 0;
    for (; x + 8 <= length; x += 8) {
        std::uint64_t word;
        std::memcpy(&word, row + x, sizeof word);
        differs |= word ^ (0x0101010101010101ULL * first);
        hash = (hash ^ word) * 0xFF51AFD7ED558CCDULL;
        hash ^= hash >> 29;
    }
    for (; x < length; ++x) {
        differs |= row[x] ^ first;
        hash = (hash ^ row[x]) * 0xC4CEB9FE1A85EC53ULL;
    }
    hash ^= hash >> 32;
    if (differs == 0) {
        return kFlat;
    }
    return hash == kFlat ? 1 : hash;
}

}  // namespace

void ScrollDetector::reset() {
    last_.clear();
    width_ = 0;
    height_ = 0;
}

std::optional<int> ScrollDetector::observe(const std::uint8_t* luma, int stride, int width,
                                           int height) {
    if (luma == nullptr || width < 1 || height < 1 || stride < width) {
        reset();
        return std::nullopt;
    }
    const int bands = (width + kBandWidth - 1) / kBandWidth;
    hashes_.resize(std::size_t(bands) * height);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = luma + std::size_t(y) * stride;
        for (int band = 0; band < bands; ++band) {
            const int x = band * kBandWidth;
            hashes_[std::size_t(band) * height + y] =
                hashSegment(row + x, std::min(kBandWidth, width - x));
        }
    }
    const bool comparable = width == width_ && height == height_ && last_.size() == hashes_.size();
    width_ = width;
    height_ = height;
    if (!comparable) {
        last_.swap(hashes_);
        return std::nullopt;
    }

    std::size_t changed = 0;
    for (std::size_t i = 0; i < hashes_.size(); ++i) {
        changed += hashes_[i] != last_[i] && hashes_[i] != kFlat;
    }
    std::optional<int> found;
    if (changed >= std::size_t(kLeastVotes)) {
        // Every step-th changed segment is looked up, spread over the whole picture.
        const std::size_t step = std::max<std::size_t>(1, changed / kMaxSamples);
        votes_.assign(2 * kMaxShift + 1, 0);
        int samples = 0;
        std::size_t seen = 0;
        for (int band = 0; band < bands; ++band) {
            const std::uint64_t* now = &hashes_[std::size_t(band) * height];
            const std::uint64_t* before = &last_[std::size_t(band) * height];
            for (int y = 0; y < height; ++y) {
                if (now[y] == before[y] || now[y] == kFlat || seen++ % step != 0) {
                    continue;
                }
                ++samples;
                // Every place counts, not the nearest: rows repeat within a line of text (the
                // stems of its letters), and only the true shift is found by every segment.
                const int lowest = std::max(-kMaxShift, -y);
                const int highest = std::min(kMaxShift, height - 1 - y);
                for (int offset = lowest; offset <= highest; ++offset) {
                    if (offset != 0 && before[y + offset] == now[y]) {
                        ++votes_[kMaxShift - offset];
                    }
                }
            }
        }
        const auto best = std::max_element(votes_.begin(), votes_.end());
        if (*best >= kLeastVotes && *best >= kLeastShare * samples) {
            found = int(best - votes_.begin()) - kMaxShift;
        }
    }
    last_.swap(hashes_);
    return found;
}

}  // namespace quelm
