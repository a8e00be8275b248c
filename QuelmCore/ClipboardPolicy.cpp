#include "QuelmCore/ClipboardPolicy.hpp"

#include <algorithm>
#include <utility>

namespace quelm::ClipboardPolicy {

namespace {

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return out;
}

template <std::size_t N>
bool containsAnyWord(std::string_view type, const std::array<std::string_view, N>& words) {
    auto lower = lowercased(type);
    return std::any_of(words.begin(), words.end(), [&](std::string_view word) {
        return lower.find(word) != std::string::npos;
    });
}

template <std::size_t N>
bool isOneOf(std::string_view type, const std::array<std::string_view, N>& table) {
    return std::find(table.begin(), table.end(), type) != table.end();
}

constexpr std::pair<std::string_view, std::string_view> kTargetTypes[] = {
    {"UTF8_STRING", "public.utf8-plain-text"},
    {"text/plain;charset=utf-8", "public.utf8-plain-text"},
    {"STRING", "public.plain-text"},
    {"TEXT", "public.plain-text"},
    {"COMPOUND_TEXT", "public.plain-text"},
    {"text/plain", "public.plain-text"},
    {"image/png", "public.png"},
    {"image/jpeg", "public.jpeg"},
    {"image/tiff", "public.tiff"},
    {"image/heic", "public.heic"},
    {"image/heif", "public.heif"},
    {"text/uri-list", "public.file-url"},
    {"x-special/gnome-copied-files", "public.file-url"},
    // Password managers (KeePassXC and others) mark their copies with this hint.
    {"x-kde-passwordManagerHint", "org.nspasteboard.ConcealedType"},
};

}  // namespace

bool cameFromAnotherDevice(std::span<const std::string> types) {
    return std::any_of(types.begin(), types.end(), [](const std::string& type) {
        return lowercased(type).find(remoteClipboardMarker) != std::string::npos;
    });
}

bool shouldShare(std::span<const std::string> types) {
    if (cameFromAnotherDevice(types)) {
        return false;
    }
    if (std::none_of(types.begin(), types.end(),
                     [](const std::string& type) { return isOneOf(type, textTypes); })) {
        return false;
    }
    return std::none_of(types.begin(), types.end(), [](const std::string& type) {
        return isOneOf(type, privateTypes) || containsAnyWord(type, blockedTextWords);
    });
}

std::optional<std::string> imageType(std::span<const std::string> types) {
    if (cameFromAnotherDevice(types)) {
        return std::nullopt;
    }
    if (std::any_of(types.begin(), types.end(), [](const std::string& type) {
            return containsAnyWord(type, blockedImageWords);
        })) {
        return std::nullopt;
    }
    for (auto preferred : imageTypes) {
        if (std::find(types.begin(), types.end(), preferred) != types.end()) {
            return std::string(preferred);
        }
    }
    return std::nullopt;
}

std::vector<std::string> typesForTargets(std::span<const std::string> targets) {
    std::vector<std::string> out;
    out.reserve(targets.size());
    for (const auto& target : targets) {
        // MIME parameters vary in case ("charset=UTF-8"), so targets compare without case.
        auto lower = lowercased(target);
        auto known =
            std::find_if(std::begin(kTargetTypes), std::end(kTargetTypes),
                         [&](const auto& pair) { return lowercased(pair.first) == lower; });
        out.emplace_back(known != std::end(kTargetTypes) ? known->second : target);
    }
    return out;
}

}  // namespace quelm::ClipboardPolicy
