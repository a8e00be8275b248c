#pragma once

#include <cstdint>
#include <optional>
#include <variant>

namespace quelm {

// Decides, packet by packet, at which sample time received audio is to start playing, or that
// it is to be dropped. Keeps a cushion of buffered audio ahead of the playing position, widens
// it after every underrun, narrows it after a long calm stretch and drops packets when too much
// audio has piled up. All times and lengths are sample frames of the output rate, the player's
// sample-time clock.
class JitterSchedule {
  public:
    struct Play {
        std::int64_t at = 0;
        friend bool operator==(const Play&, const Play&) = default;
    };
    struct Drop {
        friend bool operator==(const Drop&, const Drop&) = default;
    };
    using Decision = std::variant<Play, Drop>;

    // sampleRate in frames per second; maxDelay is the largest cushion in seconds.
    JitterSchedule(double sampleRate, double maxDelay);

    Decision place(std::int64_t frames, std::int64_t now);
    // Forgets the schedule; the cushion and the counters stay.
    void reset();

    std::int64_t cushion() const { return cushion_; }
    int dropouts() const { return dropouts_; }
    int dropped() const { return dropped_; }
    // Audio scheduled beyond `now` after the last decision.
    std::int64_t ahead() const { return ahead_; }

    std::int64_t minCushion() const { return minCushion_; }
    std::int64_t maxCushion() const { return maxCushion_; }
    // Growth per underrun; half of it is the shrink step.
    std::int64_t step() const { return step_; }
    // Backlog tolerated above the cushion.
    std::int64_t slack() const { return slack_; }
    // Trouble-free time before the cushion shrinks.
    std::int64_t calm() const { return calm_; }

  private:
    Play anchor(std::int64_t frames, std::int64_t now);

    std::int64_t minCushion_;
    std::int64_t maxCushion_;
    std::int64_t step_;
    std::int64_t slack_;
    std::int64_t calm_;

    std::int64_t cushion_;
    int dropouts_ = 0;
    int dropped_ = 0;
    std::int64_t ahead_ = 0;
    std::optional<std::int64_t> next_;
    std::int64_t lastTrouble_ = 0;
};

}  // namespace quelm
