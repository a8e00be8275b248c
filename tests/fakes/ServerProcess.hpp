#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quelm::test {

// Helpers for the X servers the tests start (Xvfb, Xorg on the dummy driver).
namespace ServerProcess {

// Starts `argv` (argv[0] a path) with "-displayfd <fd>" appended, output to `outputPath`,
// and waits up to `limit` for the display number. On failure the process is stopped, reaped,
// and `why` says what happened (with the tail of its output).
std::optional<int> launchWithDisplayFD(std::vector<std::string> argv, const std::string& outputPath,
                                       std::chrono::seconds limit, pid_t& pid, std::string& why);

// True once `pid` has exited (and is reaped), waiting up to `limit`.
bool exited(pid_t pid, std::chrono::milliseconds limit);

// SIGTERM, then SIGKILL after `grace`; always reaps.
void stop(pid_t pid, std::chrono::milliseconds grace = std::chrono::seconds(5));

// The last `bytes` of a file, for failure messages.
std::string tail(const std::string& path, std::size_t bytes = 400);

}  // namespace ServerProcess
}  // namespace quelm::test
