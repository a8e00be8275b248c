#include "QuelmHostKit/input/InputBacklog.hpp"

#include <algorithm>
#include <utility>

namespace quelm {

namespace {

// Summed deltas stay within what one message may carry: further motion would only be clamped
// at the display's edge, and further scrolling would post thousands of wheel clicks at once.
double bounded(double value) {
    return std::clamp(value, -Wire::maxPointerDelta, Wire::maxPointerDelta);
}

}  // namespace

bool InputBacklog::PointerRun::add(const ClientMessage& message) {
    if (const auto* move = std::get_if<ClientMessage::Move>(&message)) {
        dx = bounded(dx + move->dx);
        dy = bounded(dy + move->dy);
        moved = true;
    } else if (const auto* moveTo = std::get_if<ClientMessage::MoveTo>(&message)) {
        to = *moveTo;
        dx = 0;
        dy = 0;
        moved = false;
    } else if (const auto* scroll = std::get_if<ClientMessage::Scroll>(&message)) {
        scrollX = bounded(scrollX + scroll->dx);
        scrollY = bounded(scrollY + scroll->dy);
        scrolled = true;
    } else {
        return false;
    }
    return true;
}

std::vector<InputBacklog::Item> InputBacklog::PointerRun::messages() const {
    std::vector<Item> messages;
    if (to) {
        messages.emplace_back(ClientMessage{*to});
    }
    if (moved) {
        messages.emplace_back(ClientMessage{ClientMessage::Move{dx, dy}});
    }
    if (scrolled) {
        messages.emplace_back(ClientMessage{ClientMessage::Scroll{scrollX, scrollY}});
    }
    return messages;
}

bool InputBacklog::push(const Item& item) {
    std::lock_guard lock(mutex_);
    const auto* message = std::get_if<ClientMessage>(&item);
    PointerRun* run = entries_.empty() ? nullptr : std::get_if<PointerRun>(&entries_.back());
    if (message != nullptr && run != nullptr && run->add(*message)) {
        // Already waiting: whoever takes the run takes this too.
        return false;
    }
    PointerRun fresh;
    if (message != nullptr && fresh.add(*message)) {
        entries_.emplace_back(fresh);
    } else {
        entries_.emplace_back(item);
    }
    return !std::exchange(taking_, true);
}

std::vector<InputBacklog::Item> InputBacklog::take() {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) {
        taking_ = false;
        return {};
    }
    Entry entry = std::move(entries_.front());
    entries_.pop_front();
    if (auto* run = std::get_if<PointerRun>(&entry)) {
        return run->messages();
    }
    return {std::get<Item>(std::move(entry))};
}

}  // namespace quelm
