#include "QuelmHostKit/linux/wayland/wlr/WlrOutputs.hpp"

#include <wayland-client.h>

#include <algorithm>

#include "xdg-output-unstable-v1-client.h"

namespace quelm {

struct WlrOutputs::Entry {
    WlrOutputs* owner = nullptr;
    std::uint32_t id = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    Snapshot state;
    // A mode seen before xdg-output said the logical size: used until it does.
    bool haveLogicalSize = false;
};

namespace {

void outputGeometry(void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                    std::int32_t, const char*, const char*, std::int32_t) {}
void outputScale(void*, wl_output*, std::int32_t) {}
void outputDescription(void*, wl_output*, const char*) {}

bool isBuiltInName(const std::string& name) {
    for (const char* prefix : {"eDP", "LVDS", "DSI"}) {
        if (name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

WlrOutputs::WlrOutputs() = default;

WlrOutputs::~WlrOutputs() {
    destroyAll();
}

void WlrOutputs::add(std::uint32_t id, wl_output* output) {
    auto entry = std::make_unique<Entry>();
    entry->owner = this;
    entry->id = id;
    entry->output = output;
    entry->state.id = id;
    static const wl_output_listener listener = {
        outputGeometry,
        [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
           std::int32_t) {
            auto* e = static_cast<Entry*>(data);
            if (flags & WL_OUTPUT_MODE_CURRENT) {
                e->state.pixelWidth = width;
                e->state.pixelHeight = height;
            }
        },
        [](void* data, wl_output*) { static_cast<Entry*>(data)->owner->publish(); },
        outputScale,
        [](void* data, wl_output*, const char* name) {
            static_cast<Entry*>(data)->state.name = name ? name : "";
        },
        outputDescription,
    };
    wl_output_add_listener(output, &listener, entry.get());
    if (xdgManager_) {
        describeWith(*entry);
    }
    entries_.push_back(std::move(entry));
}

void WlrOutputs::describeWith(Entry& entry) {
    entry.xdg = zxdg_output_manager_v1_get_xdg_output(xdgManager_, entry.output);
    static const zxdg_output_v1_listener listener = {
        [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
            auto* e = static_cast<Entry*>(data);
            e->state.bounds.x = x;
            e->state.bounds.y = y;
        },
        [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
            auto* e = static_cast<Entry*>(data);
            e->state.bounds.width = width;
            e->state.bounds.height = height;
            e->haveLogicalSize = true;
        },
        // Since version 3 the wl_output's done ends each change; before, this one does.
        [](void* data, zxdg_output_v1*) { static_cast<Entry*>(data)->owner->publish(); },
        [](void* data, zxdg_output_v1*, const char* name) {
            static_cast<Entry*>(data)->state.name = name ? name : "";
        },
        [](void*, zxdg_output_v1*, const char*) {},
    };
    zxdg_output_v1_add_listener(entry.xdg, &listener, &entry);
}

void WlrOutputs::useXdgOutputs(zxdg_output_manager_v1* manager) {
    xdgManager_ = manager;
    for (auto& entry : entries_) {
        if (!entry->xdg) {
            describeWith(*entry);
        }
    }
}

void WlrOutputs::remove(std::uint32_t id) {
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [id](const auto& entry) { return entry->id == id; });
    if (found == entries_.end()) {
        return;
    }
    if ((*found)->xdg) {
        zxdg_output_v1_destroy((*found)->xdg);
    }
    wl_output_destroy((*found)->output);
    entries_.erase(found);
    publish();
}

wl_output* WlrOutputs::find(std::uint32_t id) const {
    for (const auto& entry : entries_) {
        if (entry->id == id) {
            return entry->output;
        }
    }
    return nullptr;
}

void WlrOutputs::destroyAll() {
    for (auto& entry : entries_) {
        if (entry->xdg) {
            zxdg_output_v1_destroy(entry->xdg);
        }
        wl_output_destroy(entry->output);
    }
    entries_.clear();
}

void WlrOutputs::publish() {
    std::vector<Snapshot> list;
    for (const auto& entry : entries_) {
        Snapshot state = entry->state;
        if (!entry->haveLogicalSize) {
            state.bounds.width = state.pixelWidth;
            state.bounds.height = state.pixelHeight;
        }
        if (state.pixelWidth <= 0 || state.pixelHeight <= 0) {
            state.pixelWidth = static_cast<int>(state.bounds.width);
            state.pixelHeight = static_cast<int>(state.bounds.height);
        }
        if (state.bounds.width > 0 && state.bounds.height > 0) {
            list.push_back(std::move(state));
        }
    }
    std::lock_guard lock(mutex_);
    published_ = std::move(list);
}

std::vector<WlrOutputs::Snapshot> WlrOutputs::snapshots() const {
    std::lock_guard lock(mutex_);
    return published_;
}

std::vector<ActiveDisplay> WlrOutputs::activeDisplays() {
    return describe(snapshots());
}

std::vector<ActiveDisplay> WlrOutputs::describe(const std::vector<Snapshot>& outputs) {
    std::vector<ActiveDisplay> list;
    for (const auto& output : outputs) {
        list.push_back(
            ActiveDisplay{output.id, output.bounds, false, isBuiltInName(output.name), 0});
    }
    auto atOrigin = std::find_if(list.begin(), list.end(), [](const ActiveDisplay& display) {
        return display.bounds.x == 0 && display.bounds.y == 0;
    });
    if (atOrigin != list.end()) {
        atOrigin->isPrimary = true;
    } else if (!list.empty()) {
        list.front().isPrimary = true;
    }
    return list;
}

DisplayRect WlrOutputs::layoutBounds() const {
    const auto outputs = snapshots();
    if (outputs.empty()) {
        return {};
    }
    double left = outputs.front().bounds.x, top = outputs.front().bounds.y;
    double right = left + outputs.front().bounds.width;
    double bottom = top + outputs.front().bounds.height;
    for (const auto& output : outputs) {
        left = std::min(left, output.bounds.x);
        top = std::min(top, output.bounds.y);
        right = std::max(right, output.bounds.x + output.bounds.width);
        bottom = std::max(bottom, output.bounds.y + output.bounds.height);
    }
    return DisplayRect{left, top, right - left, bottom - top};
}

}  // namespace quelm
