#pragma once

#include <memory>

#include "QuelmHost/CommandLine.hpp"
#include "QuelmHost/HeadlessFrontEnd.hpp"
#include "QuelmHostKit/queues/IoThread.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"
#include "QuelmHostKit/server/TokenStore.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"
#include "QuelmHostKit/streaming/PointerPosition.hpp"

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

  private:
    HostInfo hostInfo() const;

    CommandLine commandLine_;
    std::shared_ptr<SerialQueue> mainQueue_;
    std::shared_ptr<TokenStore> tokens_;
    // The capture's queues outlive it; "quelmix.capture.start" may block on the X server.
    std::shared_ptr<SerialQueue> captureStartQueue_;
    std::shared_ptr<SerialQueue> audioQueue_;
    std::shared_ptr<SerialQueue> videoQueue_;
    std::shared_ptr<NeverCaptureRegistry> neverCapture_ = std::make_shared<NeverCaptureRegistry>();
    std::shared_ptr<PointerPosition> pointer_ = std::make_shared<PointerPosition>();
    std::shared_ptr<ScreenStreaming> capture_;
    std::shared_ptr<InputHandling> input_;
    IoThread io_{"quelmix.server"};
    std::shared_ptr<RemoteServer> server_;
    std::unique_ptr<HeadlessFrontEnd> frontEnd_;
};

}  // namespace quelm
