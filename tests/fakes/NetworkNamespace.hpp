#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/fakes/WsTestClient.hpp"

namespace quelm::test {

// A network namespace of the test's own, joined to the test's namespace by a veth pair on
// Tailscale-range addresses picked by process id, so that tests running at once do not meet: a
// companion connecting from inside is a phone on another network, and pulling its link down is that
// phone losing its network without a word. Root only. Deleted, with its veth pair, when released.
class NetworkNamespace {
  public:
    // Nothing, with the reason in `why`, when not root, without the ip tool, or when the
    // kernel refuses.
    static std::unique_ptr<NetworkNamespace> create(std::string& why);
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    // The test's end of the link, and the companion's.
    const std::string& hostAddress() const { return hostAddress_; }
    const std::string& companionAddress() const { return companionAddress_; }

    // A WebSocket client connected from inside to hostAddress(): a socket keeps the namespace
    // it was created in. Nothing when the connection fails.
    std::unique_ptr<WsTestClient> connect(std::uint16_t port) const;
    // Takes the companion's end of the link down; the host's end stays up and silent.
    bool pullLinkDown() const;

  private:
    NetworkNamespace() = default;
    bool inside(const std::string& command) const;

    std::string name_;
    std::string hostLink_;
    std::string companionLink_;
    std::string hostAddress_;
    std::string companionAddress_;
};

}  // namespace quelm::test
