#include "QuelmHostKit/linux/wayland/mutter/MutterPasteboard.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <gio/gunixinputstream.h>
#include <gio/gunixoutputstream.h>
#include <glib-unix.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "QuelmCore/ClipboardPolicy.hpp"
#include "QuelmHostKit/linux/ClipboardMime.hpp"
#include "QuelmHostKit/linux/gtk/GLibHandOff.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

// What a text item is offered as: GTK and Qt on Wayland ask for the first, X clients through
// XWayland for the others.
constexpr std::array<const char*, 3> kTextMimeTypes = {"text/plain;charset=utf-8", "UTF8_STRING",
                                                       "text/plain"};

// A time-out on the calling thread's own main context (the mutter thread runs one of its own).
GSource* startTimeout(unsigned milliseconds, GSourceFunc function, gpointer data) {
    GSource* source = g_timeout_source_new(milliseconds);
    g_source_set_callback(source, function, data, nullptr);
    g_source_attach(source, g_main_context_get_thread_default());
    return source;
}

void stopTimeout(GSource*& source) {
    if (source) {
        g_source_destroy(source);
        g_source_unref(source);
        source = nullptr;
    }
}

gboolean cancelOnTimeout(gpointer cancellable) {
    g_cancellable_cancel(static_cast<GCancellable*>(cancellable));
    return G_SOURCE_REMOVE;
}

// A pipe read to its end on the calling thread's main context, in chunks. A writer that never
// closes its end is cut off after the time-out.
struct PipeRead {
    GInputStream* stream = nullptr;
    GCancellable* cancellable = nullptr;
    GSource* timeout = nullptr;
    Bytes data;
    std::function<void(std::optional<Bytes>)> done;

    static void start(int fd, std::function<void(std::optional<Bytes>)> done) {
        auto* read = new PipeRead;
        read->stream = g_unix_input_stream_new(fd, TRUE);
        read->cancellable = g_cancellable_new();
        read->done = std::move(done);
        read->timeout =
            startTimeout(MutterPasteboard::transferTimeoutMs, cancelOnTimeout, read->cancellable);
        read->next();
    }
    void finish(std::optional<Bytes> result) {
        stopTimeout(timeout);
        g_object_unref(stream);
        g_object_unref(cancellable);
        auto handler = std::move(done);
        delete this;
        handler(std::move(result));
    }
    void next() {
        g_input_stream_read_bytes_async(stream, 64 * 1024, G_PRIORITY_DEFAULT, cancellable, onChunk,
                                        this);
    }
    static void onChunk(GObject* source, GAsyncResult* result, gpointer data) {
        auto* read = static_cast<PipeRead*>(data);
        GError* error = nullptr;
        GBytes* chunk = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, &error);
        if (!chunk) {
            Log::info(std::string("clipboard read failed: ") +
                      (error ? error->message : "no data"));
            g_clear_error(&error);
            read->finish(std::nullopt);
            return;
        }
        gsize size = 0;
        const auto* bytes = static_cast<const std::uint8_t*>(g_bytes_get_data(chunk, &size));
        if (size == 0) {
            g_bytes_unref(chunk);
            read->finish(std::move(read->data));
            return;
        }
        read->data.insert(read->data.end(), bytes, bytes + size);
        g_bytes_unref(chunk);
        if (read->data.size() > MutterPasteboard::maximumRead) {
            Log::info("clipboard content too large: not read");
            read->finish(std::nullopt);
            return;
        }
        read->next();
    }
};

// Our content written into the pipe mutter hands out for one transfer, without blocking the
// thread: a large image waits for the reader, a reader that stops is cut off after the
// time-out, and the pipe is closed at the end, which is how the reader learns it has it all.
struct PipeWrite {
    GOutputStream* stream = nullptr;
    GCancellable* cancellable = nullptr;
    GSource* timeout = nullptr;
    GCancellable* session = nullptr;
    gulong sessionHandler = 0;
    std::shared_ptr<const Bytes> data;
    std::function<void(bool)> done;

