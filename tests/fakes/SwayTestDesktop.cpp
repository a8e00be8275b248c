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
    return desktop->showWindow(why) ? std::move(desktop) : nullptr;
}

bool SwayTestDesktop::showWindow(std::string& why) {
    client_ = std::make_unique<ChildProcess>(
        sway_->asUser({TestWindow::program(), fifo_}, {"GDK_BACKEND=wayland", "NO_AT_BRIDGE=1"}),
        ChildProcess::piped({}));
    auto entry = TestWindow::awaitShown(*client_);
    if (!entry) {
        why = "the test client did not show: " + client_->errors();
        return false;
    }
    entry_ = *entry;
    return true;
}

bool SwayTestDesktop::restart(std::string& why) {
    // The window went with its compositor.
    client_.reset();
    return sway_->restart(why) && showWindow(why);
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
