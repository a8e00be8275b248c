#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "QuelmHostKit/server/CompanionConnection.hpp"

namespace quelm::test {

// Records what a companion session sends, in order, with its traffic class, and whether it
// closed the connection; sending after close() records nothing, as with a real peer.
// Thread-safe.
class RecordingCompanionConnection final : public CompanionConnection {
  public:
    struct Sent {
        bool text = false;
        Bytes data;
        Traffic traffic = Traffic::control;
    };

    void sendText(std::string text, Traffic traffic) override;
    void sendBinary(Bytes bytes, Traffic traffic) override;
    void close() override;

    std::vector<Sent> sent() const;
    // The text messages, in order.
    std::vector<std::string> texts() const;
    // The binary messages of one traffic class, in order.
    std::vector<Bytes> binaries(Traffic traffic) const;
    bool closed() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<Sent> sent_;
    bool closed_ = false;
};

}  // namespace quelm::test
