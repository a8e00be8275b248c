#include "QuelmHostKit/streaming/DisplaySelection.hpp"

#include <algorithm>

namespace quelm {

namespace {

const ActiveDisplay* find(const std::vector<ActiveDisplay>& displays, std::uint32_t id) {
    const auto it = std::find_if(displays.begin(), displays.end(),
                                 [id](const ActiveDisplay& d) { return d.id == id; });
    return it == displays.end() ? nullptr : &*it;
}

}  // namespace

DisplaySelection::DisplaySelection(std::shared_ptr<DisplayServices> services)
    : services_(std::move(services)) {}

void DisplaySelection::setServices(std::shared_ptr<DisplayServices> services) {
    std::lock_guard lock(mutex_);
    services_ = std::move(services);
}

std::uint32_t DisplaySelection::requestedID() const {
    std::lock_guard lock(mutex_);
    return requested_;
}

void DisplaySelection::select(std::uint32_t id) {
    std::lock_guard lock(mutex_);
    requested_ = id;
}

std::vector<ActiveDisplay> DisplaySelection::activeDisplays() const {
    std::shared_ptr<DisplayServices> services;
    {
        std::lock_guard lock(mutex_);
        services = services_;
    }
    return services ? services->activeDisplays() : std::vector<ActiveDisplay>{};
}

std::uint32_t DisplaySelection::mainID(const std::vector<ActiveDisplay>& displays) {
    const auto primary = std::find_if(displays.begin(), displays.end(),
                                      [](const ActiveDisplay& d) { return d.isPrimary; });
    if (primary != displays.end()) {
        // A mirror copy marked primary stands for the display it repeats.
        return primary->mirrorOf != 0 && find(displays, primary->mirrorOf) ? primary->mirrorOf
                                                                           : primary->id;
    }
    const auto atOrigin =
        std::find_if(displays.begin(), displays.end(), [](const ActiveDisplay& d) {
            return d.mirrorOf == 0 && d.bounds.x == 0 && d.bounds.y == 0;
        });
    if (atOrigin != displays.end()) {
        return atOrigin->id;
    }
    return displays.empty() ? 0 : displays.front().id;
}

std::optional<ActiveDisplay> DisplaySelection::currentDisplay() const {
    return currentAmong(activeDisplays());
}

std::optional<ActiveDisplay> DisplaySelection::currentAmong(
    const std::vector<ActiveDisplay>& displays) const {
    const std::uint32_t requested = requestedID();
    if (requested != 0) {
        if (const auto* display = find(displays, requested)) {
            return *display;
        }
    }
    if (const auto* main = find(displays, mainID(displays))) {
        return *main;
    }
    return std::nullopt;
}

std::uint32_t DisplaySelection::current() const {
    const auto display = currentDisplay();
    return display ? display->id : 0;
}

std::optional<DisplayRect> DisplaySelection::bounds() const {
    const auto display = currentDisplay();
    return display ? std::optional(display->bounds) : std::nullopt;
}

std::vector<DisplayInfo> DisplaySelection::list() const {
    return listOf(activeDisplays());
}

std::vector<DisplayInfo> DisplaySelection::listOf(std::vector<ActiveDisplay> displays) {
    const std::uint32_t main = mainID(displays);
    std::erase_if(displays, [](const ActiveDisplay& d) { return d.mirrorOf != 0; });
    std::stable_sort(displays.begin(), displays.end(),
                     [](const ActiveDisplay& a, const ActiveDisplay& b) {
                         if (a.bounds.x != b.bounds.x) {
                             return a.bounds.x < b.bounds.x;
                         }
                         return a.bounds.y < b.bounds.y;
                     });
    std::vector<DisplayInfo> infos;
    infos.reserve(displays.size());
    for (const auto& d : displays) {
        infos.push_back(DisplayInfo{.id = d.id,
                                    .width = d.bounds.width,
                                    .height = d.bounds.height,
                                    .isMain = d.id == main,
                                    .isBuiltIn = d.isBuiltIn});
    }
    return infos;
}

void DisplaySelection::describe(HostInfo& info) const {
    const auto displays = activeDisplays();
    const auto display = currentAmong(displays);
    info.displayWidth = display ? display->bounds.width : 0;
    info.displayHeight = display ? display->bounds.height : 0;
    info.displayID = display ? std::optional(display->id) : std::nullopt;
    info.displays = listOf(displays);
}

std::optional<PointerPosition> DisplaySelection::fractionOf(const PointerPosition& position) const {
    const auto display = currentDisplay();
    if (!display || !(display->bounds.width > 0) || !(display->bounds.height > 0)) {
        return std::nullopt;
    }
    const auto fraction = [](double value, double origin, double extent) {
        return std::clamp((value - origin) / extent, 0.0, 1.0);
    };
    return PointerPosition{fraction(position.x, display->bounds.x, display->bounds.width),
                           fraction(position.y, display->bounds.y, display->bounds.height)};
}

}  // namespace quelm
