#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QuelmHostKit/linux/wayland/mutter/MutterDesktop.hpp"
#include "QuelmHostKit/platform/Pasteboard.hpp"

typedef struct _GCancellable GCancellable;

namespace quelm {

// The desktop clipboard through the selection methods of mutter's RemoteDesktop session (a
// Wayland client sees the clipboard only while it has the keyboard focus). Mime types are named
// as the clipboard policy reads them (ClipboardPolicy::typesForTargets), so a password manager's
// hint keeps content concealed as on X11.
//
// The change count moves when mutter reports a new owner that is not this session, and at once
// for our own writes. Neither direction waits: a read's content comes through a pipe on the main
// loop, cut off at `maximumRead` bytes or after `transferTimeoutMs`; our own content is written
// into the pipe of each transfer mutter asks for on the mutter thread's loop, with the same
// time-out, and a session's end cuts its transfers short.
//
// Thread: the GTK main thread, except for what mutter's signals do on the mutter thread.
class MutterPasteboard final : public Pasteboard,
                               public std::enable_shared_from_this<MutterPasteboard> {
  public:
    static constexpr std::size_t maximumRead = 64 * 1024 * 1024;
    // How long a transfer through a pipe may take, either way.
    static constexpr unsigned transferTimeoutMs = 5000;

    // Listens to the desktop's session signals: create it before the desktop starts.
    static std::shared_ptr<MutterPasteboard> create(std::shared_ptr<MutterDesktop> desktop);
    ~MutterPasteboard() override;
    MutterPasteboard(const MutterPasteboard&) = delete;
    MutterPasteboard& operator=(const MutterPasteboard&) = delete;

    std::uint64_t changeCount() const override { return changeCount_; }
    void readTypes(TypesHandler handler) override;
    void readText(TextHandler handler) override;
    void readData(const std::string& type, DataHandler handler) override;
    void clear() override;
    void writeText(const std::string& text) override;
    void writeItems(std::vector<Item> items) override;
    void writeImage(Bytes encoded, std::function<void(bool written)> done) override;

    // The mime types a write of these types offers, in order, each with the index of its item.
    static std::vector<std::pair<std::string, std::size_t>> offeredMimeTypes(
        const std::vector<Item>& items);

  private:
    explicit MutterPasteboard(std::shared_ptr<MutterDesktop> desktop);
    void onSignal(const std::string& signal, GVariant* parameters);
    // Answers one transfer of our content to a desktop client (mutter thread).
    void serve(const std::string& mime, std::uint32_t serial);
    // Offers these mime types as the desktop's clipboard, or unsets ours when there are none.
    void setSelection(const std::vector<std::string>& mimes);
    // Cuts short the transfers of the session that ended (mutter thread).
    void sessionEnded();
    void read(const std::string& mime, std::function<void(std::optional<Bytes>)> done);
    // The mime types of the current content.
    std::vector<std::string> mimeTypes();

    std::shared_ptr<MutterDesktop> desktop_;
    std::atomic<std::uint64_t> changeCount_{0};

    std::mutex mutex_;
    std::vector<std::string> ownerTypes_;
    bool ours_ = false;
    // Our content by mime type; types of one item share its bytes.
    std::map<std::string, std::shared_ptr<const Bytes>> offer_;
    // Cancelled when a session ends (mutter thread only).
    GCancellable* serving_ = nullptr;
};

}  // namespace quelm
