#include "QuelmHostKit/input/SpaceSwitcher.hpp"

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

void SpaceSwitcher::move(bool toRight, EventPoster& poster, double now) {
    if (!poster.spaceSwitchSupported()) {
        Log::info("space switching needs a window manager with workspaces");
        return;
    }
    const auto info = poster.spaceInfo();
    if (!info) {
        Log::info("could not read the Spaces list");
        return;
    }
    if (!navigator_.approve(toRight, static_cast<int>(info->index), static_cast<int>(info->count),
                            now)) {
        return;
    }
    if (!poster.postSpaceSwitch(toRight)) {
        Log::info("space switch could not be posted");
    }
}

}  // namespace quelm
