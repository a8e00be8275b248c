#include "tests/fakes/DummyXorg.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "tests/fakes/ServerProcess.hpp"

namespace quelm::test {

namespace {

constexpr const char* kConfig = R"(Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 131072
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

}  // namespace

std::unique_ptr<DummyXorg> DummyXorg::start(std::string& why) {
    std::string xorg;
    for (const char* candidate : {"/usr/lib/xorg/Xorg", "/usr/bin/Xorg"}) {
        if (access(candidate, X_OK) == 0) {
            xorg = candidate;
            break;
        }
    }
    if (xorg.empty()) {
        why = "no Xorg binary";
        return nullptr;
    }
    char pattern[] = "/tmp/quelm-xorg-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        why = "no temporary directory";
        return nullptr;
    }
    auto server = std::unique_ptr<DummyXorg>(new DummyXorg);
    server->dir_ = pattern;
    std::ofstream(server->dir_ / "xorg.conf") << kConfig;
    std::filesystem::create_directory(server->dir_ / "conf.d");
    const auto number = ServerProcess::launchWithDisplayFD(
        {xorg, "-config", (server->dir_ / "xorg.conf").string(), "-configdir",
         (server->dir_ / "conf.d").string(), "-noreset", "-nolisten", "tcp", "-logfile",
         (server->dir_ / "xorg.log").string()},
        (server->dir_ / "xorg.out").string(), std::chrono::seconds(20), server->pid_, why);
    if (!number) {
        return nullptr;
    }
    server->number_ = *number;
    return server;
}

DummyXorg::~DummyXorg() {
    ServerProcess::stop(pid_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool DummyXorg::xrandr(const std::string& arguments) const {
    const std::string command = "DISPLAY=" + name() + " xrandr " + arguments + " >>" +
                                (dir_ / "xrandr.log").string() + " 2>&1";
    return std::system(command.c_str()) == 0;
}

}  // namespace quelm::test
