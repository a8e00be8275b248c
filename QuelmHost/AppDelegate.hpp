#pragma once

#include <functional>
#include <memory>

#include "QuelmHost/CommandLine.hpp"
#include "QuelmHost/HeadlessFrontEnd.hpp"
#include "QuelmHost/StatusMenu.hpp"
#include "QuelmHost/TrayFrontEnd.hpp"
#include "QuelmHostKit/clipboard/ClipboardBridge.hpp"
#include "QuelmHostKit/platform/HostEnvironment.hpp"
#include "QuelmHostKit/platform/SessionLock.hpp"
#include "QuelmHostKit/queues/IoThread.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"
#include "QuelmHostKit/server/TokenStore.hpp"
#include "QuelmHostKit/streaming/DisplaySelection.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"
#include "QuelmHostKit/streaming/ScreenCapture.hpp"

namespace quelm {

// Builds the host's object graph on the platform's services, starts the server and connects it
// to the front end.
//
// The server only reads memory to answer a companion: the host hello comes from the display
// list the environment keeps current, the pointer reports from its cursor monitor.
//
// Shutdown, in this order:
// 1. the server: listeners and timers end and every companion's connection is closed, so a
//    companion sees its connection end;
// 2. capture and input: the stream stops (the capture's start-up queue is waited for, so the
//    stream is gone) and held keys and buttons are released;
// 3. the network thread is drained: it runs until the closing handshakes are done, at most
//    about 2 seconds, and is then stopped;
// 4. the platform's threads (the X event pump).
// Thread: main thread only; the main loop must run for status reports to arrive.
class AppDelegate final {
  public:
    AppDelegate(CommandLine commandLine, std::shared_ptr<SerialQueue> mainQueue,
                std::shared_ptr<HostEnvironment> environment);
    ~AppDelegate();

    // Starts serving; false (and nothing started) when the environment cannot serve a
    // companion, with the reason in environment().unavailableReason().
    bool launch();
    // See the class comment; idempotent.
    void shutdown();

    // The secret in the user's store (the keyring, else a private file).
    static std::shared_ptr<TokenStore> makeTokenStore();

    // The user chose to quit from the tray.
    std::function<void()> onQuit;
    // The host's command as started, for the line that says how to get the connection URL.
    std::string program = "quelmix-host";
    // Where the QR window puts its rectangle while shown; the capture blacks it out.
    std::shared_ptr<NeverCaptureRegistry> neverCapture = std::make_shared<NeverCaptureRegistry>();

  private:
    // The status menu's rules, and the tray unless headless (AppDelegateDesktop.cpp).
    void buildMenu();
    // The pasteboard bridge both ways, the lock state and keep-awake, once the server runs.
    void wireDesktop();

    CommandLine commandLine_;
    std::shared_ptr<SerialQueue> mainQueue_;
    std::shared_ptr<HostEnvironment> environment_;
    std::shared_ptr<DisplaySelection> selection_;
    std::shared_ptr<TokenStore> tokens_;
    // Declared before input_ so that it outlives the injector that runs on it.
    std::shared_ptr<SerialQueue> inputQueue_;
    // The capture's queues outlive it; "quelmix.capture.start" may block on the X server.
    std::shared_ptr<SerialQueue> captureStartQueue_;
    std::shared_ptr<SerialQueue> audioQueue_;
    std::shared_ptr<SerialQueue> videoQueue_;
    std::shared_ptr<ScreenCapture> capture_;
    std::shared_ptr<InputHandling> input_;
    IoThread io_{"quelmix.server"};
    std::shared_ptr<RemoteServer> server_;
    std::unique_ptr<HeadlessFrontEnd> frontEnd_;
    std::shared_ptr<SerialQueue> imageQueue_;
    std::shared_ptr<ClipboardBridge> clipboard_;
    std::shared_ptr<StatusMenu> menu_;
    std::shared_ptr<SessionLock> lock_;
    std::unique_ptr<TrayFrontEnd> tray_;
};

}  // namespace quelm
