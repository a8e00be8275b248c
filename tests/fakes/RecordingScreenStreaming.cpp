#include "tests/fakes/RecordingScreenStreaming.hpp"

#include <chrono>
#include <sstream>

namespace quelm::test {

std::string RecordingScreenStreaming::describe(const StreamConfig& config) {
    std::ostringstream text;
    text << config.maxEdge << "x" << config.bitrateMbps << "x" << config.fps;
    return text.str();
}

void RecordingScreenStreaming::record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    changed_.notify_all();
}

void RecordingScreenStreaming::start(const StreamConfig& config, FrameHandler onFrame,
                                     ErrorHandler onError) {
    {
        std::lock_guard lock(mutex_);
        onFrame_ = std::move(onFrame);
        onError_ = std::move(onError);
    }
    record("start " + describe(config));
}

void RecordingScreenStreaming::stop() {
    record("stop");
}

void RecordingScreenStreaming::acknowledge() {
    record("ack");
}

void RecordingScreenStreaming::requestKeyFrame() {
    record("keyFrame");
}

void RecordingScreenStreaming::update(const StreamConfig& config) {
    record("update " + describe(config));
}

void RecordingScreenStreaming::setAudio(std::int64_t kbps, PacketHandler onPacket) {
    bool hasHandler = static_cast<bool>(onPacket);
    {
        std::lock_guard lock(mutex_);
        onPacket_ = std::move(onPacket);
    }
    record("setAudio " + std::to_string(kbps) + (hasHandler ? "" : " none"));
}

std::vector<std::string> RecordingScreenStreaming::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void RecordingScreenStreaming::clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

bool RecordingScreenStreaming::waitForCalls(std::size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return calls_.size() >= count; });
}

ScreenStreaming::FrameHandler RecordingScreenStreaming::frameHandler() const {
    std::lock_guard lock(mutex_);
    return onFrame_;
}

bool RecordingScreenStreaming::deliverFrame(const VideoFrame& frame) const {
    FrameHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = onFrame_;
    }
    if (!handler) {
        return false;
    }
    handler(frame);
    return true;
}

bool RecordingScreenStreaming::deliverError(const std::string& error) const {
    ErrorHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = onError_;
    }
    if (!handler) {
        return false;
    }
    handler(error);
    return true;
}

bool RecordingScreenStreaming::deliverPacket(const AudioPacket& packet) const {
    PacketHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = onPacket_;
    }
    if (!handler) {
        return false;
    }
    handler(packet);
    return true;
}

}  // namespace quelm::test
