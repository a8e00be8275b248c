#include "tests/fakes/PrivateSoundServer.hpp"

#include <signal.h>
#include <unistd.h>

#include <chrono>

namespace quelm::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

PrivateSoundServer::PrivateSoundServer() {
    daemon_ = ChildProcess::find("pulseaudio");
    pacat_ = ChildProcess::find("pacat");
    pactl_ = ChildProcess::find("pactl");
    if (daemon_.empty() || pacat_.empty() || pactl_.empty()) {
        why_ = "pulseaudio and pacat (packages pulseaudio, pulseaudio-utils) are not installed";
        return;
    }
    folder_ = fs::temp_directory_path() / ("quelmix-pulse-test-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "runtime");
    fs::permissions(folder_ / "runtime", fs::perms::owner_all);
    socket_ = (folder_ / "native").string();
    launch();
}

PrivateSoundServer::~PrivateSoundServer() {
    stop();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

void PrivateSoundServer::stop() {
    if (process_) {
        process_->terminate();
    }
}

void PrivateSoundServer::kill() {
    if (process_) {
        ::kill(process_->pid(), SIGKILL);
        process_->wait(5);
    }
}

bool PrivateSoundServer::restart() {
    kill();
    ready_ = false;
    launch();
    return ready_;
}

std::unique_ptr<ChildProcess> PrivateSoundServer::play(const fs::path& raw) const {
    ChildProcess::Options options{environment()};
    options.stdinFile = raw.string();
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{pacat_, "--server=" + server(), "--playback", "--device=test",
                                 "--format=float32le", "--rate=48000", "--channels=2", "--raw"},
        options);
}

void PrivateSoundServer::launch() {
    ChildProcess::Options options{environment()};
    options.stderrFile = (folder_ / "pulseaudio.log").string();
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{daemon_, "-n", "--daemonize=no", "--exit-idle-time=-1",
                                 "--use-pid-file=no", "--disable-shm=yes", "--log-target=stderr",
                                 "-L", "module-null-sink sink_name=test rate=48000 channels=2",
                                 "-L",
                                 "module-native-protocol-unix auth-anonymous=1 socket=" + socket_},
        options);
    if (!process_->started()) {
        why_ = "pulseaudio did not start";
        return;
    }
    // Ready once a client can reach it.
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(socket_)) {
            ChildProcess probe({pactl_, "--server=" + server(), "info"},
                               ChildProcess::Options{environment()});
            if (probe.wait(5) == 0) {
                ready_ = true;
                return;
            }
        }
        if (process_->wait(0.1)) {
            why_ = "pulseaudio exited at start (running as a user without a session?)";
            return;
        }
    }
    why_ = "pulseaudio did not open its socket in time";
}

std::vector<std::string> PrivateSoundServer::environment() const {
    return {"HOME=" + folder_.string(), "XDG_RUNTIME_DIR=" + (folder_ / "runtime").string(),
            "XDG_CONFIG_HOME=" + (folder_ / "config").string(), "PATH=/usr/bin:/bin",
            "PULSE_RUNTIME_PATH=" + (folder_ / "runtime").string()};
}

}  // namespace quelm::test
