#pragma once

#include <string>

// How the companion's clipboard types meet the MIME types (and X11 targets) of Linux
// clipboards; shared by the GTK, mutter and wlroots pasteboards.
namespace quelm::ClipboardMime {

// Whether `type` is one of the names plain text travels under.
bool isText(const std::string& type);
// The MIME type that carries `type`'s content: images and file URLs by their MIME names,
// anything else under its own name.
std::string forType(const std::string& type);

}  // namespace quelm::ClipboardMime
