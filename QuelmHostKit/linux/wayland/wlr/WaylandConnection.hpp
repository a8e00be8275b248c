#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_shm;
struct zxdg_output_manager_v1;
struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwlr_data_control_manager_v1;

namespace quelm {

class WlrOutputs;

// One client connection to a wlroots compositor and the thread that reads its events
// ("quelmix.wayland"). Every protocol object of the host lives on that thread: other threads
// hand it work with post() or call(), so no request races an event handler.
//
// When the compositor goes away (socket closed, protocol error) the thread stops reading,
// runs the lost listeners once and goes on running posted work, which then finds isLost()
// true. The connection is closed by stop() or the destructor, never from its own thread.
class WaylandConnection : public std::enable_shared_from_this<WaylandConnection> {
  public:
    // The compositor's global objects this host uses; null where it offers none.
    struct Globals {
        wl_seat* seat = nullptr;
        wl_shm* shm = nullptr;
        zxdg_output_manager_v1* xdgOutputs = nullptr;
        zwlr_screencopy_manager_v1* screencopy = nullptr;
        std::uint32_t screencopyVersion = 0;
        zwlr_virtual_pointer_manager_v1* virtualPointer = nullptr;
        zwp_virtual_keyboard_manager_v1* virtualKeyboard = nullptr;
        zwlr_data_control_manager_v1* dataControl = nullptr;
    };

    // Connects to `name` ($WAYLAND_DISPLAY when empty) and learns its globals and outputs;
    // nothing when there is no compositor there.
    static std::shared_ptr<WaylandConnection> connect(const std::string& name = "");
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    // Runs `task` on the event thread; false (and dropped) once stopped.
    bool post(std::function<void()> task);
    // Runs `task` on the event thread and waits for its result; never call it from there.
    template <class Result>
    std::optional<Result> call(std::function<Result()> task) {
        auto promise = std::make_shared<std::promise<Result>>();
        auto future = promise->get_future();
        if (!post([promise, task = std::move(task)] { promise->set_value(task()); })) {
            return std::nullopt;
        }
        try {
            return future.get();
        } catch (const std::future_error&) {
            return std::nullopt;  // stopped before the task ran
        }
    }
    bool onEventThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Runs `listener` on the event thread when the compositor is lost; returns a key for
    // removeLostListener. A listener added after the loss is not run.
    std::uint64_t addLostListener(std::function<void()> listener);
    void removeLostListener(std::uint64_t key);
    bool isLost() const { return lost_; }

    // Event thread only.
    wl_display* display() const { return display_; }
    const Globals& globals() const { return globals_; }
    // Sends what is queued now rather than at the next turn of the loop.
    void flush();

    // The outputs, kept current by the event thread; readable from any thread.
    const std::shared_ptr<WlrOutputs>& outputs() const { return outputs_; }

    // Ends the event thread; posted work that did not run yet is dropped.
    void stop();

  private:
    WaylandConnection() = default;
    bool open(const std::string& name);
    void run();
    void markLost();
    void wake();
    static void onGlobal(void* data, wl_registry* registry, std::uint32_t name,
                         const char* interface, std::uint32_t version);
    static void onGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    Globals globals_;
    std::shared_ptr<WlrOutputs> outputs_;
    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<bool> lost_{false};

    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    std::map<std::uint64_t, std::function<void()>> lostListeners_;
    std::uint64_t nextKey_ = 1;
    bool stopping_ = false;
};

}  // namespace quelm
