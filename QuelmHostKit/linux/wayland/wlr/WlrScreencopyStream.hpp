#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "QuelmHostKit/linux/wayland/wlr/WlrScreencopy.hpp"
#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class WaylandConnection;
class WlrScreencopy;

// Captures one output of a wlroots compositor with wlr-screencopy: the compositor copies the
// output (cursor included) into shared memory when it changed, and the stream's own thread
// ("quelmix.capture") scales and converts the copy to NV12 and asks for the next one no sooner
// than 1/fps later. start() returns once the first picture is delivered; update() delivers
// the last copy again at the new size.
//
// A Wayland window cannot learn where it is on the screen, so while any never-capture
// rectangle is registered the whole picture is black.
//
// Ends itself (onStop) when the compositor is lost, the output goes away or copies keep
// failing. Thread: start, update and stop are called one at a time and block; receivers run
// on the capture thread; never destroy the stream from its own receivers.
class WlrScreencopyStream final : public CaptureStream {
  public:
    struct Options {
        std::shared_ptr<WaylandConnection> connection;
        std::uint32_t displayId = 0;
        std::shared_ptr<NeverCaptureRegistry> neverCapture;
    };
    static constexpr std::size_t poolSize = 6;
    // How long start() waits for the compositor's first copy.
    static constexpr double startTimeout = 5.0;
    // Failed copies in a row before the stream gives up.
    static constexpr int failureLimit = 3;

    WlrScreencopyStream(Options options, CaptureSettings settings, Receivers receivers);
    ~WlrScreencopyStream() override;
    WlrScreencopyStream(const WlrScreencopyStream&) = delete;
    WlrScreencopyStream& operator=(const WlrScreencopyStream&) = delete;

    CaptureStatus start() override;
    CaptureStatus update(const CaptureSettings& settings) override;
    void stop() override;

  private:
    // What the event thread and the capture thread tell each other, under mutex_.
    struct Inbox {
        std::optional<ScreencopyShot> shot;
        std::optional<std::string> failure;
        bool lost = false;
    };

    void run();
    // On the capture thread: converts `shot` at the current size and hands it on.
    void deliver(const ScreencopyShot& shot);
    void requestNext(bool withDamage);
    void answer(CaptureStatus status);

    const Options options_;
    const Receivers receivers_;
    std::thread thread_;
    std::shared_ptr<WlrScreencopy> copier_;  // event thread only
    std::uint64_t lostKey_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable answered_;
    Inbox inbox_;
    bool stopping_ = false;
    bool running_ = false;
    CaptureSettings settings_;
    std::optional<CaptureSettings> pending_;
    std::uint64_t requests_ = 0;
    std::uint64_t answers_ = 0;
    CaptureStatus lastAnswer_;

    // Capture thread only.
    class Converter;
    std::unique_ptr<Converter> converter_;
};

}  // namespace quelm
