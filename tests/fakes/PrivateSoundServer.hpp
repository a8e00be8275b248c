#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/ChildProcess.hpp"

namespace quelm::test {

// A private PulseAudio daemon: its own runtime folder and socket, a null sink "test" at 48 kHz
// stereo as the only (so the default) output. Stopped by pid.
class PrivateSoundServer {
  public:
    PrivateSoundServer();
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    void stop();
    // Ends the daemon at once, as a crash would.
    void kill();
    // Kills the daemon and starts it again on the same socket; true once it answers.
    bool restart();

    bool ready() const { return ready_; }
    const std::string& why() const { return why_; }
    // The address for PULSE_SERVER or a client's --server.
    std::string server() const { return "unix:" + socket_; }
    const std::filesystem::path& folder() const { return folder_; }

    // Plays raw 48 kHz stereo float samples into the null sink.
    std::unique_ptr<ChildProcess> play(const std::filesystem::path& raw) const;

  private:
    void launch();
    std::vector<std::string> environment() const;

    std::string daemon_;
    std::string pacat_;
    std::string pactl_;
    std::filesystem::path folder_;
    std::string socket_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
    std::string why_;
};

}  // namespace quelm::test
