#include "QuelmHostKit/linux/wayland/wlr/WaylandConnection.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "QuelmHostKit/linux/wayland/wlr/WlrOutputs.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"
#include "wlr-screencopy-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"
#include "xdg-output-unstable-v1-client.h"

namespace quelm {

namespace {

template <class Proxy>
Proxy* bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface,
            std::uint32_t offered, std::uint32_t wanted) {
    return static_cast<Proxy*>(
        wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

}  // namespace

std::shared_ptr<WaylandConnection> WaylandConnection::connect(const std::string& name) {
    std::shared_ptr<WaylandConnection> connection(new WaylandConnection());
    if (!connection->open(name)) {
        // Why the compositor did not answer, past the clean-up.
        const int error = errno;
        connection.reset();
        errno = error;
        return nullptr;
    }
    connection->thread_ = std::thread([raw = connection.get()] { raw->run(); });
    return connection;
}

bool WaylandConnection::open(const std::string& name) {
    display_ = wl_display_connect(name.empty() ? nullptr : name.c_str());
    if (!display_) {
        return false;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    outputs_ = std::make_shared<WlrOutputs>();
    registry_ = wl_display_get_registry(display_);
    static const wl_registry_listener listener = {onGlobal, onGlobalRemove};
    wl_registry_add_listener(registry_, &listener, this);
    // Globals first, then what the outputs say about themselves.
    if (wakeFd_ < 0 || wl_display_roundtrip(display_) < 0) {
        return false;
    }
    if (globals_.xdgOutputs) {
        outputs_->useXdgOutputs(globals_.xdgOutputs);
    }
    return wl_display_roundtrip(display_) >= 0;
}

void WaylandConnection::onGlobal(void* data, wl_registry* registry, std::uint32_t name,
                                 const char* interface, std::uint32_t version) {
    auto* self = static_cast<WaylandConnection*>(data);
    auto& g = self->globals_;
    const std::string_view kind(interface);
    if (kind == wl_output_interface.name) {
        self->outputs_->add(name,
                            bind<wl_output>(registry, name, &wl_output_interface, version, 4));
    } else if (kind == wl_seat_interface.name && !g.seat) {
        g.seat = bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
    } else if (kind == wl_shm_interface.name) {
        g.shm = bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (kind == zxdg_output_manager_v1_interface.name) {
        g.xdgOutputs = bind<zxdg_output_manager_v1>(registry, name,
                                                    &zxdg_output_manager_v1_interface, version, 3);
    } else if (kind == zwlr_screencopy_manager_v1_interface.name) {
        g.screencopyVersion = std::min(version, 3u);
        g.screencopy = bind<zwlr_screencopy_manager_v1>(
            registry, name, &zwlr_screencopy_manager_v1_interface, version, 3);
    } else if (kind == zwlr_virtual_pointer_manager_v1_interface.name) {
        g.virtualPointer = bind<zwlr_virtual_pointer_manager_v1>(
            registry, name, &zwlr_virtual_pointer_manager_v1_interface, version, 2);
    } else if (kind == zwp_virtual_keyboard_manager_v1_interface.name) {
        g.virtualKeyboard = bind<zwp_virtual_keyboard_manager_v1>(
            registry, name, &zwp_virtual_keyboard_manager_v1_interface, version, 1);
    } else if (kind == zwlr_data_control_manager_v1_interface.name) {
        g.dataControl = bind<zwlr_data_control_manager_v1>(
            registry, name, &zwlr_data_control_manager_v1_interface, version, 2);
    }
}

void WaylandConnection::onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    static_cast<WaylandConnection*>(data)->outputs_->remove(name);
}

WaylandConnection::~WaylandConnection() {
    stop();
    if (outputs_) {
        outputs_->destroyAll();
    }
    if (display_) {
        // The proxies of the globals go with the display.
        wl_display_disconnect(display_);
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

bool WaylandConnection::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return false;
        }
        tasks_.push_back(std::move(task));
    }
    wake();
    return true;
}

void WaylandConnection::wake() {
    if (wakeFd_ < 0) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(wakeFd_, &one, sizeof one);
}

std::uint64_t WaylandConnection::addLostListener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    const auto key = nextKey_++;
    if (!lost_) {
        lostListeners_.emplace(key, std::move(listener));
    }
    return key;
}

void WaylandConnection::removeLostListener(std::uint64_t key) {
    std::lock_guard lock(mutex_);
    lostListeners_.erase(key);
}

void WaylandConnection::flush() {
    if (!lost_) {
        wl_display_flush(display_);
    }
}

void WaylandConnection::markLost() {
    if (lost_.exchange(true)) {
        return;
    }
    const int error = wl_display_get_error(display_);
    Log::info(std::string("the Wayland compositor is gone: ") +
              (error != 0 ? std::strerror(error) : "connection closed"));
    std::map<std::uint64_t, std::function<void()>> listeners;
    {
        std::lock_guard lock(mutex_);
        listeners.swap(lostListeners_);
    }
    for (auto& [key, listener] : listeners) {
        listener();
    }
}

void WaylandConnection::run() {
    pthread_setname_np(pthread_self(), "quelmix.wayland");
    const int fd = wl_display_get_fd(display_);
    for (;;) {
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                break;
            }
            tasks.swap(tasks_);
        }
        for (auto& task : tasks) {
            task();
        }
        bool reading = false;
        if (!lost_) {
            while (wl_display_prepare_read(display_) != 0) {
                if (wl_display_dispatch_pending(display_) < 0) {
                    break;
                }
            }
            reading = true;
            if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
                wl_display_cancel_read(display_);
                markLost();
                continue;
            }
        }
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {reading ? fd : -1, POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto got = read(wakeFd_, &count, sizeof count);
        }
        if (!reading) {
            continue;
        }
        if (ready > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (wl_display_read_events(display_) < 0) {
                markLost();
                continue;
            }
        } else {
            wl_display_cancel_read(display_);
        }
        if (wl_display_dispatch_pending(display_) < 0) {
            markLost();
        }
    }
}

void WaylandConnection::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !thread_.joinable()) {
            return;
        }
        stopping_ = true;
        tasks_.clear();
    }
    wake();
    if (thread_.joinable() && !onEventThread()) {
        thread_.join();
    }
}

}  // namespace quelm
