#pragma once

#include <functional>
#include <memory>

#include "QuelmHost/CommandLine.hpp"
#include "QuelmHost/HeadlessFrontEnd.hpp"
#include "QuelmHost/StatusMenu.hpp"
#include "QuelmHost/TrayFrontEnd.hpp"
#include "QuelmHostKit/clipboard/ClipboardBridge.hpp"
#include "QuelmHostKit/platform/SessionLock.hpp"
#include "QuelmHostKit/queues/IoThread.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"
#include "QuelmHostKit/server/TokenStore.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

// Builds the host's object graph, starts the server and connects it to the front end.
// Thread: main thread only; the main loop must run for status reports to arrive.
class AppDelegate final {
  public:
    AppDelegate(CommandLine commandLine, std::shared_ptr<SerialQueue> mainQueue);
    ~AppDelegate();

    void launch();
    // Closes every connection and stops the network thread.
    void shutdown();

    // The user chose to quit from the tray.
    std::function<void()> onQuit;

  private:
    HostInfo hostInfo() const;
    // The status menu's rules, and the tray unless headless (AppDelegateDesktop.cpp).
    void buildMenu();
    // The pasteboard bridge both ways, the lock state and keep-awake, once the server runs.
    void wireDesktop();

    CommandLine commandLine_;
    std::shared_ptr<SerialQueue> mainQueue_;
    std::shared_ptr<TokenStore> tokens_;
    // The capture's queues outlive it; "quelmix.capture.start" may block on the X server.
    std::shared_ptr<SerialQueue> captureStartQueue_;
    std::shared_ptr<SerialQueue> audioQueue_;
    std::shared_ptr<SerialQueue> videoQueue_;
    std::shared_ptr<NeverCaptureRegistry> neverCapture_ = std::make_shared<NeverCaptureRegistry>();
    std::shared_ptr<ScreenStreaming> capture_;
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
