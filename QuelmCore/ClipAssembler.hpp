#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/ClipChunk.hpp"
#include "QuelmCore/ClipImage.hpp"

namespace quelm {

// Puts the chunks of one clipboard-image transfer back together, in any arrival order.
// A chunk of another transfer, or of the same number with another count, abandons the one in
// progress. Holds at most ClipImage::maxBytes of payload. A plain value: not thread-safe.
class ClipAssembler {
  public:
    // The complete image when this chunk completes its transfer. Duplicates, chunks over the
    // byte limit and malformed chunks (index not below count, empty payload, too many chunks)
    // yield nothing and leave the state as it was.
    std::optional<ClipImageData> add(ClipChunk chunk);

    std::optional<std::uint32_t> transfer() const { return transfer_; }
    ClipImageFormat format() const { return format_; }
    std::size_t slots() const { return pieces_.size(); }
    std::size_t received() const { return received_; }
    std::size_t bytes() const { return bytes_; }
    bool has(std::uint16_t index) const { return index < pieces_.size() && pieces_[index]; }

  private:
    std::optional<std::uint32_t> transfer_;
    ClipImageFormat format_ = ClipImageFormat::png;
    std::vector<std::optional<Bytes>> pieces_;
    std::size_t received_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace quelm
