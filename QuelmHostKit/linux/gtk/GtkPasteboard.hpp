#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelmHostKit/platform/Pasteboard.hpp"

typedef struct _GtkClipboard GtkClipboard;
typedef struct _GObject GObject;
typedef struct _GAsyncResult GAsyncResult;
typedef union _GdkEvent GdkEvent;

namespace quelm {

// The X11 CLIPBOARD selection through GTK's clipboard. The change count moves on every change
// of owner that XFixes reports, and at once for our own writes (whose own owner-change events
// are then not counted again), so a poll right after a write sees it as ours. Targets are
// named as the clipboard policy reads them (ClipboardPolicy::typesForTargets). Reads never
// wait: GTK answers on the main loop. Companion images are decoded with gdk-pixbuf on GLib's
// worker threads and land only if nothing was written meanwhile.
// Thread: the GTK main thread only; GTK must be initialised on an X11 display.
class GtkPasteboard final : public Pasteboard, public std::enable_shared_from_this<GtkPasteboard> {
  public:
    // Empty without a GTK display.
    static std::shared_ptr<GtkPasteboard> create();
    ~GtkPasteboard() override;
    GtkPasteboard(const GtkPasteboard&) = delete;
    GtkPasteboard& operator=(const GtkPasteboard&) = delete;

    std::uint64_t changeCount() const override { return changeCount_; }
    void readTypes(TypesHandler handler) override;
    void readText(TextHandler handler) override;
    void readData(const std::string& type, DataHandler handler) override;
    void clear() override;
    void writeText(const std::string& text) override;
    void writeItems(std::vector<Item> items) override;
    void writeImage(Bytes encoded, std::function<void(bool written)> done) override;

  private:
    explicit GtkPasteboard(GtkClipboard* clipboard);
    static void onOwnerChange(GtkClipboard* clipboard, GdkEvent* event, void* self);
    static void onImageDecoded(GObject* source, GAsyncResult* result, void* job);

    GtkClipboard* clipboard_;
    unsigned long ownerChangeHandler_ = 0;
    std::uint64_t changeCount_ = 0;
    // Targets of the last types read, to find the target behind a type.
    std::vector<std::string> lastTargets_;
};

}  // namespace quelm
