#include "QuelmHostKit/linux/ClipboardMime.hpp"

#include <algorithm>

#include "QuelmCore/ClipboardPolicy.hpp"

namespace quelm::ClipboardMime {

bool isText(const std::string& type) {
    return std::find(ClipboardPolicy::textTypes.begin(), ClipboardPolicy::textTypes.end(), type) !=
           ClipboardPolicy::textTypes.end();
}

std::string forType(const std::string& type) {
    if (type == "public.png") {
        return "image/png";
    }
    if (type == "public.jpeg") {
        return "image/jpeg";
    }
    if (type == "public.tiff") {
        return "image/tiff";
    }
    if (type == "public.file-url") {
        return "text/uri-list";
    }
    return type;
}

}  // namespace quelm::ClipboardMime
