#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "QuelmHostKit/platform/Pasteboard.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

class ThreadQueue;
class WaylandConnection;

// The clipboard of a wlroots desktop through wlr-data-control, which lets a client without a
// window read and set the selection. The change count moves on every new selection, and at
// once for our own writes (whose own selection event is then not counted again). MIME types
// are named as the clipboard policy reads them (ClipboardPolicy::typesForTargets), so
// concealed content stays concealed. The bytes travel through pipes on a thread of their own
// ("quelmix.wl.clip"), each transfer bounded in time and size; answers come on the main queue.
// Images from the companion are offered as they came (PNG or JPEG), without decoding.
//
// Thread: the main queue's thread, like every pasteboard; protocol work on the connection's
// event thread.
class WlrPasteboard final : public Pasteboard, public std::enable_shared_from_this<WlrPasteboard> {
  public:
    static constexpr double transferTimeout = 2.0;
    static constexpr std::size_t readLimit = 32 * 1024 * 1024;

    // Nothing when the compositor has no data-control manager or no seat.
    static std::shared_ptr<WlrPasteboard> create(std::shared_ptr<WaylandConnection> connection,
                                                 std::shared_ptr<SerialQueue> mainQueue);
    ~WlrPasteboard() override;
    WlrPasteboard(const WlrPasteboard&) = delete;
    WlrPasteboard& operator=(const WlrPasteboard&) = delete;

    std::uint64_t changeCount() const override { return changeCount_; }
    void readTypes(TypesHandler handler) override;
    void readText(TextHandler handler) override;
    void readData(const std::string& type, DataHandler handler) override;
    void clear() override;
    void writeText(const std::string& text) override;
    void writeItems(std::vector<Item> items) override;
    void writeImage(Bytes encoded, std::function<void(bool written)> done) override;

    // The MIME types an item of this pasteboard type is offered as.
    static std::vector<std::string> mimeTypesFor(const std::string& type);

  private:
    struct State;

    WlrPasteboard(std::shared_ptr<WaylandConnection> connection,
                  std::shared_ptr<SerialQueue> mainQueue);
    // Reads the selection as `mime` (empty: nothing to read) and answers on the main queue.
    void receive(const std::string& mime, DataHandler handler);

    std::shared_ptr<WaylandConnection> connection_;
    std::shared_ptr<SerialQueue> mainQueue_;
    std::shared_ptr<ThreadQueue> transfers_;
    std::atomic<std::uint64_t> changeCount_{0};
    std::unique_ptr<State> state_;  // event thread only
};

}  // namespace quelm
