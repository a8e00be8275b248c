#include "tests/fakes/TestWindow.hpp"

#include <cstdio>

namespace quelm::test::TestWindow {

std::string program() {
    return ChildProcess::built("tests", "quelm-wayland-test-client");
}

std::optional<WindowRect> awaitShown(ChildProcess& client, double seconds) {
    // The entry is placed before the window is first drawn; either may come first.
    bool ready = false;
    WindowRect entry;
    while (!ready || entry.width == 0) {
        auto line = client.nextLine(seconds);
        if (!line) {
            return std::nullopt;
        }
        ready = ready || line->starts_with("ready ");
        if (line->starts_with("entry ")) {
            std::sscanf(line->c_str(), "entry %d %d %d %d", &entry.x, &entry.y, &entry.width,
                        &entry.height);
        }
    }
    return entry;
}

}  // namespace quelm::test::TestWindow
