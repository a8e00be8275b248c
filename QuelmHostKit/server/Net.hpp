#pragma once

#include <netinet/in.h>

#include <optional>
#include <span>
#include <string>

namespace quelm::Net {

// One entry of the interface address list, reduced to what the lookup needs.
struct InterfaceAddress {
    bool hasAddress = false;
    bool up = false;
    int family = AF_UNSPEC;
    in_addr ipv4{};  // meaningful when family is AF_INET
};

// The first address, in list order, of an up interface that is IPv4 and in the Tailscale
// range, as dotted text. Interface names are not looked at.
std::optional<std::string> firstTailscaleIPv4(std::span<const InterfaceAddress> entries);

// This machine's Tailscale IPv4 address, or empty. Walks the interfaces on every call.
std::optional<std::string> tailscaleIPv4();

}  // namespace quelm::Net