    static void start(int fd, std::shared_ptr<const Bytes> data, GCancellable* session,
                      std::function<void(bool)> done) {
        // Mutter's end is blocking; ours must not be, or a write waits inside the main loop.
        g_unix_set_fd_nonblocking(fd, TRUE, nullptr);
        auto* write = new PipeWrite;
        write->stream = g_unix_output_stream_new(fd, TRUE);
        write->cancellable = g_cancellable_new();
        write->data = std::move(data);
        write->done = std::move(done);
        write->timeout =
            startTimeout(MutterPasteboard::transferTimeoutMs, cancelOnTimeout, write->cancellable);
        // The session's end cuts every transfer short.
        write->session = G_CANCELLABLE(g_object_ref(session));
        write->sessionHandler =
            g_cancellable_connect(session, G_CALLBACK(+[](GCancellable*, gpointer own) {
                                      g_cancellable_cancel(static_cast<GCancellable*>(own));
                                  }),
                                  g_object_ref(write->cancellable), g_object_unref);
        g_output_stream_write_all_async(write->stream, write->data->data(), write->data->size(),
                                        G_PRIORITY_DEFAULT, write->cancellable, onWritten, write);
    }
    static void onWritten(GObject* source, GAsyncResult* result, gpointer data) {
        auto* write = static_cast<PipeWrite*>(data);
        GError* error = nullptr;
        const bool ok =
            g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), result, nullptr, &error);
        if (!ok) {
            Log::info(std::string("clipboard write to the desktop failed: ") +
                      (error ? error->message : "unknown error"));
            g_clear_error(&error);
        }
        stopTimeout(write->timeout);
        g_cancellable_disconnect(write->session, write->sessionHandler);
        g_object_unref(write->session);
        g_output_stream_close(write->stream, nullptr, nullptr);
        g_object_unref(write->stream);
        g_object_unref(write->cancellable);
        auto handler = std::move(write->done);
        delete write;
        handler(ok);
    }
};

// An image from the companion, checked on a worker thread.
struct ImageJob {
    std::weak_ptr<MutterPasteboard> owner;
    Bytes encoded;
    std::function<void(bool)> done;
    std::uint64_t countAtStart = 0;
    // PNG or JPEG bytes as offered, or empty when they do not decode.
    Bytes offered;
    std::string type;
};

void checkImage(GTask* task, gpointer, gpointer data, GCancellable*) {
    auto* job = static_cast<ImageJob*>(data);
    GLibHandOff::receive(job);
    GInputStream* input = g_memory_input_stream_new_from_data(job->encoded.data(),
                                                              gssize(job->encoded.size()), nullptr);
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_stream(input, nullptr, nullptr);
    g_object_unref(input);
    if (pixbuf) {
        const auto& e = job->encoded;
        const bool png = e.size() > 4 && e[0] == 0x89 && e[1] == 'P' && e[2] == 'N' && e[3] == 'G';
        const bool jpeg = e.size() > 2 && e[0] == 0xFF && e[1] == 0xD8;
        if (png || jpeg) {
            job->offered = e;
            job->type = png ? "public.png" : "public.jpeg";
        } else {
            gchar* buffer = nullptr;
            gsize size = 0;
            if (gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr)) {
                job->offered.assign(buffer, buffer + size);
                job->type = "public.png";
                g_free(buffer);
            }
        }
        g_object_unref(pixbuf);
    }
    GLibHandOff::send(job);
    g_task_return_boolean(task, TRUE);
}

}  // namespace

std::shared_ptr<MutterPasteboard> MutterPasteboard::create(std::shared_ptr<MutterDesktop> desktop) {
    std::shared_ptr<MutterPasteboard> pasteboard(new MutterPasteboard(desktop));
    std::weak_ptr<MutterPasteboard> weak = pasteboard;
    desktop->onSessionSignal([weak](const std::string& signal, GVariant* parameters) {
        if (auto strong = weak.lock()) {
            strong->onSignal(signal, parameters);
        }
    });
    desktop->onSessionChange([weak, desktop = desktop.get()](bool started) {
        if (!started) {
            if (auto strong = weak.lock()) {
                strong->sessionEnded();
            }
        } else {
            GVariantBuilder options;
            g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
            if (GVariant* reply =
                    desktop->callSession("EnableClipboard", g_variant_new("(a{sv})", &options))) {
                g_variant_unref(reply);
            }
        }
    });
    return pasteboard;
}

MutterPasteboard::MutterPasteboard(std::shared_ptr<MutterDesktop> desktop)
    : desktop_(std::move(desktop)), serving_(g_cancellable_new()) {}

MutterPasteboard::~MutterPasteboard() {
    g_object_unref(serving_);
}

