#include "QuelmHostKit/linux/wayland/wlr/WlrPasteboard.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "QuelmCore/ClipboardPolicy.hpp"
#include "QuelmHostKit/linux/ClipboardMime.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WaylandConnection.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "wlr-data-control-unstable-v1-client.h"

namespace quelm {

namespace {

// Text MIME types, the one to read first first.
const std::vector<std::string> kTextMimeTypes = {"text/plain;charset=utf-8", "UTF8_STRING",
                                                 "text/plain", "STRING", "TEXT"};

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

std::optional<Bytes> readAll(int fd) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(WlrPasteboard::transferTimeout));
    Bytes data;
    std::uint8_t chunk[65536];
    for (;;) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, millisecondsLeft(deadline)) <= 0) {
            return std::nullopt;
        }
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0) {
            return data;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return std::nullopt;
        }
        if (data.size() + static_cast<std::size_t>(got) > WlrPasteboard::readLimit) {
            return std::nullopt;
        }
        data.insert(data.end(), chunk, chunk + got);
    }
}

void writeAll(int fd, const Bytes& data) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(WlrPasteboard::transferTimeout));
    std::size_t done = 0;
    while (done < data.size()) {
        pollfd wait{fd, POLLOUT, 0};
        if (poll(&wait, 1, millisecondsLeft(deadline)) <= 0) {
            break;
        }
        const ssize_t put = write(fd, data.data() + done, data.size() - done);
        if (put < 0 && errno != EINTR && errno != EAGAIN) {
            break;
        }
        done += put > 0 ? static_cast<std::size_t>(put) : 0;
    }
    close(fd);
}

}  // namespace

struct WlrPasteboard::State {
    WlrPasteboard* owner = nullptr;
    zwlr_data_control_device_v1* device = nullptr;
    // Offers announced but not yet named as a selection, with their MIME types.
    std::map<zwlr_data_control_offer_v1*, std::vector<std::string>> announced;
    zwlr_data_control_offer_v1* selection = nullptr;
    std::vector<std::string> selectionTypes;
    zwlr_data_control_source_v1* source = nullptr;
    std::vector<std::pair<std::string, std::shared_ptr<const Bytes>>> served;
    // Our own selection's event is on its way: it is no new content.
    bool echoPending = false;
    // The selection already there when we came is no change either.
    bool starting = true;

    ~State() {
        for (auto& [offer, types] : announced) {
            zwlr_data_control_offer_v1_destroy(offer);
        }
        if (selection) {
            zwlr_data_control_offer_v1_destroy(selection);
        }
        if (source) {
            zwlr_data_control_source_v1_destroy(source);
        }
        if (device) {
            zwlr_data_control_device_v1_destroy(device);
        }
    }

    void dropSource() {
        if (source) {
            zwlr_data_control_source_v1_destroy(source);
            source = nullptr;
        }
        served.clear();
    }
};

