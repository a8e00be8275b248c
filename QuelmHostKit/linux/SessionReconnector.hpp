#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quelm {

// Brings a lost display server back (an X server, a Wayland compositor): after lost(), a
// thread of its own calls `attempt` after a pause that starts at `firstPause` and doubles up to
// `longestPause`, until an attempt succeeds. The first failure of a loss is logged, and later
// ones only when their reason changes, so a server that stays away does not fill the log.
//
// `attempt` runs on that thread and may block; it returns nothing on success, else why it
// failed. lost() only sets a flag and wakes the thread: it may be called from anywhere, inside
// a failing library call too, and during an attempt (the new connection lost at once).
class SessionReconnector final {
  public:
    struct Options {
        // The thread's name (Linux keeps 15 characters).
        std::string threadName;
        // What comes back, for the log ("the X server").
        std::string what;
        double firstPause = 0.25;
        double longestPause = 2.0;
        std::function<std::optional<std::string>()> attempt;
    };

    explicit SessionReconnector(Options options);
    // Stops the thread; an attempt under way is waited for.
    ~SessionReconnector();
    SessionReconnector(const SessionReconnector&) = delete;
    SessionReconnector& operator=(const SessionReconnector&) = delete;

    void lost();
    void stop();

  private:
    void run();

    const Options options_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool lost_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace quelm
