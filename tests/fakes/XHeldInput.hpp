#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quelm::test {

// What an X server has held down, read back on a connection of the test's own: the keys of
// its keymap and the pointer's state mask (buttons and modifiers). Xlib stays out of this
// header: its macros clash with the program's names.
class XHeldInput {
  public:
    // Nothing when the server cannot be reached.
    static std::unique_ptr<XHeldInput> open(const std::string& displayName);
    ~XHeldInput();
    XHeldInput(const XHeldInput&) = delete;
    XHeldInput& operator=(const XHeldInput&) = delete;

    // Key codes down (XQueryKeymap), in increasing order.
    std::vector<int> keysDown() const;
    // Their first keysyms' names ("Shift_L", "a"), or "#<code>" for a code without one.
    std::vector<std::string> keyNamesDown() const;
    // XQueryPointer's mask: Button1Mask and up, ShiftMask, LockMask, ControlMask, ModNMask.
    unsigned pointerState() const;

  private:
    struct Connection;
    explicit XHeldInput(std::unique_ptr<Connection> connection);

    std::unique_ptr<Connection> connection_;
};

}  // namespace quelm::test
