#include "QuelmHostKit/clipboard/ClipboardBridge.hpp"

#include <string_view>

#include "QuelmCore/ClipImage.hpp"
#include "QuelmCore/ClipboardPolicy.hpp"
#include "QuelmCore/Messages.hpp"
#include "QuelmHostKit/clipboard/ClipImagePreparer.hpp"

namespace quelm {

std::shared_ptr<ClipboardBridge> ClipboardBridge::create(std::shared_ptr<Pasteboard> pasteboard,
                                                         std::shared_ptr<SerialQueue> mainQueue,
                                                         std::shared_ptr<SerialQueue> imageQueue,
                                                         std::shared_ptr<ImageCodec> codec) {
    return std::shared_ptr<ClipboardBridge>(new ClipboardBridge(
        std::move(pasteboard), std::move(mainQueue), std::move(imageQueue), std::move(codec)));
}

ClipboardBridge::ClipboardBridge(std::shared_ptr<Pasteboard> pasteboard,
                                 std::shared_ptr<SerialQueue> mainQueue,
                                 std::shared_ptr<SerialQueue> imageQueue,
                                 std::shared_ptr<ImageCodec> codec)
    : pasteboard_(std::move(pasteboard)),
      mainQueue_(std::move(mainQueue)),
      imageQueue_(std::move(imageQueue)),
      codec_(std::move(codec)),
      // What was on the clipboard before we started is never shared.
      lastChange_(pasteboard_->changeCount()) {}

void ClipboardBridge::start(double interval) {
    timer_ = mainQueue_->every(
        interval, weakCallback(shared_from_this(), [](ClipboardBridge& self) { self.poll(); }));
}

void ClipboardBridge::stop() {
    if (timer_) {
        timer_->cancel();
        timer_.reset();
    }
}

bool ClipboardBridge::isShareable(std::span<const std::string> types) {
    return ClipboardPolicy::shouldShare(types);
}

void ClipboardBridge::poll() {
    auto change = pasteboard_->changeCount();
    if (change == lastChange_) {
        return;
    }
    // Each change is looked at once, whatever comes of it.
    lastChange_ = change;
    pasteboard_->readTypes(weakCallback(
        shared_from_this(), [change](ClipboardBridge& self, std::vector<std::string> types) {
            self.examine(change, std::move(types));
        }));
}

bool ClipboardBridge::stillCurrent(std::uint64_t change) const {
    return pasteboard_->changeCount() == change;
}

void ClipboardBridge::examine(std::uint64_t change, std::vector<std::string> types) {
    if (!stillCurrent(change)) {
        return;
    }
    if (ClipboardPolicy::shouldShare(types)) {
        // Shareable text wins: such a change is never looked at for images.
        pasteboard_->readText(weakCallback(
            shared_from_this(), [change](ClipboardBridge& self, std::optional<std::string> text) {
                self.offerText(change, std::move(text));
            }));
        return;
    }
    if (!wantsImages()) {
        return;
    }
    auto type = ClipboardPolicy::imageType(types);
    if (!type) {
        return;
    }
    pasteboard_->readData(*type,
                          weakCallback(shared_from_this(),
                                       [change](ClipboardBridge& self, std::optional<Bytes> data) {
                                           self.takeImage(change, std::move(data));
                                       }));
}

void ClipboardBridge::offerText(std::uint64_t change, std::optional<std::string> text) {
    if (!stillCurrent(change) || !text || text->empty() ||
        text->size() > static_cast<std::size_t>(Wire::maxClipboardBytes)) {
        return;
    }
    if (onCopy) {
        onCopy(std::move(*text));
    }
}

void ClipboardBridge::takeImage(std::uint64_t change, std::optional<Bytes> data) {
    if (!stillCurrent(change) || !data) {
        return;
    }
    SeenImage seen;
    seen.size = data->size();
    seen.hash = std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    seen.time = mainQueue_->now();
    if (lastImage_ && lastImage_->size == seen.size && lastImage_->hash == seen.hash &&
        seen.time - lastImage_->time < imageRepeatSeconds) {
        return;  // the same image was taken moments ago
    }
    // Remembered before preparing, so an image that cannot be prepared is not retried at once.
    lastImage_ = seen;
    imageQueue_->async(
        [weak = weak_from_this(), codec = codec_, mainQueue = mainQueue_, data = std::move(*data)] {
            auto prepared = ClipImage::prepare(data, ClipImage::maxBytes, *codec);
            if (!prepared) {
                return;
            }
            mainQueue->async([weak, prepared = std::move(*prepared)]() mutable {
                auto self = weak.lock();
                if (self && self->onImage) {
                    self->onImage(std::move(prepared.data), prepared.format);
                }
            });
        });
}

void ClipboardBridge::setFromPhone(const std::string& text) {
    pasteboard_->writeText(text);
    lastChange_ = pasteboard_->changeCount();
}

void ClipboardBridge::setFromPhoneImage(Bytes image) {
    pasteboard_->writeImage(
        std::move(image), weakCallback(shared_from_this(), [](ClipboardBridge& self, bool written) {
            if (written) {
                self.lastChange_ = self.pasteboard_->changeCount();
            }
        }));
}

}  // namespace quelm
