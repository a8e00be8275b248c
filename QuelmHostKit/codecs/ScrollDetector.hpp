#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quelm {

// Notices when most of what changed between two pictures is content moved up or down: a terminal
// or a page scrolling. The encoder's cheap motion search does not look that far, so without a hint
// every scrolled line is coded anew.
//
// Each picture is cut into bands kBandWidth pixels wide; every row of every band is reduced to a
// hash, and only the hashes of the last picture are kept. A changed row segment votes for every
// shift within kMaxShift rows at which the same segment sat in the last picture; segments of one
// flat colour say nothing and do not vote. At most kMaxSamples changed segments
// are looked up, so a picture that changed everywhere costs little more than its hashing.
class ScrollDetector final {
  public:
    static constexpr int kBandWidth = 64;
    // A fast terminal scroll moves a 1080p screen about a thousand rows a second, and on a slow
    // link frames may lie 100-200 ms apart. A scroll beyond the reach is coded anew: the frame
    // overflows, goes out as a key frame, holds the link, and the next shift is longer still.
    static constexpr int kMaxShift = 256;
    // Each sample is compared at every shift within reach; a few hundred decide a scroll as
    // surely as a thousand did at a quarter of the reach.
    static constexpr int kMaxSamples = 256;
    // A scroll needs this many agreeing votes, and at least this share of the changed samples.
    static constexpr int kLeastVotes = 24;
    static constexpr double kLeastShare = 0.4;

    // The rows the content moved (positive: down, as a page scrolled back) since the picture
    // before, when a scroll accounts for most of the change; nothing otherwise, and for the first
    // picture or one of another size.
    std::optional<int> observe(const std::uint8_t* luma, int stride, int width, int height);

    void reset();

  private:
    std::vector<std::uint64_t> hashes_;  // band-major: hashes_[band * height_ + row]
    std::vector<std::uint64_t> last_;
    std::vector<int> votes_;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace quelm
