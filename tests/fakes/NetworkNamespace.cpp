#include "tests/fakes/NetworkNamespace.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace quelm::test {

namespace {

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

std::unique_ptr<NetworkNamespace> NetworkNamespace::create(std::string& why) {
    if (::geteuid() != 0) {
        why = "needs root to create a network namespace";
        return nullptr;
    }
    if (!run("ip -V")) {
        why = "needs the ip tool";
        return nullptr;
    }
    const auto pid = ::getpid();
    const auto id = std::to_string(pid % 100000);
    auto space = std::unique_ptr<NetworkNamespace>(new NetworkNamespace);
    if (!run("ip netns add qlmtest" + id)) {
        why = "cannot create a network namespace here";
        return nullptr;
    }
    space->name_ = "qlmtest" + id;
    space->hostLink_ = "qlmh" + id;
    space->companionLink_ = "qlmc" + id;
    // Per process, a companion address in the Tailscale range and a host address outside it:
    // a Tailscale-like address on this machine would show in every host that tests start
    // meanwhile. Each end reaches the other by a host route over the pair.
    const int block = pid % 16384;
    const std::string tail = std::to_string(block / 64) + "." + std::to_string(block % 64 * 4);
    space->hostAddress_ = "10.213." + tail;
    space->companionAddress_ = "100.100." + tail;
    const bool ready =
        run("ip link add " + space->hostLink_ + " type veth peer name " + space->companionLink_) &&
        run("ip link set " + space->companionLink_ + " netns " + space->name_) &&
        run("ip addr add " + space->hostAddress_ + "/32 dev " + space->hostLink_) &&
        run("ip link set " + space->hostLink_ + " up") &&
        run("ip route add " + space->companionAddress_ + "/32 dev " + space->hostLink_) &&
        space->inside("ip addr add " + space->companionAddress_ + "/32 dev " +
                      space->companionLink_) &&
        space->inside("ip link set " + space->companionLink_ + " up") &&
        space->inside("ip route add " + space->hostAddress_ + "/32 dev " + space->companionLink_) &&
        space->inside("ip link set lo up");
    if (!ready) {
        why = "cannot set up the veth pair of " + space->name_;
        return nullptr;  // the destructor deletes what was made
    }
    return space;
}

NetworkNamespace::~NetworkNamespace() {
    // Deleting the namespace deletes the veth pair with it; the second line covers a pair
    // whose end never moved into the namespace.
    run("ip netns del " + name_);
    run("ip link del " + hostLink_);
}

bool NetworkNamespace::inside(const std::string& command) const {
    return run("ip netns exec " + name_ + " " + command);
}

bool NetworkNamespace::pullLinkDown() const {
    return inside("ip link set " + companionLink_ + " down");
}

std::unique_ptr<WsTestClient> NetworkNamespace::connect(std::uint16_t port) const {
    auto client = std::make_unique<WsTestClient>();
    bool connected = false;
    // A thread of its own joins the namespace, so the test's threads stay where they are.
    std::thread([&] {
        const int fd = ::open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const bool joined = ::setns(fd, CLONE_NEWNET) == 0;
        ::close(fd);
        connected = joined && client->connect(hostAddress_, port);
    }).join();
    return connected ? std::move(client) : nullptr;
}

}  // namespace quelm::test
