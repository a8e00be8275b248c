#include "tests/fakes/ServerHarness.hpp"

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace quelm::test {

RemoteServer::Options ServerHarness::fastOptions() {
    RemoteServer::Options options;
    options.port = 0;
    options.helloTimeout = 0.6;
    options.authFailureDelay = 0.2;
    options.addressRefresh = 0.1;
    return options;
}

ServerHarness::ServerHarness() = default;

ServerHarness::~ServerHarness() {
    if (server_) {
        server_->stop();
        server_.reset();
    }
    io_.stop();
    // A report still running on the main queue may hold the server, and the server holds the
    // queue: were that the last hold, the queue would be destroyed on its own thread, which
    // cannot join itself. Waiting for the queue lets the last hold go here.
    mainQueue_->sync([] {});
}

void ServerHarness::start(RemoteServer::Options options,
                          std::shared_ptr<InputHandling> inputHandling) {
    RemoteServer::Collaborators services;
    services.mainQueue = mainQueue_;
    services.token = [this] {
        std::lock_guard lock(mutex_);
        return token_;
    };
    services.screen = screen;
    services.input = inputHandling ? std::move(inputHandling) : input;
    services.hostInfo = [this] {
        std::lock_guard lock(mutex_);
        HostInfo info = hostInfo;
        if (!selected_.empty() && selected_.back() != 0) {
            info.displayID = selected_.back();
        }
        return info;
    };
    services.tailscaleAddress = [this] {
        std::lock_guard lock(mutex_);
        return tailscale_;
    };
    services.cursorPosition = [this] {
        std::lock_guard lock(mutex_);
        return cursor_;
    };
    services.selectDisplay = [this](std::uint32_t display) {
        std::lock_guard lock(mutex_);
        selected_.push_back(display);
    };
    services.uptime = [this] {
        std::lock_guard lock(mutex_);
        return uptime_;
    };
    server_ = RemoteServer::create(io_.context(), options, std::move(services));
    server_->onStatus = [this](RemoteServer::Status status) {
        std::lock_guard lock(mutex_);
        if (auto* connected = std::get_if<RemoteServer::Connected>(&status)) {
            statuses_.push_back("connected " + connected->peer);
        } else {
            statuses_.push_back("waiting");
        }
        changed_.notify_all();
    };
    server_->onClipboardFromPhone = [this](std::string text) {
        std::lock_guard lock(mutex_);
        clipboardTexts_.push_back(std::move(text));
        changed_.notify_all();
    };
    server_->onImageFromPhone = [this](Bytes data, ClipImageFormat format) {
        std::lock_guard lock(mutex_);
        images_.push_back({std::move(data), format});
        changed_.notify_all();
    };
    server_->start();
    std::promise<void> listening;
    server_->setLocalAllowed(true, [&] { listening.set_value(); });
    listening.get_future().wait();
    auto port = server_->localPort("127.0.0.1");
    if (!port) {
        throw std::runtime_error("the server does not listen on 127.0.0.1");
    }
    port_ = *port;
}

std::optional<std::uint16_t> ServerHarness::waitForPort(const std::string& address,
                                                        double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (auto port = server_->localPort(address)) {
            return port;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::unique_ptr<WsTestClient> ServerHarness::connect(WsTestClient::Options options) {
    auto client = std::make_unique<WsTestClient>();
    if (!client->connect("127.0.0.1", port_, std::move(options))) {
        return nullptr;
    }
    return client;
}

std::string ServerHarness::hello(const std::string& token, const std::string& config,
                                 const std::string& extra) {
    return R"({"hello":{"_0":{"token":")" + token + R"(","config":)" + config + extra + "}}}";
}

std::unique_ptr<WsTestClient> ServerHarness::authenticate(const std::string& config) {
    auto client = connect();
    if (!client) {
        return nullptr;
    }
    client->sendText(hello(kToken, config));
    auto answer = client->receiveText();
    if (!answer || answer->rfind(R"({"hello":)", 0) != 0) {
        return nullptr;
    }
    return client;
}

std::vector<std::string> ServerHarness::statuses() const {
    std::lock_guard lock(mutex_);
    return statuses_;
}

bool ServerHarness::waitForStatuses(std::size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return statuses_.size() >= count; });
}

std::vector<std::uint32_t> ServerHarness::selectedDisplays() const {
    std::lock_guard lock(mutex_);
    return selected_;
}

std::vector<std::string> ServerHarness::clipboardTexts() const {
    std::lock_guard lock(mutex_);
    return clipboardTexts_;
}

std::vector<ClipImageData> ServerHarness::images() const {
    std::lock_guard lock(mutex_);
    return images_;
}

bool ServerHarness::waitForClipboardTexts(std::size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return clipboardTexts_.size() >= count; });
}

bool ServerHarness::waitForImages(std::size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return images_.size() >= count; });
}

void ServerHarness::setTailscaleAddress(std::optional<std::string> address) {
    std::lock_guard lock(mutex_);
    tailscale_ = std::move(address);
}

void ServerHarness::setCursor(std::optional<RemoteServer::Point> point) {
    std::lock_guard lock(mutex_);
    cursor_ = point;
}

void ServerHarness::setToken(std::optional<std::string> token) {
    std::lock_guard lock(mutex_);
    token_ = std::move(token);
}

void ServerHarness::setUptime(double seconds) {
    std::lock_guard lock(mutex_);
    uptime_ = seconds;
}

void ServerHarness::drain() {
    // localPort() waits for the queue, which runs everything posted before it.
    server_->localPort("127.0.0.1");
}

}  // namespace quelm::test
