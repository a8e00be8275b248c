#include "QuelmHostKit/linux/wayland/wlr/WlrKeymap.hpp"

#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <set>

namespace quelm {

WlrKeymap::WlrKeymap() {
    context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (!context_) {
        return;
    }
    // The layout the session names in XKB_DEFAULT_LAYOUT and its kin, as wlroots compositors
    // read them for their own keyboards; US where they name none, or one that does not compile.
    const xkb_rule_names fromEnvironment{};
    base_ = xkb_keymap_new_from_names(context_, &fromEnvironment, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!base_) {
        const xkb_rule_names us{"evdev", "pc105", "us", "", ""};
        base_ = xkb_keymap_new_from_names(context_, &us, XKB_KEYMAP_COMPILE_NO_FLAGS);
    }
    if (!base_) {
        return;
    }
    char* text = xkb_keymap_get_as_string(base_, XKB_KEYMAP_FORMAT_TEXT_V1);
    baseText_ = text ? text : "";
    free(text);
    // Keep the highest codes of the range X clients can see too; the lowest ones are keys
    // some keyboards have.
    for (xkb_keycode_t code = xkb_keymap_min_keycode(base_);
         code <= xkb_keymap_max_keycode(base_) && code <= 255; ++code) {
        const char* name = xkb_keymap_key_get_name(base_, code);
        if (name && xkb_keymap_num_layouts_for_key(base_, code) == 0 && code > 8) {
            spare_.emplace_back(code, name);
        }
    }
    text_ = baseText_;
}

WlrKeymap::~WlrKeymap() {
    if (current_) {
        xkb_keymap_unref(current_);
    }
    if (base_) {
        xkb_keymap_unref(base_);
    }
    if (context_) {
        xkb_context_unref(context_);
    }
}

std::optional<std::uint32_t> WlrKeymap::silentCode() const {
    // The first spare code never gets a keysym: place() hands out the others.
    if (spare_.empty()) {
        return std::nullopt;
    }
    return spare_.front().first - 8;
}

std::optional<std::vector<std::uint32_t>> WlrKeymap::place(
    const std::vector<std::uint32_t>& keysyms, bool& changed) {
    changed = false;
    const std::set<std::uint32_t> distinct(keysyms.begin(), keysyms.end());
    if (spare_.size() < 2 || distinct.size() > spare_.size() - 1) {
        return std::nullopt;
    }
    std::size_t missing = 0;
    for (auto keysym : distinct) {
        missing += placed_.count(keysym) == 0;
    }
    if (missing > 0) {
        std::set<std::size_t> used;
        for (const auto& [keysym, slot] : placed_) {
            used.insert(slot);
        }
        if (used.size() + missing > spare_.size() - 1) {
            // No room: start again with this text's keysyms alone.
            placed_.clear();
            used.clear();
        }
        std::size_t next = 1;
        for (auto keysym : distinct) {
            if (placed_.count(keysym)) {
                continue;
            }
            while (used.count(next)) {
                ++next;
            }
            placed_[keysym] = next;
            used.insert(next);
        }
        if (!rebuild()) {
            placed_.clear();
            text_ = baseText_;
            if (current_) {
                xkb_keymap_unref(current_);
                current_ = nullptr;
            }
            changed = true;
            return std::nullopt;
        }
        changed = true;
    }
    std::vector<std::uint32_t> codes;
    for (auto keysym : keysyms) {
        codes.push_back(spare_[placed_.at(keysym)].first - 8);
    }
    return codes;
}

bool WlrKeymap::rebuild() {
    std::string keys;
    for (const auto& [keysym, slot] : placed_) {
        char name[64];
        if (xkb_keysym_get_name(keysym, name, sizeof name) <= 0) {
            return false;
        }
        keys += "    key <" + spare_[slot].second + "> { type= \"ONE_LEVEL\", symbols[Group1]= [ " +
                name + " ] };\n";
    }
    // The text ends with the symbols section's "};" and then the keymap's own "};".
    const auto keymapEnd = baseText_.rfind("};");
    const auto symbolsEnd =
        keymapEnd == std::string::npos ? std::string::npos : baseText_.rfind("};", keymapEnd - 1);
    if (symbolsEnd == std::string::npos) {
        return false;
    }
    std::string source = baseText_;
    source.insert(symbolsEnd, keys);
    xkb_keymap* compiled = xkb_keymap_new_from_string(
        context_, source.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!compiled) {
        return false;
    }
    char* text = xkb_keymap_get_as_string(compiled, XKB_KEYMAP_FORMAT_TEXT_V1);
    if (!text) {
        xkb_keymap_unref(compiled);
        return false;
    }
    if (current_) {
        xkb_keymap_unref(current_);
    }
    current_ = compiled;
    text_ = text;
    free(text);
    return true;
}

}  // namespace quelm
