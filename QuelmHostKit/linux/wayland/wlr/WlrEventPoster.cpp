#include "QuelmHostKit/linux/wayland/wlr/WlrEventPoster.hpp"

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "QuelmHostKit/linux/input/CodePoints.hpp"
#include "QuelmHostKit/linux/wayland/WaylandKeyboard.hpp"
#include "QuelmHostKit/linux/wayland/WaylandPointer.hpp"
#include "QuelmHostKit/linux/wayland/wlr/SwayWorkspaces.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WaylandConnection.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrKeymap.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrOutputs.hpp"
#include "QuelmHostKit/linux/x11/X11KeyCodes.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"

namespace quelm {

namespace {

std::uint32_t milliseconds() {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::uint32_t evdevButton(std::int64_t button) {
    switch (button) {
        case kLeftButton:
            return BTN_LEFT;
        case kRightButton:
            return BTN_RIGHT;
        case kCenterButton:
            return BTN_MIDDLE;
        default:
            return button > 2 && button < 8 ? BTN_LEFT + static_cast<std::uint32_t>(button)
                                            : BTN_LEFT;
    }
}

}  // namespace

struct WlrEventPoster::Devices {
    zwlr_virtual_pointer_v1* pointer = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    WlrKeymap keymap;
    // Our own view of the keyboard's state: virtual keyboards send their modifiers themselves.
    xkb_state* state = nullptr;
    std::uint32_t sentMods[4] = {0, 0, 0, 0};
    std::set<std::uint32_t> keysDown;
    // What the companion's keys do; its keys go through key() below.
    WaylandKeyboard keys{[this](std::uint32_t code, bool down) {
        key(code, down);
        return true;
    }};
    std::set<std::uint32_t> buttonsDown;
    std::optional<ScreenPoint> last;

    ~Devices() {
        if (pointer) {
            zwlr_virtual_pointer_v1_destroy(pointer);
        }
        if (keyboard) {
            zwp_virtual_keyboard_v1_destroy(keyboard);
        }
        if (state) {
            xkb_state_unref(state);
        }
    }

    bool sendKeymap() {
        const std::string& text = keymap.text();
        const int fd = memfd_create("quelmix-keymap", MFD_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        const auto size = text.size() + 1;
        bool written = write(fd, text.c_str(), size) == static_cast<ssize_t>(size);
        if (written) {
            zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                           static_cast<std::uint32_t>(size));
        }
        close(fd);
        bool capsLocked = false;
        if (state) {
            capsLocked =
                xkb_state_mod_name_is_active(state, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) > 0;
            xkb_state_unref(state);
        }
        state = xkb_state_new(keymap.keymap());
        // Keys held across the change keep counting, and the caps lock stays as it was.
        for (auto code : keysDown) {
            xkb_state_update_key(state, code + 8, XKB_KEY_DOWN);
        }
        if (capsLocked) {
            xkb_state_update_key(state, KEY_CAPSLOCK + 8, XKB_KEY_DOWN);
            xkb_state_update_key(state, KEY_CAPSLOCK + 8, XKB_KEY_UP);
        }
        sendModifiers(true);
        return written;
    }

    void sendModifiers(bool always) {
        if (!state) {
            return;
        }
        const std::uint32_t mods[4] = {
            xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
            xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
            xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
            xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE)};
        if (!always && std::equal(mods, mods + 4, sentMods)) {
            return;
        }
        std::copy(mods, mods + 4, sentMods);
        zwp_virtual_keyboard_v1_modifiers(keyboard, mods[0], mods[1], mods[2], mods[3]);
    }

