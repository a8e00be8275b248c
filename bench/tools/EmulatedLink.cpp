#include "bench/tools/EmulatedLink.hpp"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

int openTun(const std::string& name) {
    const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &request) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One direction of the link: packets wait for the wire (rate), then travel (delay).
struct Direction {
    struct Packet {
        std::vector<char> data;
        double due = 0;
    };
    int from = -1;
    int to = -1;
    double wireFreeAt = 0;
    std::deque<Packet> inFlight;
};

}  // namespace

std::unique_ptr<EmulatedLink> EmulatedLink::create(const Profile& profile, std::string& why) {
    if (geteuid() != 0) {
        why = "needs root (network namespaces and tun devices)";
        return nullptr;
    }
    auto link = std::unique_ptr<EmulatedLink>(new EmulatedLink());
    link->profile_ = profile;
    const std::string id = std::to_string(getpid() % 10000);
    const std::string octet = std::to_string(getpid() % 200 + 20);
    link->hostNs_ = "qlhost" + id;
    link->companionNs_ = "qlcomp" + id;
    link->hostAddress_ = "100.101." + octet + ".1";
    const std::string companionAddress = "100.101." + octet + ".2";
    const std::string hostDev = "qlh" + id;
    const std::string companionDev = "qlc" + id;
    link->hostTun_ = openTun(hostDev);
    link->companionTun_ = openTun(companionDev);
    link->stopFd_ = eventfd(0, EFD_CLOEXEC);
    auto inside = [](const std::string& ns, const std::string& command) {
        return run("ip netns exec " + ns + " " + command);
    };
    const bool made = link->hostTun_ >= 0 && link->companionTun_ >= 0 && link->stopFd_ >= 0 &&
                      run("ip netns add " + link->hostNs_) &&
                      run("ip netns add " + link->companionNs_) &&
                      run("ip link set " + hostDev + " netns " + link->hostNs_) &&
                      run("ip link set " + companionDev + " netns " + link->companionNs_) &&
                      inside(link->hostNs_, "ip link set lo up") &&
                      inside(link->companionNs_, "ip link set lo up") &&
                      inside(link->hostNs_, "ip addr add " + link->hostAddress_ + " peer " +
                                                companionAddress + " dev " + hostDev) &&
                      inside(link->companionNs_, "ip addr add " + companionAddress + " peer " +
                                                     link->hostAddress_ + " dev " + companionDev) &&
                      inside(link->hostNs_, "ip link set " + hostDev + " up") &&
                      inside(link->companionNs_, "ip link set " + companionDev + " up");
    if (!made) {
        why = "could not set up the namespaces and tun devices";
        return nullptr;  // the destructor removes what was made
    }
    link->relay_ = std::thread([raw = link.get()] { raw->relay(); });
    return link;
}

EmulatedLink::~EmulatedLink() {
    if (relay_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = write(stopFd_, &one, sizeof one);
        relay_.join();
    }
    for (int fd : {hostTun_, companionTun_, stopFd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    // Closing the tun devices removes them; the namespaces go by name.
    if (!hostNs_.empty()) {
        run("ip netns del " + hostNs_);
        run("ip netns del " + companionNs_);
    }
}

bool EmulatedLink::enter(const std::string& ns) {
    const int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool entered = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return entered;
}

void EmulatedLink::relay() {
    const double bytesPerSecond = profile_.mbps * 1e6 / 8;
    const double delay = profile_.rttMs / 2000.0;
    Direction directions[2];
    directions[0].from = hostTun_;
    directions[0].to = companionTun_;
    directions[1].from = companionTun_;
    directions[1].to = hostTun_;
    std::vector<char> packet(65536);
    for (;;) {
        double wake = 1.0;
        const double t = now();
        for (auto& d : directions) {
            while (!d.inFlight.empty() && d.inFlight.front().due <= t) {
                [[maybe_unused]] auto written =
                    write(d.to, d.inFlight.front().data.data(), d.inFlight.front().data.size());
                d.inFlight.pop_front();
            }
            if (!d.inFlight.empty()) {
                wake = std::min(wake, d.inFlight.front().due - t);
            }
        }
        pollfd fds[3] = {{hostTun_, POLLIN, 0}, {companionTun_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        const int timeout = static_cast<int>(std::ceil(std::max(0.0, wake) * 1000));
        if (poll(fds, 3, timeout) < 0) {
            continue;
        }
        if (fds[2].revents & POLLIN) {
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN)) {
                continue;
            }
            auto& d = directions[i];
            for (;;) {
                const auto size = read(d.from, packet.data(), packet.size());
                if (size <= 0) {
                    break;
                }
                const double arrived = now();
                // Tail drop: the wire is already booked beyond the buffer's length.
                if (d.wireFreeAt - arrived > profile_.bufferSeconds) {
                    ++dropped_;
                    continue;
                }
                const double start = std::max(arrived, d.wireFreeAt);
                d.wireFreeAt = start + static_cast<double>(size) / bytesPerSecond;
                d.inFlight.push_back({std::vector<char>(packet.begin(), packet.begin() + size),
                                      d.wireFreeAt + delay});
            }
        }
    }
}
