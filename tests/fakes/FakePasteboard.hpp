#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QuelmHostKit/platform/Pasteboard.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm::test {

// A clipboard in memory. Read handlers and image writes complete as tasks on `queue` (the
// main queue of the test), never inline, the way a real clipboard answers later. `copy()`
// plays another program copying.
class FakePasteboard final : public Pasteboard {
  public:
    explicit FakePasteboard(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}

    // Another program copies these representations.
    void copy(std::vector<Item> items);
    void copyText(const std::string& text, std::vector<std::string> extraTypes = {});

    const std::vector<Item>& items() const { return items_; }
    std::optional<std::string> text() const;
    std::vector<std::string> typeList() const;

    // Which bytes count as an image; by default PNG and JPEG signatures.
    std::function<bool(const Bytes&)> decodes;
    int dataReads = 0;

    std::uint64_t changeCount() const override { return changeCount_; }
    void readTypes(TypesHandler handler) override;
    void readText(TextHandler handler) override;
    void readData(const std::string& type, DataHandler handler) override;
    void clear() override;
    void writeText(const std::string& text) override;
    void writeItems(std::vector<Item> items) override;
    void writeImage(Bytes encoded, std::function<void(bool written)> done) override;

  private:
    std::shared_ptr<SerialQueue> queue_;
    std::vector<Item> items_;
    std::uint64_t changeCount_ = 1;
};

}  // namespace quelm::test