    void key(std::uint32_t code, bool down) {
        zwp_virtual_keyboard_v1_key(
            keyboard, milliseconds(), code,
            down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
        if (down) {
            keysDown.insert(code);
        } else {
            keysDown.erase(code);
        }
        if (state) {
            xkb_state_update_key(state, code + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
        }
        sendModifiers(false);
    }
};

std::shared_ptr<WlrEventPoster> WlrEventPoster::create(
    std::shared_ptr<WaylandConnection> connection, std::shared_ptr<WaylandPointer> pointer) {
    const auto& globals = connection->globals();
    if (!globals.virtualPointer && !globals.virtualKeyboard) {
        return nullptr;
    }
    std::shared_ptr<WlrEventPoster> poster(
        new WlrEventPoster(std::move(connection), std::move(pointer)));
    const bool made =
        poster->connection_
            ->call<bool>([raw = poster.get()] {
                auto devices = std::make_unique<Devices>();
                const auto& g = raw->connection_->globals();
                if (g.virtualPointer) {
                    devices->pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(
                        g.virtualPointer, g.seat);
                }
                if (g.virtualKeyboard && g.seat && devices->keymap.valid()) {
                    devices->keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(
                        g.virtualKeyboard, g.seat);
                    devices->sendKeymap();
                    // The compositor drops the first key of a new keyboard: give it one that types
                    // nothing.
                    if (auto silent = devices->keymap.silentCode()) {
                        devices->key(*silent, true);
                        devices->key(*silent, false);
                    }
                }
                raw->devices_ = std::move(devices);
                raw->connection_->flush();
                return true;
            })
            .value_or(false);
    return made ? poster : nullptr;
}

WlrEventPoster::WlrEventPoster(std::shared_ptr<WaylandConnection> connection,
                               std::shared_ptr<WaylandPointer> pointer)
    : connection_(std::move(connection)),
      pointer_(std::move(pointer)),
      workspaces_(SwayWorkspaces::fromEnvironment()) {}

WlrEventPoster::~WlrEventPoster() {
    // The devices are protocol objects: they go on the event thread.
    if (!connection_->call<bool>([this] {
            devices_.reset();
            return true;
        })) {
        devices_.reset();
    }
}

bool WlrEventPoster::run(std::function<bool(Devices&)> work) {
    if (connection_->isLost()) {
        return false;
    }
    return connection_
        ->call<bool>([this, &work] {
            if (!devices_ || connection_->isLost()) {
                return false;
            }
            const bool done = work(*devices_);
            connection_->flush();
            return done && !connection_->isLost();
        })
        .value_or(false);
}

bool WlrEventPoster::postMouse(const MouseEvent& event) {
    const auto bounds = connection_->outputs()->layoutBounds();
    if (bounds.width < 1 || bounds.height < 1) {
        return false;
    }
    const bool posted = run([&](Devices& d) {
        if (!d.pointer) {
            return false;
        }
        const double x = std::clamp(event.position.x - bounds.x, 0.0, bounds.width - 1);
        const double y = std::clamp(event.position.y - bounds.y, 0.0, bounds.height - 1);
        const auto time = milliseconds();
        if (!d.last || !(*d.last == event.position)) {
            zwlr_virtual_pointer_v1_motion_absolute(d.pointer, time,
                                                    static_cast<std::uint32_t>(std::lround(x)),
                                                    static_cast<std::uint32_t>(std::lround(y)),
                                                    static_cast<std::uint32_t>(bounds.width),
                                                    static_cast<std::uint32_t>(bounds.height));
            d.last = event.position;
        }
        std::optional<bool> press;
        switch (event.type) {
            case MouseEventType::leftMouseDown:
            case MouseEventType::rightMouseDown:
                press = true;
                break;
            case MouseEventType::leftMouseUp:
            case MouseEventType::rightMouseUp:
                press = false;
                break;
            default:
                break;
        }
        if (press) {
            // A click with modifiers (shift-click) has them held around it.
            d.keys.syncModifiers(event.flags);
            const auto button = evdevButton(event.button);
            zwlr_virtual_pointer_v1_button(
                d.pointer, time, button,
                *press ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
            if (*press) {
                d.buttonsDown.insert(button);
            } else {
                d.buttonsDown.erase(button);
                d.keys.restoreModifiers();
            }
        }
        zwlr_virtual_pointer_v1_frame(d.pointer);
        return true;
    });
    if (posted) {
        pointer_->set(PointerPosition{event.position.x, event.position.y});
    }
    return posted;
}

bool WlrEventPoster::postScroll(const ScrollEvent& event) {
    return run([&](Devices& d) {
        if (!d.pointer) {
            return false;
        }
        const auto time = milliseconds();
        zwlr_virtual_pointer_v1_axis_source(d.pointer, WL_POINTER_AXIS_SOURCE_CONTINUOUS);
        // Ours: positive scrolls up or left; Wayland's: positive scrolls down or right.
        if (event.vertical != 0) {
            zwlr_virtual_pointer_v1_axis(d.pointer, time, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                         wl_fixed_from_int(-event.vertical));
        }
        if (event.horizontal != 0) {
            zwlr_virtual_pointer_v1_axis(d.pointer, time, WL_POINTER_AXIS_HORIZONTAL_SCROLL,
                                         wl_fixed_from_int(-event.horizontal));
        }
        zwlr_virtual_pointer_v1_frame(d.pointer);
        return true;
    });
}

bool WlrEventPoster::postKey(const KeyEvent& event) {
    const auto code = X11KeyCodes::evdevCode(event.code);
    if (!code) {
        return false;
    }
    return run([&](Devices& d) {
        if (!d.keyboard) {
            return false;
        }
        return d.keys.key(*code, event.down, event.flags);
    });
}

bool WlrEventPoster::postFlagsChanged(const FlagsChangedEvent& event) {
    return run([&](Devices& d) {
        if (!d.keyboard) {
            return false;
        }
        return d.keys.flagsChanged(event.code, event.flags);
    });
}

bool WlrEventPoster::postUnicode(const UnicodeKeyEvent& event) {
    if (!event.down) {
        // The press typed the characters; the release has nothing left to do.
        return true;
    }
    std::vector<std::uint32_t> keysyms;
    for (char32_t point : codePoints(event.text)) {
        const auto keysym = xkb_utf32_to_keysym(point);
        if (keysym != XKB_KEY_NoSymbol) {
            keysyms.push_back(keysym);
        }
    }
    if (keysyms.empty()) {
        return false;
    }
    return run([&](Devices& d) {
        if (!d.keyboard) {
            return false;
        }
        bool changed = false;
        auto codes = d.keymap.place(keysyms, changed);
        if (!codes) {
            return false;
        }
        d.keys.syncModifiers(0);
        const bool sent = !changed || d.sendKeymap();
        if (sent) {
            for (auto code : *codes) {
                d.key(code, true);
                d.key(code, false);
            }
        }
        d.keys.restoreModifiers();
        return sent;
    });
}

void WlrEventPoster::releaseTypingKeys() {
    // Spare codes keep their keysyms: nothing else uses them.
}

std::optional<ScreenPoint> WlrEventPoster::pointerLocation() {
    if (auto position = pointer_->pointerPosition()) {
        return ScreenPoint{position->x, position->y};
    }
    return std::nullopt;
}

KeyboardLayoutKind WlrEventPoster::physicalKeyboard() {
    // Compositors configured through XKB_DEFAULT_* (sway reads them) say their layout there.
    const char* layout = std::getenv("XKB_DEFAULT_LAYOUT");
    return layout && std::string(layout).rfind("jp", 0) == 0 ? KeyboardLayoutKind::jis
                                                             : KeyboardLayoutKind::us;
}

std::optional<std::string> WlrEventPoster::selectASCIICapableInputMethod() {
    return inputMethods_.selectASCIICapable();
}

void WlrEventPoster::restoreInputMethod(const std::string& previous) {
    inputMethods_.restore(previous);
}

void WlrEventPoster::pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::optional<std::string> WlrEventPoster::frontmostApplication() {
    return workspaces_ ? workspaces_->focusedApp() : std::nullopt;
}

void WlrEventPoster::openOverview(OverviewDone done) {
    done(std::string("this desktop has no overview"));
}

bool WlrEventPoster::spaceSwitchSupported() {
    return workspaces_ != nullptr;
}

std::optional<SpaceInfo> WlrEventPoster::spaceInfo() {
    return workspaces_ ? workspaces_->info() : std::nullopt;
}

bool WlrEventPoster::postSpaceSwitch(bool toRight) {
    return workspaces_ && workspaces_->switchTo(toRight);
}

}  // namespace quelm
