#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "QuelmHostKit/platform/CaptureService.hpp"

namespace quelm::test {

class FakeCaptureService;

// A stream made by FakeCaptureService: records its calls and lets the test deliver pictures,
// audio and a platform stop through the receivers it was given. Thread-safe.
class FakeCaptureStream final : public CaptureStream {
  public:
    FakeCaptureStream(std::shared_ptr<FakeCaptureService> service, CaptureDisplay display,
                      CaptureSettings settings, Receivers receivers);

    CaptureStatus start() override;
    CaptureStatus update(const CaptureSettings& settings) override;
    void stop() override;

    const CaptureDisplay& display() const { return display_; }
    CaptureSettings settings() const;
    std::vector<CaptureSettings> updates() const;
    int starts() const;
    int stops() const;

    // Deliver through the receivers, as the platform would (any thread).
    void deliverPicture(PixelBufferRef buffer);
    void deliverAudio(const std::vector<float>& interleaved);
    void platformStop(CaptureStatus status);

  private:
    std::weak_ptr<FakeCaptureService> service_;
    const CaptureDisplay display_;
    const Receivers receivers_;
    mutable std::mutex mutex_;
    CaptureSettings settings_;
    std::vector<CaptureSettings> updates_;
    int starts_ = 0;
    int stops_ = 0;
};

// Answers what the test scripts and records every request; hooks run inside the platform calls
// so that a test can start or stop the capture at each point of its start-up. Thread-safe.
class FakeCaptureService final : public CaptureService,
                                 public std::enable_shared_from_this<FakeCaptureService> {
  public:
    static std::shared_ptr<FakeCaptureService> make();

    bool permissionGranted() override;
    Displays displays() override;
    Stream createStream(const CaptureDisplay& display, const CaptureSettings& settings,
                        CaptureStream::Receivers receivers) override;
    void prepare(const CaptureDisplay& display, const CaptureSettings& likely) override;
    void discardPrepared() override;

    // Script.
    void setPermission(bool granted);
    void setDisplays(Displays displays);
    void setCreateStatus(CaptureStatus status);
    void setStartStatus(CaptureStatus status);
    void setUpdateStatus(CaptureStatus status);
    // Run inside displays(), createStream() and a stream's start(), before they answer.
    void onDisplays(std::function<void()> hook);
    void onCreate(std::function<void()> hook);
    void onStart(std::function<void()> hook);

    // Records.
    int displayQueries() const;
    std::vector<std::shared_ptr<FakeCaptureStream>> streams() const;
    std::shared_ptr<FakeCaptureStream> lastStream() const;
    struct Preparation {
        CaptureDisplay display;
        CaptureSettings likely;
        friend bool operator==(const Preparation&, const Preparation&) = default;
    };
    std::vector<Preparation> preparations() const;
    int discards() const;

  private:
    friend class FakeCaptureStream;
    FakeCaptureService() = default;
    CaptureStatus startStatus();
    CaptureStatus updateStatus();

    mutable std::mutex mutex_;
    bool permission_ = true;
    Displays displays_ = std::vector<CaptureDisplay>{{1, 1920, 1080}};
    CaptureStatus createStatus_;
    CaptureStatus startStatus_;
    CaptureStatus updateStatus_;
    std::function<void()> displaysHook_;
    std::function<void()> createHook_;
    std::function<void()> startHook_;
    int displayQueries_ = 0;
    std::vector<std::shared_ptr<FakeCaptureStream>> streams_;
    std::vector<Preparation> preparations_;
    int discards_ = 0;
};

}  // namespace quelm::test
