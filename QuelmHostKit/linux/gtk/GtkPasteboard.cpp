#include "QuelmHostKit/linux/gtk/GtkPasteboard.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "QuelmCore/ClipboardPolicy.hpp"
#include "QuelmHostKit/linux/ClipboardMime.hpp"
#include "QuelmHostKit/linux/gtk/GLibHandOff.hpp"
#include "QuelmHostKit/linux/gtk/GdkPixbufImageCodec.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

// Targets that describe the selection rather than hold content.
constexpr std::array<std::string_view, 5> kMetaTargets = {"TARGETS", "TIMESTAMP", "MULTIPLE",
                                                          "SAVE_TARGETS", "DELETE"};

// A read in flight: dropped unanswered once the pasteboard is gone.
template <class Handler>
struct Request {
    std::weak_ptr<GtkPasteboard> owner;
    Handler handler;
};

// The content of one of our writes, served to whoever asks.
struct Offer {
    std::string text;
    std::vector<std::pair<std::string, Bytes>> byTarget;
};

void serveOffer(GtkClipboard*, GtkSelectionData* selection, guint info, gpointer data) {
    auto* offer = static_cast<Offer*>(data);
    if (info == 0) {
        gtk_selection_data_set_text(selection, offer->text.data(), int(offer->text.size()));
        return;
    }
    const auto& [target, bytes] = offer->byTarget.at(info - 1);
    gtk_selection_data_set(selection, gdk_atom_intern(target.c_str(), FALSE), 8, bytes.data(),
                           int(bytes.size()));
}

void dropOffer(GtkClipboard*, gpointer data) {
    delete static_cast<Offer*>(data);
}

struct ImageJob {
    std::weak_ptr<GtkPasteboard> owner;
    Bytes encoded;
    std::function<void(bool)> done;
    std::uint64_t countAtStart = 0;
    GdkPixbuf* pixbuf = nullptr;
};

void onPixbufSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer tooLarge) {
    if (std::int64_t(width) * height > GdkPixbufImageCodec::maxPixels) {
        *static_cast<bool*>(tooLarge) = true;
        gdk_pixbuf_loader_set_size(loader, 1, 1);  // refused below; keeps memory small
    }
}

GdkPixbuf* decodePixbuf(const Bytes& bytes) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    // Said by the signal, not guessed from the result's size: a real picture may be 1 x 1.
    bool tooLarge = false;
    g_signal_connect(loader, "size-prepared", G_CALLBACK(onPixbufSizePrepared), &tooLarge);
    GError* error = nullptr;
    bool ok = gdk_pixbuf_loader_write(loader, bytes.data(), bytes.size(), &error);
    ok = gdk_pixbuf_loader_close(loader, ok ? &error : nullptr) && ok;
    GdkPixbuf* pixbuf = nullptr;
    if (ok) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf && !tooLarge) {
            g_object_ref(pixbuf);
        } else {
            pixbuf = nullptr;
        }
    }
    if (error) {
        g_error_free(error);
    }
    g_object_unref(loader);
    return pixbuf;
}

void decodeInThread(GTask* task, gpointer, gpointer data, GCancellable*) {
    auto* job = static_cast<ImageJob*>(data);
    GLibHandOff::receive(job);
    job->pixbuf = decodePixbuf(job->encoded);
    GLibHandOff::send(job);
    g_task_return_boolean(task, TRUE);
}

}  // namespace

std::shared_ptr<GtkPasteboard> GtkPasteboard::create() {
    GdkDisplay* display = gdk_display_get_default();
    if (!display) {
        Log::info("no GTK display: clipboard not shared");
        return nullptr;
    }
    GtkClipboard* clipboard = gtk_clipboard_get_for_display(display, GDK_SELECTION_CLIPBOARD);
    auto pasteboard = std::shared_ptr<GtkPasteboard>(new GtkPasteboard(clipboard));
    // The server hears that we watch the owner before anything can be copied unnoticed.
    gdk_display_sync(display);
    if (!gdk_display_supports_selection_notification(display)) {
        Log::info("clipboard: the X server has no XFixes, host copies go unnoticed");
    }
    return pasteboard;
}

GtkPasteboard::GtkPasteboard(GtkClipboard* clipboard) : clipboard_(clipboard) {
    g_object_ref(clipboard_);
    ownerChangeHandler_ =
        g_signal_connect(clipboard_, "owner-change", G_CALLBACK(onOwnerChange), this);
}

GtkPasteboard::~GtkPasteboard() {
    g_signal_handler_disconnect(clipboard_, ownerChangeHandler_);
    g_object_unref(clipboard_);
}

void GtkPasteboard::onOwnerChange(GtkClipboard*, GdkEvent* event, void* data) {
    auto* self = static_cast<GtkPasteboard*>(data);
    auto* change = &event->owner_change;
    // GDK hands back its own window object for an owner that is one of ours: our writes were
    // counted when they were made.
    bool ours = change->owner && gdk_window_get_window_type(change->owner) != GDK_WINDOW_FOREIGN;
    if (!ours) {
        ++self->changeCount_;
    }
}