std::vector<std::pair<std::string, std::size_t>> MutterPasteboard::offeredMimeTypes(
    const std::vector<Item>& items) {
    std::vector<std::pair<std::string, std::size_t>> out;
    bool text = false;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (ClipboardMime::isText(items[i].type)) {
            if (!text) {
                for (const char* mime : kTextMimeTypes) {
                    out.emplace_back(mime, i);
                }
                text = true;
            }
            continue;
        }
        std::vector<std::string> mimes = {ClipboardMime::forType(items[i].type)};
        if (items[i].type == "org.nspasteboard.ConcealedType") {
            // The hint desktop clipboard histories and password managers look for.
            mimes.insert(mimes.begin(), "x-kde-passwordManagerHint");
        }
        for (const auto& mime : mimes) {
            if (std::none_of(out.begin(), out.end(),
                             [&](const auto& o) { return o.first == mime; })) {
                out.emplace_back(mime, i);
            }
        }
    }
    return out;
}

void MutterPasteboard::onSignal(const std::string& signal, GVariant* parameters) {
    if (signal == "SelectionOwnerChanged") {
        GVariant* options = nullptr;
        g_variant_get(parameters, "(@a{sv})", &options);
        gboolean sessionIsOwner = FALSE;
        g_variant_lookup(options, "session-is-owner", "b", &sessionIsOwner);
        std::vector<std::string> types;
        // Mutter wraps the list in a tuple ("(as)"); a bare list is read too.
        if (GVariant* list = g_variant_lookup_value(options, "mime-types", nullptr)) {
            GVariant* strings = g_variant_is_of_type(list, G_VARIANT_TYPE("(as)"))
                                    ? g_variant_get_child_value(list, 0)
                                    : g_variant_ref(list);
            if (g_variant_is_of_type(strings, G_VARIANT_TYPE_STRING_ARRAY)) {
                GVariantIter iter;
                g_variant_iter_init(&iter, strings);
                const char* mime = nullptr;
                while (g_variant_iter_next(&iter, "&s", &mime)) {
                    types.emplace_back(mime);
                }
            }
            g_variant_unref(strings);
            g_variant_unref(list);
        }
        g_variant_unref(options);
        if (sessionIsOwner) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            ours_ = false;
            offer_.clear();
            ownerTypes_ = std::move(types);
        }
        ++changeCount_;
    } else if (signal == "SelectionTransfer") {
        const char* mime = nullptr;
        std::uint32_t serial = 0;
        g_variant_get(parameters, "(&su)", &mime, &serial);
        serve(mime, serial);
    }
}

void MutterPasteboard::serve(const std::string& mime, std::uint32_t serial) {
    std::shared_ptr<const Bytes> content;
    {
        std::lock_guard lock(mutex_);
        if (auto found = offer_.find(mime); ours_ && found != offer_.end()) {
            content = found->second;
        }
    }
    auto desktop = desktop_;
    const auto finish = [desktop, serial](bool ok) {
        desktop->notify("SelectionWriteDone", g_variant_new("(ub)", serial, ok));
    };
    if (!content) {
        finish(false);
        return;
    }
    // Mutter answers with the pipe the reader waits on; the answer comes back on this thread.
    desktop_->callSessionAsync(
        "SelectionWrite", g_variant_new("(u)", serial),
        [content, finish, session = G_CANCELLABLE(g_object_ref(serving_))](GVariant*, int fd) {
            if (fd < 0) {
                finish(false);
            } else {
                PipeWrite::start(fd, content, session, finish);
            }
            g_object_unref(session);
        });
}

void MutterPasteboard::sessionEnded() {
    g_cancellable_cancel(serving_);
    g_object_unref(serving_);
    serving_ = g_cancellable_new();
    // The desktop no longer has what we offered, nor do we know its clipboard.
    std::lock_guard lock(mutex_);
    ours_ = false;
    offer_.clear();
    ownerTypes_.clear();
}

std::vector<std::string> MutterPasteboard::mimeTypes() {
    std::lock_guard lock(mutex_);
    if (!ours_) {
        return ownerTypes_;
    }
    std::vector<std::string> out;
    for (const auto& [mime, data] : offer_) {
        out.push_back(mime);
    }
    return out;
}

void MutterPasteboard::read(const std::string& mime,
                            std::function<void(std::optional<Bytes>)> done) {
    {
        std::lock_guard lock(mutex_);
        if (ours_) {
            auto found = offer_.find(mime);
            done(found != offer_.end() ? std::optional<Bytes>(*found->second) : std::nullopt);
            return;
        }
    }
    std::weak_ptr<MutterPasteboard> weak = weak_from_this();
    desktop_->callSessionAsync(
        "SelectionRead", g_variant_new("(s)", mime.c_str()),
        [weak, done = std::move(done)](GVariant*, int fd) mutable {
            if (!weak.lock()) {
                if (fd >= 0) {
                    close(fd);
                }
                return;
            }
            if (fd < 0) {
                done(std::nullopt);
                return;
            }
            PipeRead::start(fd, [weak, done = std::move(done)](std::optional<Bytes> data) {
                if (weak.lock()) {
                    done(std::move(data));
                }
            });
        });
}

