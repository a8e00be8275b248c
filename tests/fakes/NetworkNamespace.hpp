#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/fakes/WsTestClient.hpp"

namespace quelm::test {

// A network namespace of the test's own, joined to the test's namespace by a veth pair on
// Tailscale-range addresses: a companion connecting from inside is a phone on another network,
// and pulling its link down is that phone losing its network without a word. Root only.
// Deleted, with its veth pair, when released.
class NetworkNamespace {
  public:
    static constexpr const char* kHostAddress = "100.100.77.1";
    static constexpr const char* kCompanionAddress = "100.100.77.2";

    // Nothing, with the reason in `why`, when not root, without the ip tool, or when the
    // kernel refuses.
    static std::unique_ptr<NetworkNamespace> create(std::string& why);
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    // A WebSocket client connected from inside to kHostAddress: a socket keeps the namespace
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
};

}  // namespace quelm::test
