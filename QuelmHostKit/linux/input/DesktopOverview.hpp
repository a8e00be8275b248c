#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quelm {

class ThreadQueue;

// Opens the desktop shell's overview of windows and workspaces: GNOME Shell's overview, or
// KDE's overview effect, over the session bus.
//
// The calls wait for the shell (up to `callTimeoutMs` each), so they run on a thread of their
// own ("quelmix.overview"): open() returns at once and a hung shell holds up no one else. While
// one request waits, another is refused rather than queued behind it.
//
// Thread-safe. Destroying it drops a request not yet started; one under way finishes on its
// thread and its `done` still runs.
class DesktopOverview final {
  public:
    enum class Result { opened, noShell, failed };
    // With the shell's refusal when `failed`.
    using Done = std::function<void(Result result, const std::string& failure)>;

    static constexpr int callTimeoutMs = 1000;

    // An empty address means the session bus.
    explicit DesktopOverview(std::string busAddress = "");
    ~DesktopOverview();
    DesktopOverview(const DesktopOverview&) = delete;
    DesktopOverview& operator=(const DesktopOverview&) = delete;

    // `done` runs once, on the overview's thread, or at once when a request is still waiting.
    void open(Done done);

    // The same for a poster: where there is no shell, `withoutShell` opens what the desktop
    // has instead (a tap of Super, say) and its answer is the result. `done` gets the failure's
    // description, or none when something opened.
    using Failure = std::optional<std::string>;
    void openOr(std::function<Failure()> withoutShell, std::function<void(Failure)> done);

  private:
    struct State;

    std::shared_ptr<State> state_;
    std::shared_ptr<ThreadQueue> queue_;
};

}  // namespace quelm
