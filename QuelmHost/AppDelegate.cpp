#include "QuelmHost/AppDelegate.hpp"

#include <unistd.h>

#include "QuelmHost/IdleInputHandling.hpp"
#include "QuelmHostKit/codecs/AudioEncoder.hpp"
#include "QuelmHostKit/codecs/VideoEncoder.hpp"
#include "QuelmHostKit/input/InputInjector.hpp"
#include "QuelmHostKit/linux/random/GetrandomSource.hpp"
#include "QuelmHostKit/linux/secret/SecretStores.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "QuelmHostKit/server/Net.hpp"

namespace quelm {

namespace {

// How long the network thread may take to finish the closing handshakes.
constexpr double kDrainSeconds = 2.0;

}  // namespace

AppDelegate::AppDelegate(CommandLine commandLine, std::shared_ptr<SerialQueue> mainQueue,
                         std::shared_ptr<HostEnvironment> environment)
    : commandLine_(commandLine),
      mainQueue_(std::move(mainQueue)),
      environment_(std::move(environment)),
      selection_(std::make_shared<DisplaySelection>(environment_->displayServices())),
      tokens_(makeTokenStore()),
      captureStartQueue_(std::make_shared<ThreadQueue>("quelmix.capture.start")),
      audioQueue_(std::make_shared<ThreadQueue>("quelmix.audio")),
      videoQueue_(std::make_shared<ThreadQueue>("quelmix.video")) {
    if (auto poster = environment_->eventPoster()) {
        inputQueue_ = std::make_shared<ThreadQueue>("quelmix.input");
        input_ = InputInjector::create(inputQueue_, std::move(poster), selection_);
    } else {
        input_ = std::make_shared<IdleInputHandling>();
    }
}

AppDelegate::~AppDelegate() {
    shutdown();
}

std::shared_ptr<TokenStore> AppDelegate::makeTokenStore() {
    auto secrets = SecretStores::makeDefault();
    return std::make_shared<TokenStore>(secrets.store, secrets.fallback, getrandomSource());
}

bool AppDelegate::launch() {
    if (const std::string reason = environment_->unavailableReason(); !reason.empty()) {
        Log::info(reason);
        return false;
    }
    // The first read fills the cache from the secret store here, on the main thread, so the
    // server's queue never waits on the store.
    tokens_->token();

    ScreenCapture::Collaborators streaming;
    streaming.service = environment_->captureService();
    streaming.startup = captureStartQueue_;
    streaming.audio = audioQueue_;
    streaming.video = videoQueue_;
    streaming.makeVideoEncoder = VideoEncoder::factory();
    streaming.makeAudioEncoder = AudioEncoder::factory();
    streaming.currentDisplay = [selection = selection_] { return selection->current(); };
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
    services.hostInfo = [selection = selection_, poster = environment_->eventPoster()] {
        HostInfo info;
        selection->describe(info);
        // Synthetic input works wherever there is a poster (XTest on X11).
        info.accessibilityTrusted = poster != nullptr;
        info.keyboard = poster ? InputInjector::physicalKeyboard(*poster) : KeyboardLayoutKind::us;
        return info;
    };
    services.tailscaleAddress = [] { return Net::tailscaleIPv4(); };
    services.cursorPosition =
        [selection = selection_,
         cursor = environment_->cursorMonitor()]() -> std::optional<RemoteServer::Point> {
        const auto position = cursor ? cursor->pointerPosition() : std::nullopt;
        const auto fraction = position ? selection->fractionOf(*position) : std::nullopt;
        if (!fraction) {
            return std::nullopt;
        }
        return RemoteServer::Point{fraction->x, fraction->y};
    };
    services.selectDisplay = [selection = selection_](std::uint32_t id) { selection->select(id); };
    server_ = RemoteServer::create(io_.context(), options, std::move(services));

    // Only a terminal in headless mode shows the URL: the tray's output, like any file or pipe,
    // may end up in the session's journal where other programs of the user can read it.
    const bool terminal = isatty(fileno(stdout)) == 1;
    frontEnd_ = std::make_unique<HeadlessFrontEnd>(
        [tokens = tokens_] { return tokens->token(); }, [] { return Net::tailscaleIPv4(); },
        commandLine_.headless && terminal ? HeadlessFrontEnd::UrlOutput::full
                                          : HeadlessFrontEnd::UrlOutput::hint,
        program, stdout);
    buildMenu();
    // Status reports run on the main queue, where this delegate lives until shutdown() (which
    // stops the server first) has returned.
    server_->onStatus = [this](RemoteServer::Status status) {
        frontEnd_->statusChanged(status);
        menu_->statusChanged(status);
    };
    server_->onListening = [this](std::string address, std::uint16_t port) {
        frontEnd_->listening(address, port);
    };
    frontEnd_->begin();
    server_->start();
    if (commandLine_.allowLocal) {
        server_->setLocalAllowed(true);
    }
    wireDesktop();
    return true;
}

void AppDelegate::shutdown() {
    tray_.reset();
    if (clipboard_) {
        clipboard_->stop();
    }
    if (server_) {
        server_->stop();
        server_.reset();
    }
    if (capture_) {
        // Stopping queues the stream's end on the start-up queue; once that ran, nothing holds
        // the capture any more and it is released here, on the main thread.
        capture_->stop();
        captureStartQueue_->sync([] {});
        capture_.reset();
    }
    if (input_) {
        input_->releaseAll();
    }
    if (inputQueue_) {
        // The releases run before the poster's connection goes; the input queue never waits
        // on the main queue, so this wait ends.
        inputQueue_->sync([] {});
    }
    if (!io_.drain(kDrainSeconds)) {
        Log::info("shutdown: connections still closing after 2 s were dropped");
    }
    environment_->shutdown();
    // After the server: the held inhibitors are given back as the menu goes.
    clipboard_.reset();
    lock_.reset();
    menu_.reset();
}

}  // namespace quelm
