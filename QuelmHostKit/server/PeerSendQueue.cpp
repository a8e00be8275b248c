#include "QuelmHostKit/server/PeerSendQueue.hpp"

#include <iterator>
#include <utility>

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

// Drops waiting audio beyond its own bound, then droppable messages oldest first until the
// whole queue fits.
bool PeerSendQueue::makeRoom() {
    for (std::size_t i = firstWaiting();
         i < messages_.size() && audioBytes_ > limits_.maxQueuedAudioBytes;) {
        if (messages_[i].traffic == Traffic::audio) {
            drop(i);
        } else {
            ++i;
        }
    }
    for (std::size_t i = firstWaiting(); i < messages_.size() && bytes_ > limits_.maxQueuedBytes;) {
        if (isDroppable(messages_[i].traffic)) {
            drop(i);
        } else {
            ++i;
        }
    }
    return bytes_ <= limits_.maxQueuedBytes;
}

}  // namespace quelm
