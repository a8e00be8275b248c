#include "QuelmHostKit/server/PeerSendQueue.hpp"

#include <iterator>
#include <utility>

#include "QuelmCore/AudioPacket.hpp"

namespace quelm {

namespace {

bool isDroppable(Traffic traffic) {
    return traffic == Traffic::audio || traffic == Traffic::cursor;
}

}  // namespace

bool PeerSendQueue::push(Message message) {
    if (message.traffic == Traffic::cursor) {
        // Only the newest pointer position matters.
        for (std::size_t i = messages_.size(); i > firstWaiting(); --i) {
            if (messages_[i - 1].traffic == Traffic::cursor) {
                drop(i - 1);
            }
        }
    }
    bytes_ += message.data.size();
    if (message.traffic == Traffic::audio) {
        audioBytes_ += message.data.size();
    }
    messages_.push_back(std::move(message));
    return makeRoom();
}

PeerSendQueue::Message PeerSendQueue::finishWriting() {
    writing_ = false;
    Message message = std::move(messages_.front());
    bytes_ -= message.data.size();
    if (message.traffic == Traffic::audio) {
        audioBytes_ -= message.data.size();
    }
    messages_.pop_front();
    return message;
}

void PeerSendQueue::dropWaiting() {
    while (messages_.size() > firstWaiting()) {
        drop(messages_.size() - 1);
    }
}

void PeerSendQueue::drop(std::size_t index) {
    const auto& message = messages_[index];
    bytes_ -= message.data.size();
    if (message.traffic == Traffic::audio) {
        audioBytes_ -= message.data.size();
    }
    messages_.erase(messages_.begin() + static_cast<std::ptrdiff_t>(index));
}

bool PeerSendQueue::dropAudio(std::size_t index) {
    auto dropped = AudioPacket::decode(messages_[index].data);
    if (!dropped || dropped->cookie.empty()) {
        drop(index);
        return true;
    }
    // The decoder configuration comes once per encoder: without it the companion cannot build
    // its decoder. It moves onto the next waiting packet, unless that one brings its own (a
    // newer encoder's).
    for (std::size_t next = index + 1; next < messages_.size(); ++next) {
        auto& later = messages_[next];
        auto kept =
            later.traffic == Traffic::audio ? AudioPacket::decode(later.data) : std::nullopt;
        if (!kept) {
            continue;
        }
        if (kept->cookie.empty()) {
            kept->cookie = std::move(dropped->cookie);
            auto merged = kept->encoded();
            if (!merged) {
                return false;
            }
            std::size_t grown = merged->size() - later.data.size();
            bytes_ += grown;
            audioBytes_ += grown;
            later.data = std::move(*merged);
        }
        drop(index);
        return true;
    }
    return false;
}

// Drops waiting audio beyond its own bound, then droppable messages oldest first until the
// whole queue fits. Audio whose decoder configuration has nowhere to go stays.
bool PeerSendQueue::makeRoom() {
    for (std::size_t i = firstWaiting();
         i < messages_.size() && audioBytes_ > limits_.maxQueuedAudioBytes;) {
        if (messages_[i].traffic != Traffic::audio || !dropAudio(i)) {
            ++i;
        }
    }
    for (std::size_t i = firstWaiting(); i < messages_.size() && bytes_ > limits_.maxQueuedBytes;) {
        bool dropped = false;
        if (messages_[i].traffic == Traffic::audio) {
            dropped = dropAudio(i);
        } else if (isDroppable(messages_[i].traffic)) {
            drop(i);
            dropped = true;
        }
        if (!dropped) {
            ++i;
        }
    }
    return bytes_ <= limits_.maxQueuedBytes;
}

}  // namespace quelm
