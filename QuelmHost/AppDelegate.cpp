#include "QuelmHost/AppDelegate.hpp"

#include "QuelmHost/IdleInputHandling.hpp"
#include "QuelmHost/IdleScreenStreaming.hpp"
#include "QuelmHostKit/linux/random/GetrandomSource.hpp"
#include "QuelmHostKit/linux/secret/SecretStores.hpp"
#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/server/Net.hpp"
#include "QuelmHostKit/streaming/DisplaySelection.hpp"

namespace quelm {

AppDelegate::AppDelegate(CommandLine commandLine, std::shared_ptr<SerialQueue> mainQueue)
    : commandLine_(commandLine),
      mainQueue_(std::move(mainQueue)),
      tokens_([] {
          auto secrets = SecretStores::makeDefault();
          return std::make_shared<TokenStore>(secrets.store, secrets.fallback, getrandomSource());
      }()),
      capture_(std::make_shared<IdleScreenStreaming>()),
      input_(std::make_shared<IdleInputHandling>()) {}

AppDelegate::~AppDelegate() {
    shutdown();
}

void AppDelegate::launch() {
    // The first read fills the cache from the secret store here, on the main thread, so the
    // server's queue never waits on the store.
    tokens_->token();
    if (auto displays = X11DisplayServices::connect()) {
        DisplaySelection::shared().setServices(std::move(displays));
    } else {
        Log::info("no X display: no screen to offer");
    }

    RemoteServer::Options options;
    options.port = commandLine_.port;
    options.helloTimeout = 10;
    options.authFailureDelay = 1;
    options.addressRefresh = 10;

    RemoteServer::Collaborators services;
    services.mainQueue = mainQueue_;
    services.token = [tokens = tokens_] { return tokens->token(); };
    services.screen = capture_;
    services.input = input_;
    services.hostInfo = [this] { return hostInfo(); };
    services.tailscaleAddress = [] { return Net::tailscaleIPv4(); };
    services.cursorPosition = [] { return std::optional<RemoteServer::Point>(); };
    services.selectDisplay = [](std::uint32_t id) { DisplaySelection::shared().select(id); };
    server_ = RemoteServer::create(io_.context(), options, std::move(services));

    frontEnd_ = std::make_unique<HeadlessFrontEnd>([tokens = tokens_] { return tokens->token(); },
                                                   [] { return Net::tailscaleIPv4(); });
    server_->onStatus = [this](RemoteServer::Status status) { frontEnd_->statusChanged(status); };
    server_->onListening = [this](std::string address, std::uint16_t port) {
        frontEnd_->listening(address, port);
    };
    frontEnd_->begin();
    server_->start();
    if (commandLine_.allowLocal) {
        server_->setLocalAllowed(true);
    }
}

void AppDelegate::shutdown() {
    if (server_) {
        server_->stop();
        server_.reset();
    }
    io_.stop();
}

HostInfo AppDelegate::hostInfo() const {
    auto& selection = DisplaySelection::shared();
    HostInfo info;
    auto display = selection.currentDisplay();
    if (display) {
        info.displayWidth = display->bounds.width;
        info.displayHeight = display->bounds.height;
    }
    // Input is not injected yet, and the keyboard type is not detected yet.
    info.accessibilityTrusted = false;
    info.keyboard = KeyboardLayoutKind::us;
    info.displays = selection.list();
    info.displayID = display ? display->id : 0;
    return info;
}

}  // namespace quelm
