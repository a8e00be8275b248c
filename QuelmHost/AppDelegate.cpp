#include "QuelmHost/AppDelegate.hpp"

#include "QuelmHost/IdleInputHandling.hpp"
#include "QuelmHostKit/codecs/AudioEncoder.hpp"
#include "QuelmHostKit/codecs/VideoEncoder.hpp"
#include "QuelmHostKit/linux/pulse/PulseAudioSource.hpp"
#include "QuelmHostKit/linux/random/GetrandomSource.hpp"
#include "QuelmHostKit/linux/secret/SecretStores.hpp"
#include "QuelmHostKit/linux/x11/X11CaptureService.hpp"
#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "QuelmHostKit/server/Net.hpp"
#include "QuelmHostKit/streaming/DisplaySelection.hpp"
#include "QuelmHostKit/streaming/ScreenCapture.hpp"

namespace quelm {

AppDelegate::AppDelegate(CommandLine commandLine, std::shared_ptr<SerialQueue> mainQueue)
    : commandLine_(commandLine),
      mainQueue_(std::move(mainQueue)),
      tokens_(std::make_shared<TokenStore>(SecretStores::makeDefault(), getrandomSource())),
      captureStartQueue_(std::make_shared<ThreadQueue>("quelmix.capture.start")),
      audioQueue_(std::make_shared<ThreadQueue>("quelmix.audio")),
      videoQueue_(std::make_shared<ThreadQueue>("quelmix.video")),
      input_(std::make_shared<IdleInputHandling>()) {}

AppDelegate::~AppDelegate() {
    shutdown();
}

void AppDelegate::launch() {
    // The first read fills the cache from the secret store here, on the main thread, so the
    // server's queue never waits on the store.
    tokens_->token();
    auto displays = X11DisplayServices::connect();
    if (displays) {
        DisplaySelection::shared().setServices(displays);
    } else {
        Log::info("no X display: no screen to offer");
    }
    X11CaptureService::Options captureOptions;
    captureOptions.displays = displays;
    captureOptions.neverCapture = neverCapture_;
    captureOptions.onPointer = [pointer = pointer_](int x, int y, int width, int height) {
        pointer->set(x, y, width, height);
    };
    // Started only while a companion asks for sound; without a sound server that is logged
    // and video goes on.
    captureOptions.audio = std::make_shared<PulseAudioSource>();
    ScreenCapture::Collaborators streaming;
    streaming.service = std::make_shared<X11CaptureService>(std::move(captureOptions));
    streaming.startup = captureStartQueue_;
    streaming.audio = audioQueue_;
    streaming.video = videoQueue_;
    streaming.makeVideoEncoder = VideoEncoder::factory();
    streaming.makeAudioEncoder = AudioEncoder::factory();
    capture_ = ScreenCapture::make(std::move(streaming));

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
    // The pointer as the capture last saw it: the reports never wait on the X server.
    services.cursorPosition = [pointer = pointer_]() -> std::optional<RemoteServer::Point> {
        if (auto fraction = pointer->get()) {
            return RemoteServer::Point{fraction->x, fraction->y};
        }
        return std::nullopt;
    };
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
    if (capture_) {
        // Stopping queues the stream's end on the start-up queue; waiting for it there means
        // nothing holds the capture any more when it is released here, on the main thread.
        capture_->stop();
        captureStartQueue_->sync([] {});
        capture_.reset();
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
