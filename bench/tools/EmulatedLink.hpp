#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

// A phone's link between two network namespaces of our own, for kernels without netem: each
// namespace gets a tun device, and a relay thread in this process carries the packets between
// them at a fixed rate, after a fixed one-way delay, through a tail-drop buffer. Both ends get
// Tailscale-range addresses, which exist only inside the two namespaces. Root only; everything
// is removed when the link is destroyed.
class EmulatedLink {
  public:
    struct Profile {
        double mbps = 6;
        double rttMs = 40;
        double bufferSeconds = 1.0;
    };

    // Nothing, with the reason in `why`, when the namespaces or devices cannot be made.
    static std::unique_ptr<EmulatedLink> create(const Profile& profile, std::string& why);
    ~EmulatedLink();
    EmulatedLink(const EmulatedLink&) = delete;
    EmulatedLink& operator=(const EmulatedLink&) = delete;

    const std::string& hostNamespace() const { return hostNs_; }
    const std::string& companionNamespace() const { return companionNs_; }
    const std::string& hostAddress() const { return hostAddress_; }
    // Moves the calling thread into a namespace; sockets it makes afterwards stay there.
    static bool enter(const std::string& ns);

    // Packets the buffer refused so far, both ways.
    long dropped() const { return dropped_.load(); }

  private:
    EmulatedLink() = default;
    void relay();

    Profile profile_;
    std::string hostNs_;
    std::string companionNs_;
    std::string hostAddress_;
    int hostTun_ = -1;
    int companionTun_ = -1;
    int stopFd_ = -1;
    std::atomic<long> dropped_{0};
    std::thread relay_;
};
