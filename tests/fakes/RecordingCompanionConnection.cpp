#include "tests/fakes/RecordingCompanionConnection.hpp"

namespace quelm::test {

void RecordingCompanionConnection::sendText(std::string text, Traffic traffic) {
    std::lock_guard lock(mutex_);
    if (!closed_) {
        sent_.push_back({true, Bytes(text.begin(), text.end()), traffic});
    }
}

void RecordingCompanionConnection::sendBinary(Bytes bytes, Traffic traffic) {
    std::lock_guard lock(mutex_);
    if (!closed_) {
        sent_.push_back({false, std::move(bytes), traffic});
    }
}

void RecordingCompanionConnection::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

std::vector<RecordingCompanionConnection::Sent> RecordingCompanionConnection::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::vector<std::string> RecordingCompanionConnection::texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& message : sent_) {
        if (message.text) {
            texts.emplace_back(message.data.begin(), message.data.end());
        }
    }
    return texts;
}

std::vector<Bytes> RecordingCompanionConnection::binaries(Traffic traffic) const {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> binaries;
    for (const auto& message : sent_) {
        if (!message.text && message.traffic == traffic) {
            binaries.push_back(message.data);
        }
    }
    return binaries;
}

bool RecordingCompanionConnection::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void RecordingCompanionConnection::clear() {
    std::lock_guard lock(mutex_);
    sent_.clear();
}

}  // namespace quelm::test
