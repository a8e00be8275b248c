#include "tests/fakes/SwayTestDesktop.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelm::test {

std::unique_ptr<SwayTestDesktop> SwayTestDesktop::start(std::string& why) {
    const auto program = TestWindow::program();
    if (access(program.c_str(), X_OK) != 0) {
        why = "not built: " + program;
        return nullptr;
    }
    std::unique_ptr<SwayTestDesktop> desktop(new SwayTestDesktop());
    desktop->sway_ = HeadlessSway::start(why);
    if (!desktop->sway_) {
        return nullptr;
    }
    desktop->fifo_ = desktop->sway_->runtimeDir() + "/commands";
    if (mkfifo(desktop->fifo_.c_str(), 0666) != 0 || chmod(desktop->fifo_.c_str(), 0666) != 0) {
        why = "no FIFO for the client's commands";
        return nullptr;
    }
    desktop->client_ = std::make_unique<ChildProcess>(
        desktop->sway_->asUser({program, desktop->fifo_},
                               {"GDK_BACKEND=wayland", "NO_AT_BRIDGE=1"}),
        ChildProcess::piped({}));
    auto entry = TestWindow::awaitShown(*desktop->client_);
    if (!entry) {
        why = "the test client did not show: " + desktop->client_->errors();
        return nullptr;
    }
    desktop->entry_ = *entry;
    return desktop;
}

SwayTestDesktop::~SwayTestDesktop() {
    client_.reset();
    sway_.reset();
}

void SwayTestDesktop::send(const std::string& command) {
    const int fd = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const std::string line = command + "\n";
    [[maybe_unused]] auto written = write(fd, line.data(), line.size());
    close(fd);
}

}  // namespace quelm::test
