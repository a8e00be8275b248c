#include "tests/fakes/DummyXorg.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "QuelmHostKit/linux/x11/X11Connection.hpp"

namespace quelm::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kXorgConfig = R"(Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 65536
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 4096 2048
  EndSubSection
EndSection
)";

std::string findXorg() {
    for (const char* candidate : {"/usr/lib/xorg/Xorg", "/usr/bin/Xorg"}) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

}  // namespace

std::unique_ptr<DummyXorg> DummyXorg::start(std::string& why) {
    const std::string xorg = findXorg();
    if (xorg.empty()) {
        why = "no Xorg binary";
        return nullptr;
    }
    char pattern[] = "/tmp/quelm-xorg-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        why = "no temporary directory";
        return nullptr;
    }
    auto server = std::unique_ptr<DummyXorg>(new DummyXorg(pattern));
    std::ofstream(server->dir_ / "xorg.conf") << kXorgConfig;
    fs::create_directory(server->dir_ / "conf.d");
    if (!server->launch(xorg, why)) {
        return nullptr;
    }
    return server;
}

DummyXorg::~DummyXorg() {
    server_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

bool DummyXorg::xrandr(const std::string& arguments) const {
    const std::string command = "DISPLAY=" + name() + " xrandr " + arguments + " >>" +
                                (dir_ / "xrandr.log").string() + " 2>&1";
    return std::system(command.c_str()) == 0;
}

bool DummyXorg::launch(const std::string& xorg, std::string& why) {
    const std::string output = (dir_ / "xorg.out").string();
    server_ = ChildProcess::startXServer(
        {xorg, "-config", (dir_ / "xorg.conf").string(), "-configdir", (dir_ / "conf.d").string(),
         "-noreset", "-nolisten", "tcp", "-logfile", (dir_ / "xorg.log").string()},
        output, 15, number_, why);
    if (!server_) {
        return false;
    }
    // Xorg may report its number a little before it takes connections.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (X11Connection::open(name())) {
            return true;
        }
        if (server_->wait(0.05)) {
            why = "Xorg exited at start: " + ChildProcess::tail(output);
            return false;
        }
    }
    why = "Xorg did not accept connections in time: " + ChildProcess::tail(output);
    return false;
}

}  // namespace quelm::test