void GtkPasteboard::readTypes(TypesHandler handler) {
    using R = Request<TypesHandler>;
    gtk_clipboard_request_targets(
        clipboard_,
        [](GtkClipboard*, GdkAtom* atoms, gint count, gpointer data) {
            std::unique_ptr<R> request(static_cast<R*>(data));
            auto self = request->owner.lock();
            if (!self) {
                return;
            }
            std::vector<std::string> targets;
            for (gint i = 0; atoms && i < count; ++i) {
                gchar* name = gdk_atom_name(atoms[i]);
                std::string target = name ? name : "";
                g_free(name);
                if (!target.empty() && std::find(kMetaTargets.begin(), kMetaTargets.end(),
                                                 target) == kMetaTargets.end()) {
                    targets.push_back(std::move(target));
                }
            }
            self->lastTargets_ = targets;
            request->handler(ClipboardPolicy::typesForTargets(targets));
        },
        new R{weak_from_this(), std::move(handler)});
}

void GtkPasteboard::readText(TextHandler handler) {
    using R = Request<TextHandler>;
    gtk_clipboard_request_text(
        clipboard_,
        [](GtkClipboard*, const gchar* text, gpointer data) {
            std::unique_ptr<R> request(static_cast<R*>(data));
            if (!request->owner.lock()) {
                return;
            }
            request->handler(text ? std::optional<std::string>(text) : std::nullopt);
        },
        new R{weak_from_this(), std::move(handler)});
}

void GtkPasteboard::readData(const std::string& type, DataHandler handler) {
    auto types = ClipboardPolicy::typesForTargets(lastTargets_);
    auto found = std::find(types.begin(), types.end(), type);
    if (found == types.end()) {
        handler(std::nullopt);
        return;
    }
    const auto& target = lastTargets_[found - types.begin()];
    using R = Request<DataHandler>;
    gtk_clipboard_request_contents(
        clipboard_, gdk_atom_intern(target.c_str(), FALSE),
        [](GtkClipboard*, GtkSelectionData* selection, gpointer data) {
            std::unique_ptr<R> request(static_cast<R*>(data));
            if (!request->owner.lock()) {
                return;
            }
            int length = selection ? gtk_selection_data_get_length(selection) : -1;
            if (length < 0) {
                request->handler(std::nullopt);
                return;
            }
            const guchar* bytes = gtk_selection_data_get_data(selection);
            request->handler(Bytes(bytes, bytes + length));
        },
        new R{weak_from_this(), std::move(handler)});
}

void GtkPasteboard::clear() {
    // Clearing only gives up what is ours; the owner change that follows moves the count.
    gtk_clipboard_clear(clipboard_);
}

void GtkPasteboard::writeText(const std::string& text) {
    writeItems({{"public.utf8-plain-text", Bytes(text.begin(), text.end())}});
}

void GtkPasteboard::writeItems(std::vector<Item> items) {
    auto offer = std::make_unique<Offer>();
    GtkTargetList* list = gtk_target_list_new(nullptr, 0);
    bool hasText = false;
    for (auto& item : items) {
        if (ClipboardMime::isText(item.type)) {
            if (!hasText) {
                offer->text.assign(item.data.begin(), item.data.end());
                gtk_target_list_add_text_targets(list, 0);
                hasText = true;
            }
            continue;
        }
        auto target = ClipboardMime::forType(item.type);
        offer->byTarget.emplace_back(target, std::move(item.data));
        gtk_target_list_add(list, gdk_atom_intern(target.c_str(), FALSE), 0,
                            guint(offer->byTarget.size()));
    }
    gint count = 0;
    GtkTargetEntry* targets = gtk_target_table_new_from_list(list, &count);
    gtk_target_list_unref(list);
    // Once set, GTK hands the offer to dropOffer when it is replaced or lost.
    Offer* raw = offer.release();
    bool set =
        gtk_clipboard_set_with_data(clipboard_, targets, guint(count), serveOffer, dropOffer, raw);
    gtk_target_table_free(targets, count);
    if (set) {
        ++changeCount_;
    } else {
        delete raw;
        Log::info("clipboard write failed");
    }
}

void GtkPasteboard::writeImage(Bytes encoded, std::function<void(bool written)> done) {
    auto* job = new ImageJob{weak_from_this(), std::move(encoded), std::move(done), changeCount_};
    GTask* task = g_task_new(nullptr, nullptr, &GtkPasteboard::onImageDecoded, job);
    g_task_set_task_data(task, job, nullptr);
    GLibHandOff::send(job);
    g_task_run_in_thread(task, decodeInThread);
    g_object_unref(task);
}

void GtkPasteboard::onImageDecoded(GObject*, GAsyncResult*, void* data) {
    std::unique_ptr<ImageJob> job(static_cast<ImageJob*>(data));
    GLibHandOff::receive(job.get());
    auto self = job->owner.lock();
    bool written = false;
    if (self && job->pixbuf && self->changeCount_ == job->countAtStart) {
        gtk_clipboard_set_image(self->clipboard_, job->pixbuf);
        ++self->changeCount_;
        written = true;
    }
    if (job->pixbuf) {
        g_object_unref(job->pixbuf);
    }
    if (self) {
        job->done(written);
    }
}

}  // namespace quelm
