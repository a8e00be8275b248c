#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "QuelmHostKit/platform/Pasteboard.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

// The clipboard of whichever Pasteboard is current. Its change count only ever grows: a
// replacement counts as one change, so the new clipboard is looked at once and a count that
// starts again from zero is never mistaken for the old one. Without a pasteboard the clipboard
// is empty and writes go nowhere; answers still come on `mainQueue`.
//
// Thread: main thread, as every pasteboard; replace() from any thread.
class ReplaceablePasteboard final : public Pasteboard {
  public:
    ReplaceablePasteboard(std::shared_ptr<Pasteboard> pasteboard,
                          std::shared_ptr<SerialQueue> mainQueue);

    void replace(std::shared_ptr<Pasteboard> pasteboard);
    std::shared_ptr<Pasteboard> current() const;

    std::uint64_t changeCount() const override;
    void readTypes(TypesHandler handler) override;
    void readText(TextHandler handler) override;
    void readData(const std::string& type, DataHandler handler) override;
    void clear() override;
    void writeText(const std::string& text) override;
    void writeItems(std::vector<Item> items) override;
    void writeImage(Bytes encoded, std::function<void(bool written)> done) override;

  private:
    const std::shared_ptr<SerialQueue> mainQueue_;
    mutable std::mutex mutex_;
    std::shared_ptr<Pasteboard> current_;
    // Added to the current pasteboard's own count.
    std::uint64_t base_ = 0;
};

}  // namespace quelm
