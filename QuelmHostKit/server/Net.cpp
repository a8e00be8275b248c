#include "QuelmHostKit/server/Net.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <vector>

#include "QuelmCore/PeerPolicy.hpp"

namespace quelm::Net {

std::optional<std::string> firstTailscaleIPv4(std::span<const InterfaceAddress> entries) {
    for (const auto& entry : entries) {
        if (!entry.hasAddress || entry.family != AF_INET || !entry.up) {
            continue;
        }
        char text[16];
        if (!inet_ntop(AF_INET, &entry.ipv4, text, sizeof text)) {
            continue;
        }
        if (PeerPolicy::isTailscale(text)) {
            return std::string(text);
        }
    }
    return std::nullopt;
}

std::optional<std::string> tailscaleIPv4() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::vector<InterfaceAddress> entries;
    for (const ifaddrs* it = list; it; it = it->ifa_next) {
        InterfaceAddress entry;
        entry.hasAddress = it->ifa_addr != nullptr;
        entry.up = (it->ifa_flags & IFF_UP) != 0;
        entry.family = entry.hasAddress ? it->ifa_addr->sa_family : AF_UNSPEC;
        if (entry.family == AF_INET) {
            entry.ipv4 = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr;
        }
        entries.push_back(entry);
    }
    freeifaddrs(list);
    return firstTailscaleIPv4(entries);
}

}  // namespace quelm::Net
