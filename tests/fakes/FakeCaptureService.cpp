#include "tests/fakes/FakeCaptureService.hpp"

#include <utility>

namespace quelm::test {

FakeCaptureStream::FakeCaptureStream(std::shared_ptr<FakeCaptureService> service,
                                     CaptureDisplay display, CaptureSettings settings,
                                     Receivers receivers)
    : service_(service), display_(display), receivers_(std::move(receivers)), settings_(settings) {}

CaptureStatus FakeCaptureStream::start() {
    {
        std::lock_guard lock(mutex_);
        ++starts_;
    }
    auto service = service_.lock();
    return service ? service->startStatus() : CaptureStatus::success();
}

CaptureStatus FakeCaptureStream::update(const CaptureSettings& settings) {
    auto service = service_.lock();
    auto status = service ? service->updateStatus() : CaptureStatus::success();
    std::lock_guard lock(mutex_);
    updates_.push_back(settings);
    if (status.ok()) {
        settings_ = settings;
    }
    return status;
}

void FakeCaptureStream::stop() {
    std::lock_guard lock(mutex_);
    ++stops_;
}

CaptureSettings FakeCaptureStream::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

std::vector<CaptureSettings> FakeCaptureStream::updates() const {
    std::lock_guard lock(mutex_);
    return updates_;
}

int FakeCaptureStream::starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
}

int FakeCaptureStream::stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
}

void FakeCaptureStream::deliverPicture(PixelBufferRef buffer) {
    if (receivers_.onPicture) {
        receivers_.onPicture(std::move(buffer));
    }
}

void FakeCaptureStream::deliverAudio(const std::vector<float>& interleaved) {
    if (receivers_.onAudio) {
        receivers_.onAudio(AudioSamples{interleaved, 48000, 2});
    }
}

void FakeCaptureStream::platformStop(CaptureStatus status) {
    if (receivers_.onStop) {
        receivers_.onStop(std::move(status));
    }
}

std::shared_ptr<FakeCaptureService> FakeCaptureService::make() {
    return std::shared_ptr<FakeCaptureService>(new FakeCaptureService());
}

bool FakeCaptureService::permissionGranted() {
    std::lock_guard lock(mutex_);
    return permission_;
}

CaptureService::Displays FakeCaptureService::displays() {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        ++displayQueries_;
        hook = displaysHook_;
    }
    if (hook) {
        hook();
    }
    std::lock_guard lock(mutex_);
    return displays_;
}

CaptureService::Stream FakeCaptureService::createStream(const CaptureDisplay& display,
                                                        const CaptureSettings& settings,
                                                        CaptureStream::Receivers receivers) {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        hook = createHook_;
    }
    if (hook) {
        hook();
    }
    std::lock_guard lock(mutex_);
    if (!createStatus_.ok()) {
        return createStatus_;
    }
    auto stream = std::make_shared<FakeCaptureStream>(shared_from_this(), display, settings,
                                                      std::move(receivers));
    streams_.push_back(stream);
    return stream;
}

CaptureStatus FakeCaptureService::startStatus() {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        hook = startHook_;
    }
    if (hook) {
        hook();
    }
    std::lock_guard lock(mutex_);
    return startStatus_;
}

CaptureStatus FakeCaptureService::updateStatus() {
    std::lock_guard lock(mutex_);
    return updateStatus_;
}

void FakeCaptureService::setPermission(bool granted) {
    std::lock_guard lock(mutex_);
    permission_ = granted;
}

void FakeCaptureService::setDisplays(Displays displays) {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
}

void FakeCaptureService::setCreateStatus(CaptureStatus status) {
    std::lock_guard lock(mutex_);
    createStatus_ = std::move(status);
}

void FakeCaptureService::setStartStatus(CaptureStatus status) {
    std::lock_guard lock(mutex_);
    startStatus_ = std::move(status);
}

void FakeCaptureService::setUpdateStatus(CaptureStatus status) {
    std::lock_guard lock(mutex_);
    updateStatus_ = std::move(status);
}

void FakeCaptureService::onDisplays(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    displaysHook_ = std::move(hook);
}

void FakeCaptureService::onCreate(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    createHook_ = std::move(hook);
}

void FakeCaptureService::onStart(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    startHook_ = std::move(hook);
}

void FakeCaptureService::prepare(const CaptureDisplay& display, const CaptureSettings& likely) {
    std::lock_guard lock(mutex_);
    preparations_.push_back({display, likely});
}

void FakeCaptureService::discardPrepared() {
    std::lock_guard lock(mutex_);
    ++discards_;
}

std::vector<FakeCaptureService::Preparation> FakeCaptureService::preparations() const {
    std::lock_guard lock(mutex_);
    return preparations_;
}

int FakeCaptureService::discards() const {
    std::lock_guard lock(mutex_);
    return discards_;
}

int FakeCaptureService::displayQueries() const {
    std::lock_guard lock(mutex_);
    return displayQueries_;
}

std::vector<std::shared_ptr<FakeCaptureStream>> FakeCaptureService::streams() const {
    std::lock_guard lock(mutex_);
    return streams_;
}

std::shared_ptr<FakeCaptureStream> FakeCaptureService::lastStream() const {
    std::lock_guard lock(mutex_);
    return streams_.empty() ? nullptr : streams_.back();
}

}  // namespace quelm::test
