// Full-screen motion for the Wayland figures: the test pattern scrolled sideways every frame,
// drawn straight into shared memory. Unlike a toolkit window it keeps three buffers of its own
// and reuses whichever the compositor has released, so a renderer that holds on to the last
// buffer (wlroots' pixman) costs no new buffer per frame and the window is not what limits the
// frame rate. Prints "ready W H" once mapped and "drew N" (frames drawn) every second.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tests/fakes/TestPattern.hpp"
#include "xdg-shell-client.h"

namespace {

constexpr int kBuffers = 3;
constexpr int kStep = 8;
using Clock = std::chrono::steady_clock;
// A 60 Hz source, whatever rate the compositor's frame callbacks come at.
constexpr auto kFrameTime = std::chrono::microseconds(16667);

struct Buffer {
    wl_buffer* buffer = nullptr;
    std::uint32_t* pixels = nullptr;
    bool busy = false;
};

struct Client {
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wmBase = nullptr;
    wl_surface* surface = nullptr;
    int width = 0;
    int height = 0;
    int pendingWidth = 0;
    int pendingHeight = 0;
    std::vector<std::uint32_t> pattern;
    Buffer buffers[kBuffers];
    void* memory = MAP_FAILED;
    std::size_t memorySize = 0;
    int shift = 0;
    int drawn = 0;
    bool wantFrame = false;
    Clock::time_point nextDraw;
    bool announced = false;
    bool sized = false;
    bool closed = false;
};

void draw(Client& client);

void released(void* data, wl_buffer*) {
    auto* buffer = static_cast<Buffer*>(data);
    buffer->busy = false;
}
const wl_buffer_listener kBufferListener = {released};

void frameDone(void* data, wl_callback* callback, std::uint32_t) {
    wl_callback_destroy(callback);
    auto& client = *static_cast<Client*>(data);
    client.wantFrame = true;
    draw(client);
}
const wl_callback_listener kFrameListener = {frameDone};

void releaseBuffers(Client& client) {
    for (auto& buffer : client.buffers) {
        if (buffer.buffer) {
            wl_buffer_destroy(buffer.buffer);
        }
        buffer = Buffer{};
    }
    if (client.memory != MAP_FAILED) {
        munmap(client.memory, client.memorySize);
        client.memory = MAP_FAILED;
    }
}

bool allocate(Client& client) {
    releaseBuffers(client);
    const std::size_t stride = std::size_t(client.width) * 4;
    const std::size_t one = stride * std::size_t(client.height);
    const int fd = memfd_create("quelm-motion", MFD_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    if (ftruncate(fd, off_t(one * kBuffers)) != 0) {
        close(fd);
        return false;
    }
    client.memorySize = one * kBuffers;
    client.memory = mmap(nullptr, client.memorySize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (client.memory == MAP_FAILED) {
        close(fd);
        return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(client.shm, fd, int(client.memorySize));
    for (int i = 0; i < kBuffers; ++i) {
        auto& buffer = client.buffers[i];
        buffer.buffer = wl_shm_pool_create_buffer(pool, int(one) * i, client.width, client.height,
                                                  int(stride), WL_SHM_FORMAT_ARGB8888);
        buffer.pixels =
            reinterpret_cast<std::uint32_t*>(static_cast<char*>(client.memory) + one * i);
        wl_buffer_add_listener(buffer.buffer, &kBufferListener, &buffer);
    }
    wl_shm_pool_destroy(pool);
    close(fd);
    client.pattern.resize(std::size_t(client.width) * std::size_t(client.height));
    for (int y = 0; y < client.height; ++y) {
        for (int x = 0; x < client.width; ++x) {
            client.pattern[std::size_t(y) * std::size_t(client.width) + std::size_t(x)] =
                0xFF000000u | quelm::test::testPatternPixel(x, y, client.width, client.height);
        }
    }
    return true;
}

// A buffer the compositor has released, when a frame is due.
Buffer* drawable(Client& client) {
    if (!client.wantFrame || client.width == 0) {
        return nullptr;
    }
    for (auto& buffer : client.buffers) {
        if (!buffer.busy) {
            return &buffer;
        }
    }
    return nullptr;
}

void draw(Client& client) {
    const auto now = Clock::now();
    Buffer* target = drawable(client);
    if (!target || now < client.nextDraw) {
        return;
    }
    const std::size_t width = std::size_t(client.width);
    const std::size_t shift = std::size_t(client.shift);
    for (std::size_t y = 0; y < std::size_t(client.height); ++y) {
        const std::uint32_t* source = client.pattern.data() + y * width;
        std::uint32_t* row = target->pixels + y * width;
        std::memcpy(row + shift, source, (width - shift) * 4);
        std::memcpy(row, source + width - shift, shift * 4);
    }
    client.shift = (client.shift + kStep) % client.width;
    wl_surface_attach(client.surface, target->buffer, 0, 0);
    wl_surface_damage_buffer(client.surface, 0, 0, client.width, client.height);
    wl_callback_add_listener(wl_surface_frame(client.surface), &kFrameListener, &client);
    wl_surface_commit(client.surface);
    target->busy = true;
    client.wantFrame = false;
    client.nextDraw = std::max(now, client.nextDraw + kFrameTime);
    ++client.drawn;
}

void ping(void*, xdg_wm_base* base, std::uint32_t serial) {
    xdg_wm_base_pong(base, serial);
}
const xdg_wm_base_listener kWmBaseListener = {ping};

void surfaceConfigure(void* data, xdg_surface* surface, std::uint32_t serial) {
    auto& client = *static_cast<Client*>(data);
    xdg_surface_ack_configure(surface, serial);
    // No size yet (not mapped): any, until the compositor tells the full screen's.
    const bool told = client.pendingWidth > 0 && client.pendingHeight > 0;
    const int width = told ? client.pendingWidth : (client.width ? client.width : 640);
    const int height = told ? client.pendingHeight : (client.height ? client.height : 480);
    client.sized = client.sized || told;
    if (width == client.width && height == client.height) {
        return;
    }
    client.width = width;
    client.height = height;
    client.shift = 0;
    if (!allocate(client)) {
        std::fprintf(stderr, "no shared memory for the buffers\n");
        client.closed = true;
        return;
    }
    client.wantFrame = true;
    draw(client);
}
const xdg_surface_listener kSurfaceListener = {surfaceConfigure};

void toplevelConfigure(void* data, xdg_toplevel*, std::int32_t width, std::int32_t height,
                       wl_array*) {
    auto& client = *static_cast<Client*>(data);
    client.pendingWidth = width;
    client.pendingHeight = height;
}
void toplevelClose(void* data, xdg_toplevel*) {
    static_cast<Client*>(data)->closed = true;
}
void toplevelBounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {}
void toplevelCapabilities(void*, xdg_toplevel*, wl_array*) {}
const xdg_toplevel_listener kToplevelListener = {toplevelConfigure, toplevelClose, toplevelBounds,
                                                 toplevelCapabilities};

void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
            std::uint32_t) {
    auto& client = *static_cast<Client*>(data);
    if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
        client.compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
        client.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
        client.wmBase =
            static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(client.wmBase, &kWmBaseListener, &client);
    }
}
void globalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener = {global, globalRemove};

}  // namespace

int main() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "no Wayland display\n");
        return 1;
    }
    Client client;
    wl_registry_add_listener(wl_display_get_registry(display), &kRegistryListener, &client);
    wl_display_roundtrip(display);
    if (!client.compositor || !client.shm || !client.wmBase) {
        std::fprintf(stderr, "the compositor lacks wl_compositor, wl_shm or xdg_wm_base\n");
        return 1;
    }
    client.surface = wl_compositor_create_surface(client.compositor);
    xdg_surface* surface = xdg_wm_base_get_xdg_surface(client.wmBase, client.surface);
    xdg_surface_add_listener(surface, &kSurfaceListener, &client);
    xdg_toplevel* toplevel = xdg_surface_get_toplevel(surface);
    xdg_toplevel_add_listener(toplevel, &kToplevelListener, &client);
    xdg_toplevel_set_title(toplevel, "motion");
    xdg_toplevel_set_fullscreen(toplevel, nullptr);
    wl_surface_commit(client.surface);

    auto nextReport = Clock::now() + std::chrono::seconds(1);
    while (!client.closed) {
        while (wl_display_prepare_read(display) != 0) {
            wl_display_dispatch_pending(display);
        }
        wl_display_flush(display);
        // Waiting for a frame callback or a buffer's release needs no timeout but the report's.
        const auto until = drawable(client) ? std::min(nextReport, client.nextDraw) : nextReport;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        pollfd fd = {wl_display_get_fd(display), POLLIN, 0};
        if (poll(&fd, 1, int(std::max<long long>(wait.count(), 0))) > 0) {
            if (wl_display_read_events(display) != 0) {
                break;
            }
        } else {
            wl_display_cancel_read(display);
        }
        if (wl_display_dispatch_pending(display) < 0) {
            break;
        }
        draw(client);
        if (!client.announced && client.sized && client.drawn > 0) {
            client.announced = true;
            std::printf("ready %d %d\n", client.width, client.height);
            std::fflush(stdout);
        }
        if (Clock::now() >= nextReport) {
            std::printf("drew %d\n", client.drawn);
            std::fflush(stdout);
            client.drawn = 0;
            nextReport += std::chrono::seconds(1);
        }
    }
    wl_display_disconnect(display);
    return 0;
}
