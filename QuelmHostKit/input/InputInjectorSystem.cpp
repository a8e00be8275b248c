// The system actions of InputInjector: the overview, workspaces, back and forward.

#include <algorithm>
#include <cctype>

#include "QuelmHostKit/input/InputInjector.hpp"
#include "QuelmHostKit/input/KeyboardTypes.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr std::uint16_t kLeftArrow = 123;
constexpr std::uint16_t kRightArrow = 124;

}  // namespace

const std::set<std::string, std::less<>>& InputInjector::navigationApps() {
    // Web browsers and file managers, by the class of their windows' WM_CLASS (native packages
    // and Flatpak application ids alike).
    static const std::set<std::string, std::less<>> apps{
        "firefox",
        "firefox-esr",
        "org.mozilla.firefox",
        "librewolf",
        "waterfox",
        "floorp",
        "chromium",
        "chromium-browser",
        "org.chromium.chromium",
        "google-chrome",
        "google-chrome-beta",
        "google-chrome-unstable",
        "com.google.chrome",
        "brave-browser",
        "com.brave.browser",
        "vivaldi-stable",
        "vivaldi",
        "com.vivaldi.vivaldi",
        "opera",
        "com.opera.opera",
        "microsoft-edge",
        "microsoft-edge-beta",
        "com.microsoft.edge",
        "epiphany",
        "org.gnome.epiphany",
        "falkon",
        "org.kde.falkon",
        "konqueror",
        "org.kde.konqueror",
        "midori",
        "nautilus",
        "org.gnome.nautilus",
        "dolphin",
        "org.kde.dolphin",
        "thunar",
        "nemo",
        "caja",
        "pcmanfm",
        "pcmanfm-qt",
    };
    return apps;
}

bool InputInjector::isNavigationApp(std::string_view windowClass) {
    // Window classes differ in case between releases ("Firefox", "firefox").
    std::string lower(windowClass);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return navigationApps().contains(lower);
}

void InputInjector::perform(SystemAction action) {
    switch (action) {
        case SystemAction::missionControl:
            poster_->openOverview([](std::optional<std::string> error) {
                if (error) {
                    Log::info("overview did not open: " + *error);
                }
            });
            break;
        case SystemAction::spaceLeft:
            spaces_.move(false, *poster_, uptime());
            break;
        case SystemAction::spaceRight:
            spaces_.move(true, *poster_, uptime());
            break;
        case SystemAction::back:
            navigate(kLeftArrow);
            break;
        case SystemAction::forward:
            navigate(kRightArrow);
            break;
    }
}

void InputInjector::navigate(std::uint16_t arrow) {
    const auto front = poster_->frontmostApplication();
    if (!front || !isNavigationApp(*front)) {
        Log::info("back/forward ignored: front app is " + front.value_or("none"));
        return;
    }
    // Alt+Left and Alt+Right, read with an ANSI keyboard type of the host's keyboard family;
    // the held modifiers play no part.
    KeyEvent event;
    event.code = arrow;
    event.flags = EventFlag::maskAlternate;
    if (auto type = KeyboardTypes::closest(poster_->keyboardType(), KeyboardTypes::Layout::ansi,
                                           poster_->layoutFunction())) {
        event.keyboardType = static_cast<std::int16_t>(*type);
    }
    event.down = true;
    poster_->postKey(event);
    event.down = false;
    poster_->postKey(event);
}

}  // namespace quelm
