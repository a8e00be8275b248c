#pragma once

#include <string>

#include "QuelmCore/Bytes.hpp"
#include "QuelmHostKit/server/PeerSendQueue.hpp"

namespace quelm {

// The companion session's view of its connection: whole messages out, each with the traffic
// class that decides what may be dropped under a slow reader, and the end of the connection.
// Implemented by Peer; a recording fake stands in for it in tests.
// Thread: called on the server queue only. Sending after close() does nothing.
class CompanionConnection {
  public:
    virtual ~CompanionConnection() = default;

    virtual void sendText(std::string text, Traffic traffic) = 0;
    virtual void sendBinary(Bytes bytes, Traffic traffic) = 0;
    // Ends the connection with a closing handshake; what was already sent still goes out.
    virtual void close() = 0;
};

}  // namespace quelm
