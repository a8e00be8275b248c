#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QuelmHostKit/linux/wayland/mutter/MutterDisplayConfig.hpp"
#include "QuelmHostKit/platform/DisplayServices.hpp"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GVariant GVariant;

namespace quelm {

// The host's session with mutter over the session bus: one RemoteDesktop session (input and
// clipboard) with a ScreenCast session tied to it that records every monitor, the pointer sent
// as metadata. Each monitor's recording is a PipeWire node that capture streams connect to, and
// the stream that pointer motion is placed on.
//
// While mutter is away (its name has no owner, or the bus is gone) there is no session: input
// calls fail, the display list keeps its last answer. When mutter is back the session is set up
// again. A monitor change sets the session up anew too (new recordings).
//
// Thread: D-Bus work runs on a thread of its own ("quelmix.mutter") with its own main context;
// the accessors are thread-safe and never wait for mutter, except waitForStream().
class MutterDesktop final {
  public:
    static constexpr double retryInterval = 1.0;
    static constexpr int callTimeoutMs = 5000;

    struct Monitor {
        std::uint32_t id = 0;
        MutterMonitor monitor;
        // The ScreenCast stream's object path and its PipeWire node, once announced.
        std::string streamPath;
        std::optional<std::uint32_t> nodeId;
    };

    // Whether mutter's remote desktop interfaces answer on the session bus ($DBUS_SESSION_BUS_
    // ADDRESS). Blocks for at most a short time-out.
    static bool present();

    MutterDesktop();
    ~MutterDesktop();
    MutterDesktop(const MutterDesktop&) = delete;
    MutterDesktop& operator=(const MutterDesktop&) = delete;

    // Starts the thread, which sets up the first session; handlers are set before.
    void start();
    // Ends the session and the thread.
    void stop();

    // The monitors of the current session, or the last ones known.
    std::vector<Monitor> monitors() const;
    // Waits up to `timeout` seconds for a running session whose recording of the display has a
    // PipeWire node.
    std::optional<Monitor> waitForStream(std::uint32_t displayId, double timeout);
    // Whether a session runs now.
    bool active() const;

    // Calls a method of the RemoteDesktop session without waiting for the answer; calls made
    // from one thread reach mutter in order. Takes `parameters` (floating). False without a
    // session.
    bool notify(const char* method, GVariant* parameters);
    // Calls a method of the RemoteDesktop session and waits for its answer (a new reference,
    // or null on failure); `fds` receives the file descriptors that came with it.
    GVariant* callSession(const char* method, GVariant* parameters, int* fd = nullptr);
    // Calls a method of the RemoteDesktop session; `done` gets the reply (null on failure) and
    // the file descriptor that came with it (-1 for none; the receiver closes it). Runs on the
    // calling thread's default main context, later.
    void callSessionAsync(const char* method, GVariant* parameters,
                          std::function<void(GVariant* reply, int fd)> done);
    // Adds a listener to the signals of the RemoteDesktop session; runs on the mutter thread,
    // for every session to come. Added before start().
    void onSessionSignal(std::function<void(const std::string& signal, GVariant* parameters)> fn);
    // Adds what runs on the mutter thread after each session start (true) and end (false);
    // added before start().
    void onSessionChange(std::function<void(bool started)> fn);

  private:
    // A reference to the bus and the session's path while a session runs; otherwise null, and
    // `parameters` are released.
    GDBusConnection* sessionBus(GVariant* parameters, std::string& path);
    void run();
    void connectBus();
    void establish();
    void teardown(bool tellMutter);
    void scheduleRetry();
    void changed(bool started);
    static void onNameAppeared(GDBusConnection*, const char*, const char*, void* self);
    static void onNameVanished(GDBusConnection*, const char*, void* self);
    static void onSignal(GDBusConnection*, const char*, const char* path, const char* interface,
                         const char* signal, GVariant* parameters, void* self);
    static void onBusClosed(GDBusConnection*, int, void*, void* self);

    MutterDisplayIds ids_;
    std::thread thread_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;

    // Mutter thread only.
    std::vector<unsigned> subscriptions_;
    unsigned nameWatch_ = 0;
    unsigned retrySource_ = 0;
    bool present_ = false;
    std::vector<std::function<void(const std::string&, GVariant*)>> signalHandlers_;
    std::vector<std::function<void(bool)>> changeHandlers_;

    mutable std::mutex mutex_;
    std::condition_variable streamsChanged_;
    GDBusConnection* bus_ = nullptr;
    std::string sessionPath_;
    std::string screenCastPath_;
    bool active_ = false;
    bool stopping_ = false;
    std::vector<Monitor> monitors_;
};

}  // namespace quelm
