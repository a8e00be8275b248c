#pragma once

#include <cstddef>
#include <deque>
#include <optional>

namespace quelm {

// Learns how long the companion takes to acknowledge a frame once it is handed to the server
// (the frame's time on the link, the round trip, the companion's decoding), so that the next
// frame can be encoded while the frame gate is still full and go out the moment it opens.
// Acknowledgements name no frame: each one answers the oldest frame outstanding.
// A plain value: the owner serialises access.
class AckForecast {
  public:
    // Weight of the newest round trip in the running estimate.
    static constexpr double weight = 0.25;
    // More frames outstanding than this are not tracked (a companion that stopped answering).
    static constexpr std::size_t maxOutstanding = 8;

    void sent(double now);
    void acknowledged(double now);
    // Forgets the outstanding frames (the gate gave up on them); what was learned stays.
    void forgetOutstanding() { outstanding_.clear(); }

    // When the oldest outstanding frame should be acknowledged; none before the first
    // acknowledgement or while nothing is outstanding.
    std::optional<double> nextAcknowledgement() const;
    std::optional<double> roundTrip() const;

  private:
    std::deque<double> outstanding_;
    double roundTrip_ = 0;
    bool learned_ = false;
};

}  // namespace quelm