std::shared_ptr<WlrPasteboard> WlrPasteboard::create(std::shared_ptr<WaylandConnection> connection,
                                                     std::shared_ptr<SerialQueue> mainQueue) {
    const auto& globals = connection->globals();
    if (!globals.dataControl || !globals.seat) {
        return nullptr;
    }
    std::shared_ptr<WlrPasteboard> pasteboard(
        new WlrPasteboard(std::move(connection), std::move(mainQueue)));
    const auto made = pasteboard->connection_->call<bool>([raw = pasteboard.get()] {
        auto state = std::make_unique<State>();
        state->owner = raw;
        const auto& g = raw->connection_->globals();
        state->device = zwlr_data_control_manager_v1_get_data_device(g.dataControl, g.seat);
        static const zwlr_data_control_offer_v1_listener offerListener = {
            [](void* data, zwlr_data_control_offer_v1* offer, const char* mime) {
                auto* s = static_cast<State*>(data);
                auto found = s->announced.find(offer);
                if (found != s->announced.end() && mime) {
                    found->second.emplace_back(mime);
                }
            }};
        static const zwlr_data_control_device_v1_listener listener = {
            [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
                auto* s = static_cast<State*>(data);
                s->announced[offer] = {};
                zwlr_data_control_offer_v1_add_listener(offer, &offerListener, s);
            },
            [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
                auto* s = static_cast<State*>(data);
                if (s->selection) {
                    zwlr_data_control_offer_v1_destroy(s->selection);
                }
                s->selection = offer;
                s->selectionTypes.clear();
                if (auto found = s->announced.find(offer); found != s->announced.end()) {
                    s->selectionTypes = std::move(found->second);
                    s->announced.erase(found);
                }
                if (s->starting) {
                    return;
                }
                if (s->echoPending && offer) {
                    s->echoPending = false;
                    return;
                }
                ++s->owner->changeCount_;
            },
            [](void* data, zwlr_data_control_device_v1*) {
                auto* s = static_cast<State*>(data);
                zwlr_data_control_device_v1_destroy(s->device);
                s->device = nullptr;
            },
            [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
                // The primary selection is not shared.
                auto* s = static_cast<State*>(data);
                if (offer) {
                    s->announced.erase(offer);
                    zwlr_data_control_offer_v1_destroy(offer);
                }
            },
        };
        zwlr_data_control_device_v1_add_listener(state->device, &listener, state.get());
        raw->state_ = std::move(state);
        wl_display_roundtrip(raw->connection_->display());
        raw->state_->starting = false;
        return true;
    });
    return made.value_or(false) ? pasteboard : nullptr;
}

WlrPasteboard::WlrPasteboard(std::shared_ptr<WaylandConnection> connection,
                             std::shared_ptr<SerialQueue> mainQueue)
    : connection_(std::move(connection)),
      mainQueue_(std::move(mainQueue)),
      transfers_(std::make_shared<ThreadQueue>("quelmix.wl.clip")) {}

WlrPasteboard::~WlrPasteboard() {
    if (!connection_->call<bool>([this] {
            state_.reset();
            return true;
        })) {
        state_.reset();
    }
}

std::vector<std::string> WlrPasteboard::mimeTypesFor(const std::string& type) {
    if (ClipboardMime::isText(type)) {
        return kTextMimeTypes;
    }
    if (type == "org.nspasteboard.ConcealedType") {
        // What password managers mark their copies with, and the marker itself.
        return {"x-kde-passwordManagerHint", type};
    }
    return {ClipboardMime::forType(type)};
}

void WlrPasteboard::readTypes(TypesHandler handler) {
    std::weak_ptr<WlrPasteboard> weak = weak_from_this();
    const bool posted = connection_->post([this, weak, handler]() mutable {
        auto types = ClipboardPolicy::typesForTargets(state_->selectionTypes);
        mainQueue_->async([weak, handler = std::move(handler), types = std::move(types)] {
            if (weak.lock()) {
                handler(types);
            }
        });
    });
    if (!posted) {
        mainQueue_->async([handler = std::move(handler)] { handler({}); });
    }
}

void WlrPasteboard::readText(TextHandler handler) {
    receive("", [handler = std::move(handler)](std::optional<Bytes> data) {
        handler(data ? std::optional<std::string>(std::string(data->begin(), data->end()))
                     : std::nullopt);
    });
}

void WlrPasteboard::readData(const std::string& type, DataHandler handler) {
    receive(type, std::move(handler));
}

