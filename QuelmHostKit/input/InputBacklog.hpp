#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "QuelmCore/Messages.hpp"

namespace quelm {

// What waits for the input queue, in order of arrival. Pointer messages that wait together
// collapse into where they lead: a run of moves between two other messages becomes its newest
// absolute position followed by the sum of the relative moves after it, and its scrolls become
// one scroll of their summed deltas. Keys, buttons, texts, system actions, layouts and releases
// are kept as they are, and the newest position is never lost, so a busy queue posts fewer
// stale moves instead of dropping the last one.
//
// Memory: a run holds at most three messages, so only non-pointer messages can pile up, and
// those are what the companion typed. Thread-safe.
class InputBacklog final {
  public:
    // Everything held is to be let go (the companion left).
    struct Release {
        friend bool operator==(const Release&, const Release&) = default;
    };
    using Item = std::variant<ClientMessage, Release>;

    // True when nothing was waiting and no take() is under way: the caller schedules one.
    bool push(const Item& item);
    // The oldest entry: one item, or the one to three messages a pointer run became. Empty when
    // nothing waits, and then the next push() asks for a new take().
    std::vector<Item> take();

  private:
    struct PointerRun {
        std::optional<ClientMessage::MoveTo> to;
        // Relative motion after `to` (or after the run's start).
        double dx = 0;
        double dy = 0;
        bool moved = false;
        double scrollX = 0;
        double scrollY = 0;
        bool scrolled = false;

        bool add(const ClientMessage& message);
        std::vector<Item> messages() const;
    };
    using Entry = std::variant<Item, PointerRun>;

    std::mutex mutex_;
    std::deque<Entry> entries_;
    bool taking_ = false;
};

}  // namespace quelm
