#include "tests/fakes/XHeldInput.hpp"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace quelm::test {

struct XHeldInput::Connection {
    Display* display = nullptr;
    ~Connection() {
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
};

std::unique_ptr<XHeldInput> XHeldInput::open(const std::string& displayName) {
    auto connection = std::make_unique<Connection>();
    connection->display = XOpenDisplay(displayName.c_str());
    if (connection->display == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<XHeldInput>(new XHeldInput(std::move(connection)));
}

XHeldInput::XHeldInput(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

XHeldInput::~XHeldInput() = default;

std::vector<int> XHeldInput::keysDown() const {
    char keys[32] = {};
    XQueryKeymap(connection_->display, keys);
    std::vector<int> down;
    for (int i = 0; i < 256; ++i) {
        if (keys[i / 8] & (1 << (i % 8))) {
            down.push_back(i);
        }
    }
    return down;
}

std::vector<std::string> XHeldInput::keyNamesDown() const {
    std::vector<std::string> names;
    for (int code : keysDown()) {
        const KeySym sym =
            XkbKeycodeToKeysym(connection_->display, static_cast<KeyCode>(code), 0, 0);
        const char* name = sym == NoSymbol ? nullptr : XKeysymToString(sym);
        names.push_back(name != nullptr ? name : "#" + std::to_string(code));
    }
    return names;
}

unsigned XHeldInput::pointerState() const {
    Display* display = connection_->display;
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int x = 0;
    int y = 0;
    unsigned mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y,
                  &mask);
    return mask;
}

}  // namespace quelm::test
