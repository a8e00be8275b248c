#pragma once

#include <optional>
#include <string_view>

namespace quelm::PeerPolicy {

// The text is a strict dotted IPv4 address in 100.64.0.0/10, the Tailscale range.
bool isTailscale(std::string_view address);

// May a peer with this address text connect? Loopback and the host's own address count as
// local and follow `allowLocal`; everyone else must be a Tailscale address.
bool isAllowed(std::string_view host, std::optional<std::string_view> ownAddress, bool allowLocal);

// Equality of two secrets without an early exit on the first differing byte; only the lengths
// may be compared openly.
bool constantTimeEqual(std::string_view a, std::string_view b);

}  // namespace quelm::PeerPolicy
