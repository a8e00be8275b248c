#include "tests/fakes/HeadlessSway.hpp"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/fakes/ChildProcess.hpp"

namespace quelm::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "nobody";

std::string sessionUserIds(uid_t& uid, gid_t& gid) {
    const passwd* entry = getpwnam(kUser);
    if (!entry) {
        return "";
    }
    uid = entry->pw_uid;
    gid = entry->pw_gid;
    return std::to_string(uid) + ":" + std::to_string(gid);
}

}  // namespace

std::unique_ptr<HeadlessSway> HeadlessSway::start(std::string& why) {
    for (const char* program : {"sway", "swaymsg", "setpriv", "dbus-run-session"}) {
        if (ChildProcess::find(program).empty()) {
            why = std::string(program) + " is not installed";
            return nullptr;
        }
    }
    uid_t uid = 0;
    gid_t gid = 0;
    if (sessionUserIds(uid, gid).empty()) {
        why = "no user nobody";
        return nullptr;
    }
    static int counter = 0;
    std::unique_ptr<HeadlessSway> sway(new HeadlessSway());
    sway->runtimeDir_ = (fs::temp_directory_path() / ("quelmix-sway-" + std::to_string(getpid()) +
                                                      "-" + std::to_string(++counter)))
                            .string();
    std::error_code ignored;
    fs::remove_all(sway->runtimeDir_, ignored);
    fs::create_directories(sway->runtimeDir_);
    const std::string config = sway->runtimeDir_ + "/config";
    std::ofstream(config) << "xwayland disable\n"
                          << "output HEADLESS-1 mode " << width << "x" << height << "@60Hz\n"
                          << "default_border none\n"
                          << "default_floating_border none\n"
                          << "focus_follows_mouse no\n";
    chmod(config.c_str(), 0644);
    // The folder is the session's runtime folder: its user's alone.
    if (chown(sway->runtimeDir_.c_str(), uid, gid) != 0 ||
        chmod(sway->runtimeDir_.c_str(), 0700) != 0) {
        why = "cannot hand the runtime folder to " + std::string(kUser);
        return nullptr;
    }
    return sway->launch(why) ? std::move(sway) : nullptr;
}

bool HeadlessSway::launch(std::string& why) {
    session_ = std::make_unique<ChildProcess>(
        asUser({ChildProcess::find("dbus-run-session"), "--", ChildProcess::find("sway"), "-c",
                runtimeDir_ + "/config"},
               {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"}),
        ChildProcess::piped({}));
    if (!session_->running() || !waitForSockets(10)) {
        why = "sway did not come up: " + session_->errors();
        return false;
    }
    return true;
}

bool HeadlessSway::restart(std::string& why) {
    const std::string display = display_;
    // A killed sway leaves its sockets behind; the new one takes the display name again.
    std::error_code ignored;
    for (const auto& name : {display_, display_ + ".lock"}) {
        fs::remove(fs::path(runtimeDir_) / name, ignored);
    }
    fs::remove(swaySocket_, ignored);
    display_.clear();
    swaySocket_.clear();
    swayPid_ = -1;
    if (!launch(why)) {
        return false;
    }
    if (display_ != display) {
        why = "the new sway listens on " + display_ + ", not " + display;
        return false;
    }
    return true;
}

std::vector<std::string> HeadlessSway::environment() const {
    std::vector<std::string> list = {"PATH=/usr/bin:/bin", "HOME=" + runtimeDir_,
                                     "XDG_RUNTIME_DIR=" + runtimeDir_};
    if (!display_.empty()) {
        list.push_back("WAYLAND_DISPLAY=" + display_);
    }
    if (!swaySocket_.empty()) {
        list.push_back("SWAYSOCK=" + swaySocket_);
    }
    return list;
}

std::vector<std::string> HeadlessSway::asUser(const std::vector<std::string>& argv,
                                              const std::vector<std::string>& extra) const {
    uid_t uid = 0;
    gid_t gid = 0;
    sessionUserIds(uid, gid);
    std::vector<std::string> full = {ChildProcess::find("setpriv"),
                                     "--reuid=" + std::to_string(uid),
                                     "--regid=" + std::to_string(gid),
                                     "--clear-groups",
                                     "--",
                                     "/usr/bin/env",
                                     "-i"};
    for (const auto& variable : environment()) {
        full.push_back(variable);
    }
    full.insert(full.end(), extra.begin(), extra.end());
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

bool HeadlessSway::waitForSockets(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        for (const auto& item : fs::directory_iterator(runtimeDir_, error)) {
            const auto name = item.path().filename().string();
            if (name.starts_with("wayland-") && !name.ends_with(".lock")) {
                display_ = name;
            }
            if (name.starts_with("sway-ipc.") && name.ends_with(".sock")) {
                swaySocket_ = item.path().string();
                // sway-ipc.<uid>.<pid>.sock
                const auto end = name.rfind(".sock");
                const auto start = name.rfind('.', end - 1) + 1;
                swayPid_ = std::stoi(name.substr(start, end - start));
            }
        }
        if (!display_.empty() && swayPid_ > 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string HeadlessSway::command(const std::string& text) const {
    ChildProcess swaymsg(asUser({ChildProcess::find("swaymsg"), text}), ChildProcess::piped({}));
    std::string out;
    for (const auto& line : swaymsg.allLines(5)) {
        out += line + "\n";
    }
    return out;
}

bool HeadlessSway::alive() const {
    return swayPid_ > 0 && ::kill(swayPid_, 0) == 0;
}

void HeadlessSway::kill() {
    if (swayPid_ > 0) {
        ::kill(swayPid_, SIGKILL);
    }
    // dbus-run-session ends its bus and itself once sway is gone.
    if (session_) {
        session_->wait(5);
    }
}

HeadlessSway::~HeadlessSway() {
    if (swayPid_ > 0 && alive()) {
        ::kill(swayPid_, SIGTERM);
    }
    if (session_ && !session_->wait(5)) {
        if (swayPid_ > 0) {
            ::kill(swayPid_, SIGKILL);
        }
        session_->wait(2);
    }
    session_.reset();
    std::error_code ignored;
    fs::remove_all(runtimeDir_, ignored);
}

}  // namespace quelm::test
