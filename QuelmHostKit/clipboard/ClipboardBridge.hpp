#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/ClipImageFormat.hpp"
#include "QuelmHostKit/platform/ImageCodec.hpp"
#include "QuelmHostKit/platform/Pasteboard.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

// Connects the desktop clipboard with the connection server: notices host copies by polling
// the change count, lets the clipboard policy decide what may leave, prepares images on the
// image queue, and writes companion text and images without offering them back.
// Thread: main queue for everything public and for the callbacks; image preparation runs on
// `imageQueue`. Owned by a shared_ptr; timers and pending reads hold it weakly.
class ClipboardBridge final : public std::enable_shared_from_this<ClipboardBridge> {
  public:
    // An image seen within this many seconds with the same size and hash is not taken again.
    static constexpr double imageRepeatSeconds = 5;

    static std::shared_ptr<ClipboardBridge> create(std::shared_ptr<Pasteboard> pasteboard,
                                                   std::shared_ptr<SerialQueue> mainQueue,
                                                   std::shared_ptr<SerialQueue> imageQueue,
                                                   std::shared_ptr<ImageCodec> codec);

    std::function<void(std::string)> onCopy;
    std::function<void(Bytes, ClipImageFormat)> onImage;
    std::function<bool()> wantsImages = [] { return false; };

    // Polls every `interval` seconds; a running timer is replaced.
    void start(double interval);
    void stop();

    void setFromPhone(const std::string& text);
    void setFromPhoneImage(Bytes image);

    static bool isShareable(std::span<const std::string> types);

  private:
    struct SeenImage {
        std::size_t size = 0;
        std::size_t hash = 0;
        double time = 0;
    };

    ClipboardBridge(std::shared_ptr<Pasteboard> pasteboard, std::shared_ptr<SerialQueue> mainQueue,
                    std::shared_ptr<SerialQueue> imageQueue, std::shared_ptr<ImageCodec> codec);

    void poll();
    void examine(std::uint64_t change, std::vector<std::string> types);
    void offerText(std::uint64_t change, std::optional<std::string> text);
    void takeImage(std::uint64_t change, std::optional<Bytes> data);
    // False once the content moved on after `change`: the next poll looks at the new one.
    bool stillCurrent(std::uint64_t change) const;

    std::shared_ptr<Pasteboard> pasteboard_;
    std::shared_ptr<SerialQueue> mainQueue_;
    std::shared_ptr<SerialQueue> imageQueue_;
    std::shared_ptr<ImageCodec> codec_;
    std::optional<SeenImage> lastImage_;
    std::uint64_t lastChange_;
    std::shared_ptr<RepeatingTimer> timer_;
};

}  // namespace quelm