void WlrPasteboard::receive(const std::string& type, DataHandler handler) {
    std::weak_ptr<WlrPasteboard> weak = weak_from_this();
    auto answer = [this, weak, handler](std::optional<Bytes> data) {
        mainQueue_->async([weak, handler, data = std::move(data)] {
            if (weak.lock()) {
                handler(data);
            }
        });
    };
    const bool posted = connection_->post([this, type, answer] {
        const auto& mimes = state_->selectionTypes;
        std::string mime;
        if (type.empty()) {
            for (const auto& wanted : kTextMimeTypes) {
                if (std::find(mimes.begin(), mimes.end(), wanted) != mimes.end()) {
                    mime = wanted;
                    break;
                }
            }
        } else {
            const auto types = ClipboardPolicy::typesForTargets(mimes);
            auto found = std::find(types.begin(), types.end(), type);
            if (found != types.end()) {
                mime = mimes[static_cast<std::size_t>(found - types.begin())];
            }
        }
        int fds[2];
        if (mime.empty() || !state_->selection || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            answer(std::nullopt);
            return;
        }
        zwlr_data_control_offer_v1_receive(state_->selection, mime.c_str(), fds[1]);
        connection_->flush();
        close(fds[1]);
        transfers_->async([fd = fds[0], answer] {
            auto data = readAll(fd);
            close(fd);
            answer(std::move(data));
        });
    });
    if (!posted) {
        answer(std::nullopt);
    }
}

void WlrPasteboard::clear() {
    connection_->post([this] {
        if (state_->source && state_->device) {
            zwlr_data_control_device_v1_set_selection(state_->device, nullptr);
            state_->dropSource();
            connection_->flush();
        }
    });
}

void WlrPasteboard::writeText(const std::string& text) {
    writeItems({{"public.utf8-plain-text", Bytes(text.begin(), text.end())}});
}

void WlrPasteboard::writeItems(std::vector<Item> items) {
    ++changeCount_;
    std::vector<std::pair<std::string, std::shared_ptr<const Bytes>>> served;
    for (auto& item : items) {
        auto data = std::make_shared<const Bytes>(std::move(item.data));
        for (const auto& mime : mimeTypesFor(item.type)) {
            served.emplace_back(mime, data);
        }
    }
    connection_->post([this, served = std::move(served)]() mutable {
        if (!state_->device) {
            Log::info("clipboard not written: the compositor ended our data device");
            return;
        }
        state_->dropSource();
        const auto& g = connection_->globals();
        state_->source = zwlr_data_control_manager_v1_create_data_source(g.dataControl);
        state_->served = std::move(served);
        static const zwlr_data_control_source_v1_listener listener = {
            [](void* data, zwlr_data_control_source_v1*, const char* mime, std::int32_t fd) {
                auto* s = static_cast<State*>(data);
                auto found = std::find_if(s->served.begin(), s->served.end(),
                                          [mime](const auto& pair) { return pair.first == mime; });
                if (found == s->served.end()) {
                    close(fd);
                    return;
                }
                fcntl(fd, F_SETFL, O_NONBLOCK);
                s->owner->transfers_->async([fd, bytes = found->second] { writeAll(fd, *bytes); });
            },
            [](void* data, zwlr_data_control_source_v1* source) {
                auto* s = static_cast<State*>(data);
                if (s->source == source) {
                    s->dropSource();
                } else {
                    zwlr_data_control_source_v1_destroy(source);
                }
            },
        };
        zwlr_data_control_source_v1_add_listener(state_->source, &listener, state_.get());
        for (const auto& [mime, bytes] : state_->served) {
            zwlr_data_control_source_v1_offer(state_->source, mime.c_str());
        }
        zwlr_data_control_device_v1_set_selection(state_->device, state_->source);
        state_->echoPending = true;
        connection_->flush();
    });
}

void WlrPasteboard::writeImage(Bytes encoded, std::function<void(bool written)> done) {
    static const std::uint8_t png[] = {0x89, 'P', 'N', 'G'};
    static const std::uint8_t jpeg[] = {0xFF, 0xD8, 0xFF};
    const auto startsWith = [&encoded](const auto& magic) {
        return encoded.size() > sizeof magic &&
               std::equal(std::begin(magic), std::end(magic), encoded.begin());
    };
    const char* type = startsWith(png) ? "public.png" : startsWith(jpeg) ? "public.jpeg" : nullptr;
    if (type) {
        writeItems({{type, std::move(encoded)}});
    }
    mainQueue_->async([done = std::move(done), written = type != nullptr] { done(written); });
}

}  // namespace quelm
