#include "QuelmHostKit/linux/wayland/wlr/SwayWorkspaces.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::uint32_t kRunCommand = 0;
constexpr std::uint32_t kGetWorkspaces = 1;
constexpr std::uint32_t kGetTree = 4;
// A reply larger than this is not one we asked for.
constexpr std::uint32_t kReplyLimit = 8 * 1024 * 1024;

bool transfer(int fd, void* data, std::size_t size, bool sending, int timeoutMs) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        pollfd wait{fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
        if (poll(&wait, 1, timeoutMs) <= 0) {
            return false;
        }
        const ssize_t done =
            sending ? send(fd, bytes, size, MSG_NOSIGNAL) : recv(fd, bytes, size, 0);
        if (done <= 0) {
            return false;
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

const boost::json::object* focusedNode(const boost::json::object& node) {
    if (const auto* focused = node.if_contains("focused");
        focused && focused->is_bool() && focused->as_bool()) {
        return &node;
    }
    for (const char* key : {"nodes", "floating_nodes"}) {
        const auto* children = node.if_contains(key);
        if (!children || !children->is_array()) {
            continue;
        }
        for (const auto& child : children->as_array()) {
            if (child.is_object()) {
                if (const auto* found = focusedNode(child.as_object())) {
                    return found;
                }
            }
        }
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<SwayWorkspaces> SwayWorkspaces::fromEnvironment() {
    const char* path = std::getenv("SWAYSOCK");
    if (!path || *path == '\0') {
        return nullptr;
    }
    return std::make_unique<SwayWorkspaces>(path);
}

std::optional<std::string> SwayWorkspaces::liveSocketIn(const std::string& folder) {
    namespace fs = std::filesystem;
    std::optional<std::string> newest;
    fs::file_time_type newestTime;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(folder, error)) {
        // sway-ipc.<uid>.<pid>.sock
        const auto name = item.path().filename().string();
        if (!name.starts_with("sway-ipc.") || !name.ends_with(".sock")) {
            continue;
        }
        const auto end = name.size() - 5;
        const auto start = name.rfind('.', end - 1) + 1;
        const long pid = std::strtol(name.substr(start, end - start).c_str(), nullptr, 10);
        if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) {
            continue;  // left behind by a sway that is gone
        }
        const auto time = item.last_write_time(error);
        if (!error && (!newest || time > newestTime)) {
            newest = item.path().string();
            newestTime = time;
        }
    }
    return newest;
}

int SwayWorkspaces::connectSocket() const {
    auto attempt = [](const std::string& path) {
        sockaddr_un address{};
        if (path.size() >= sizeof address.sun_path) {
            return -1;
        }
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    };
    std::string path;
    {
        std::lock_guard lock(mutex_);
        path = socketPath_;
    }
    int fd = attempt(path);
    if (fd >= 0) {
        return fd;
    }
    // A sway that was restarted listens on a socket named after its new process.
    const auto found = liveSocketIn(std::filesystem::path(path).parent_path().string());
    if (!found || *found == path || (fd = attempt(*found)) < 0) {
        return -1;
    }
    std::lock_guard lock(mutex_);
    socketPath_ = *found;
    return fd;
}

std::optional<std::string> SwayWorkspaces::request(std::uint32_t type,
                                                   const std::string& payload) const {
    const int fd = connectSocket();
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::string> reply;
    std::vector<char> message(kMagic, kMagic + sizeof kMagic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    message.insert(message.end(), reinterpret_cast<const char*>(&length),
                   reinterpret_cast<const char*>(&length) + 4);
    message.insert(message.end(), reinterpret_cast<const char*>(&type),
                   reinterpret_cast<const char*>(&type) + 4);
    message.insert(message.end(), payload.begin(), payload.end());
    char header[14];
    if (transfer(fd, message.data(), message.size(), true, timeoutMs) &&
        transfer(fd, header, sizeof header, false, timeoutMs) &&
        std::memcmp(header, kMagic, sizeof kMagic) == 0) {
        std::uint32_t size = 0;
        std::memcpy(&size, header + 6, 4);
        std::string body(size, '\0');
        if (size <= kReplyLimit && transfer(fd, body.data(), size, false, timeoutMs)) {
            reply = std::move(body);
        }
    }
    close(fd);
    return reply;
}

std::optional<SpaceInfo> SwayWorkspaces::parseWorkspaces(const std::string& json) {
    boost::system::error_code error;
    const auto value = boost::json::parse(json, error);
    if (error || !value.is_array()) {
        return std::nullopt;
    }
    const auto& list = value.as_array();
    std::string output;
    for (const auto& item : list) {
        const auto* workspace = item.if_object();
        const auto* focused = workspace ? workspace->if_contains("focused") : nullptr;
        const auto* name = workspace ? workspace->if_contains("output") : nullptr;
        if (focused && focused->is_bool() && focused->as_bool() && name && name->is_string()) {
            output = name->as_string().c_str();
        }
    }
    if (output.empty()) {
        return std::nullopt;
    }
    SpaceInfo info;
    for (const auto& item : list) {
        const auto* workspace = item.if_object();
        const auto* name = workspace ? workspace->if_contains("output") : nullptr;
        if (!name || !name->is_string() || name->as_string() != output) {
            continue;
        }
        const auto* focused = workspace->if_contains("focused");
        if (focused && focused->is_bool() && focused->as_bool()) {
            info.index = info.count;
        }
        ++info.count;
    }
    return info;
}

std::optional<std::string> SwayWorkspaces::parseFocusedApp(const std::string& json) {
    boost::system::error_code error;
    const auto value = boost::json::parse(json, error);
    if (error || !value.is_object()) {
        return std::nullopt;
    }
    const auto* node = focusedNode(value.as_object());
    if (!node) {
        return std::nullopt;
    }
    if (const auto* app = node->if_contains("app_id"); app && app->is_string()) {
        return std::string(app->as_string().c_str());
    }
    const auto* properties = node->if_contains("window_properties");
    if (properties && properties->is_object()) {
        if (const auto* cls = properties->as_object().if_contains("class");
            cls && cls->is_string()) {
            return std::string(cls->as_string().c_str());
        }
    }
    return std::nullopt;
}

std::optional<SpaceInfo> SwayWorkspaces::info() const {
    auto reply = request(kGetWorkspaces, "");
    return reply ? parseWorkspaces(*reply) : std::nullopt;
}

bool SwayWorkspaces::switchTo(bool toRight) const {
    auto reply =
        request(kRunCommand, toRight ? "workspace next_on_output" : "workspace prev_on_output");
    if (!reply) {
        return false;
    }
    // [{"success": true}] per command.
    return reply->find("\"success\": true") != std::string::npos ||
           reply->find("\"success\":true") != std::string::npos;
}

std::optional<std::string> SwayWorkspaces::focusedApp() const {
    auto reply = request(kGetTree, "");
    return reply ? parseFocusedApp(*reply) : std::nullopt;
}

}  // namespace quelm
