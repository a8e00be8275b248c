#include "QuelmHostKit/platform/ReplaceablePasteboard.hpp"

#include <utility>

namespace quelm {

ReplaceablePasteboard::ReplaceablePasteboard(std::shared_ptr<Pasteboard> pasteboard,
                                             std::shared_ptr<SerialQueue> mainQueue)
    : mainQueue_(std::move(mainQueue)), current_(std::move(pasteboard)) {}

void ReplaceablePasteboard::replace(std::shared_ptr<Pasteboard> pasteboard) {
    std::shared_ptr<Pasteboard> previous;
    {
        std::lock_guard lock(mutex_);
        base_ += (current_ ? current_->changeCount() : 0) + 1;
        base_ -= pasteboard ? pasteboard->changeCount() : 0;
        previous = std::exchange(current_, std::move(pasteboard));
    }
    // The old one goes outside the lock: its end may wait for its own threads.
}

std::shared_ptr<Pasteboard> ReplaceablePasteboard::current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

std::uint64_t ReplaceablePasteboard::changeCount() const {
    std::lock_guard lock(mutex_);
    return base_ + (current_ ? current_->changeCount() : 0);
}

void ReplaceablePasteboard::readTypes(TypesHandler handler) {
    if (const auto pasteboard = current()) {
        pasteboard->readTypes(std::move(handler));
        return;
    }
    mainQueue_->async([handler = std::move(handler)] { handler({}); });
}

void ReplaceablePasteboard::readText(TextHandler handler) {
    if (const auto pasteboard = current()) {
        pasteboard->readText(std::move(handler));
        return;
    }
    mainQueue_->async([handler = std::move(handler)] { handler(std::nullopt); });
}

void ReplaceablePasteboard::readData(const std::string& type, DataHandler handler) {
    if (const auto pasteboard = current()) {
        pasteboard->readData(type, std::move(handler));
        return;
    }
    mainQueue_->async([handler = std::move(handler)] { handler(std::nullopt); });
}

void ReplaceablePasteboard::clear() {
    if (const auto pasteboard = current()) {
        pasteboard->clear();
    }
}

void ReplaceablePasteboard::writeText(const std::string& text) {
    if (const auto pasteboard = current()) {
        pasteboard->writeText(text);
    }
}

void ReplaceablePasteboard::writeItems(std::vector<Item> items) {
    if (const auto pasteboard = current()) {
        pasteboard->writeItems(std::move(items));
    }
}

void ReplaceablePasteboard::writeImage(Bytes encoded, std::function<void(bool written)> done) {
    if (const auto pasteboard = current()) {
        pasteboard->writeImage(std::move(encoded), std::move(done));
        return;
    }
    mainQueue_->async([done = std::move(done)] { done(false); });
}

}  // namespace quelm
