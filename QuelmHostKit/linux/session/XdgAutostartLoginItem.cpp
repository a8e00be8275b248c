#include "QuelmHostKit/linux/session/XdgAutostartLoginItem.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

#include "QuelmCore/AppIdentity.hpp"

namespace quelm {

namespace fs = std::filesystem;

namespace {

// The Exec key's quoting: arguments with reserved characters go in double quotes, with ",
// `, $ and \ escaped.
std::string quotedExec(const std::string& path) {
    if (path.find_first_of(" \t\"'\\><~|&;$*?#()`") == std::string::npos) {
        return path;
    }
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

}  // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(fs::path executable, fs::path folder)
    : executable_(std::move(executable)), folder_(std::move(folder)) {}

XdgAutostartLoginItem XdgAutostartLoginItem::forCurrentUser() {
    fs::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME")) {
        config = fs::path(home) / ".config";
    }
    std::error_code error;
    auto link = fs::read_symlink("/proc/self/exe", error);
    return XdgAutostartLoginItem(executableFromLink(link), config / "autostart");
}

fs::path XdgAutostartLoginItem::executableFromLink(const fs::path& link) {
    constexpr std::string_view deleted = " (deleted)";
    std::string text = link.string();
    if (text.ends_with(deleted)) {
        text.resize(text.size() - deleted.size());
    }
    return text;
}

fs::path XdgAutostartLoginItem::entryPath() const {
    return folder_ / (std::string(kApplicationId) + ".desktop");
}

bool XdgAutostartLoginItem::isEnabled() const {
    std::ifstream in(entryPath());
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        // An entry the user switched off in the desktop's settings stays on disk.
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") {
            return false;
        }
    }
    return true;
}

std::optional<std::string> XdgAutostartLoginItem::setEnabled(bool enabled) {
    std::error_code error;
    if (!enabled) {
        fs::remove(entryPath(), error);
        return error ? std::optional<std::string>(error.message()) : std::nullopt;
    }
    if (executable_.empty()) {
        return "own executable not found";
    }
    fs::create_directories(folder_, error);
    if (error) {
        return error.message();
    }
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
          << "Type=Application\n"
          << "Name=Veyra\n"
          << "Comment=Remote screen and input for the companion app\n"
          << "Exec=" << quotedExec(executable_.string()) << "\n"
          << "Terminal=false\n"
          << "X-GNOME-Autostart-enabled=true\n";
    // Written beside and renamed, so a crash never leaves half an entry.
    auto temporary = entryPath();
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << entry.str();
        if (!out.flush()) {
            return "cannot write " + temporary.string();
        }
    }
    fs::rename(temporary, entryPath(), error);
    return error ? std::optional<std::string>(error.message()) : std::nullopt;
}

}  // namespace quelm
