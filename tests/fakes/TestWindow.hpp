#pragma once

#include <optional>
#include <string>

#include "tests/fakes/ChildProcess.hpp"

namespace quelm::test {

struct WindowRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool contains(int px, int py) const {
        return px >= x && py >= y && px < x + width && py < y + height;
    }
};

// The Wayland tests' own window (tests/wayland/WaylandTestClient.cpp), started in a compositor.
namespace TestWindow {

// The client program as built.
std::string program();
// Reads the client's first lines until it is shown and has placed its entry; the entry's place
// in window coordinates, or nothing when either does not come within `seconds` each.
std::optional<WindowRect> awaitShown(ChildProcess& client, double seconds = 10);

}  // namespace TestWindow

}  // namespace quelm::test