void MutterPasteboard::readTypes(TypesHandler handler) {
    handler(ClipboardPolicy::typesForTargets(mimeTypes()));
}

void MutterPasteboard::readText(TextHandler handler) {
    const auto types = mimeTypes();
    for (const char* mime : kTextMimeTypes) {
        if (std::find(types.begin(), types.end(), mime) != types.end()) {
            read(mime, [handler = std::move(handler)](std::optional<Bytes> data) {
                handler(data ? std::optional<std::string>(std::string(data->begin(), data->end()))
                             : std::nullopt);
            });
            return;
        }
    }
    handler(std::nullopt);
}

void MutterPasteboard::readData(const std::string& type, DataHandler handler) {
    const auto mimes = mimeTypes();
    const auto types = ClipboardPolicy::typesForTargets(mimes);
    auto found = std::find(types.begin(), types.end(), type);
    if (found == types.end() || static_cast<std::size_t>(found - types.begin()) >= mimes.size()) {
        handler(std::nullopt);
        return;
    }
    read(mimes[static_cast<std::size_t>(found - types.begin())], std::move(handler));
}

void MutterPasteboard::clear() {
    // Mutter keeps a copy of each new text or image selection, to serve it once its owner is
    // gone; unsetting ours alone would leave that copy on the clipboard. A stand-in without
    // text or image makes mutter drop the copy, then the selection is unset.
    {
        std::lock_guard lock(mutex_);
        if (!ours_) {
            return;
        }
    }
    writeItems({{"org.nspasteboard.ConcealedType", {}}});
    {
        std::lock_guard lock(mutex_);
        ours_ = false;
        offer_.clear();
        ownerTypes_.clear();
    }
    setSelection({});
}

void MutterPasteboard::writeText(const std::string& text) {
    writeItems({{"public.utf8-plain-text", Bytes(text.begin(), text.end())}});
}

void MutterPasteboard::writeItems(std::vector<Item> items) {
    const auto offered = offeredMimeTypes(items);
    std::vector<std::string> mimes;
    {
        std::lock_guard lock(mutex_);
        offer_.clear();
        std::map<std::size_t, std::shared_ptr<const Bytes>> shared;
        for (const auto& [mime, index] : offered) {
            auto& data = shared[index];
            if (!data) {
                data = std::make_shared<const Bytes>(std::move(items[index].data));
            }
            offer_[mime] = data;
            mimes.push_back(mime);
        }
        ours_ = true;
    }
    ++changeCount_;
    setSelection(mimes);
}

void MutterPasteboard::setSelection(const std::vector<std::string>& mimes) {
    if (!desktop_->active()) {
        Log::info("clipboard write failed: mutter's remote desktop session is not running");
        return;
    }
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    // No types unsets the selection; an empty list would be refused.
    if (!mimes.empty()) {
        GVariantBuilder list;
        g_variant_builder_init(&list, G_VARIANT_TYPE_STRING_ARRAY);
        for (const auto& mime : mimes) {
            g_variant_builder_add(&list, "s", mime.c_str());
        }
        g_variant_builder_add(&options, "{sv}", "mime-types", g_variant_builder_end(&list));
    }
    desktop_->callSessionAsync("SetSelection", g_variant_new("(a{sv})", &options),
                               [](GVariant* reply, int fd) {
                                   if (fd >= 0) {
                                       close(fd);
                                   }
                                   if (!reply) {
                                       Log::info("clipboard write failed: mutter refused it");
                                   }
                               });
}

void MutterPasteboard::writeImage(Bytes encoded, std::function<void(bool written)> done) {
    auto* job = new ImageJob{
        weak_from_this(), std::move(encoded), std::move(done), changeCount_.load(), {}, {}};
    GTask* task = g_task_new(
        nullptr, nullptr,
        [](GObject*, GAsyncResult*, gpointer data) {
            std::unique_ptr<ImageJob> job(static_cast<ImageJob*>(data));
            GLibHandOff::receive(job.get());
            auto self = job->owner.lock();
            if (!self) {
                return;
            }
            const bool written = !job->offered.empty() && self->changeCount_ == job->countAtStart;
            if (written) {
                self->writeItems({{job->type, std::move(job->offered)}});
            }
            job->done(written);
        },
        job);
    g_task_set_task_data(task, job, nullptr);
    GLibHandOff::send(job);
    g_task_run_in_thread(task, checkImage);
    g_object_unref(task);
}

}  // namespace quelm
