#pragma once

#include <string>

struct AVFrame;

namespace quelm {

// Writes a decoded picture as an RGB PNG with libavcodec's PNG encoder. The file is replaced
// whole (written beside it, then renamed), so a reader never sees half a picture.
namespace PngWriter {
bool write(const AVFrame& picture, const std::string& path);
}

}  // namespace quelm
