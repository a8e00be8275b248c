#include <algorithm>
#include <string>

#include "QuelmCore/ClipImage.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"
#include "QuelmHostKit/server/Peer.hpp"

namespace quelm {

namespace {

// One full piece (ClipChunk::payloadBytes) in bits.
constexpr double kPieceBits = ClipChunk::payloadBytes * 8.0;
constexpr double kDefaultBitrateMbps = 6.0;

const char* boolText(bool value) {
    return value ? "true" : "false";
}

std::string kilobytes(std::size_t bytes) {
    return std::to_string(bytes / 1024) + "KB";
}

}  // namespace

double RemoteServer::imagePieceInterval(const std::optional<StreamConfig>& config) {
    double mbps = config ? config->bitrateMbps : kDefaultBitrateMbps;
    // Images take about 40 % of the video rate, but never crawl below 1 Mbit/s.
    double rate = std::max(mbps * 0.4, 1.0) * 1e6;
    return kPieceBits / rate;
}

bool RemoteServer::acceptsImages() const {
    std::lock_guard lock(imageLock_);
    return imagesWanted_;
}

void RemoteServer::sendClipboard(std::string text) {
    queue_.async(weakCallback(shared_from_this(), [text = std::move(text)](RemoteServer& self) {
        if (!self.clipboardEnabled_ || !self.active_ ||
            text.size() > static_cast<std::size_t>(Wire::maxClipboardBytes)) {
            return;
        }
        self.send(ServerMessage::Clipboard{text}, self.active_, Traffic::clipboard);
    }));
}

void RemoteServer::sendClipboardImage(Bytes data, ClipImageFormat format) {
    queue_.async(
        weakCallback(shared_from_this(), [data = std::move(data), format](RemoteServer& self) {
            bool wanted = self.acceptsImages();
            bool connected = self.active_ != nullptr;
            if (!self.clipboardEnabled_ || !wanted || !connected) {
                Log::info(std::string("clipboard image not sent: sharing ") +
                          boolText(self.clipboardEnabled_) + ", images " + boolText(wanted) +
                          ", connected " + boolText(connected));
                return;
            }
            Log::info("clipboard image to phone: " + kilobytes(data.size()));
            ++self.nextTransfer_;  // unsigned: wraps to 0 after the largest number
            auto chunks = ClipImage::chunks(data, format, self.nextTransfer_);
            // Pieces of an earlier image still waiting are dropped for the new one.
            self.outgoingImage_.assign(std::make_move_iterator(chunks.begin()),
                                       std::make_move_iterator(chunks.end()));
            self.startImageTimer();
        }));
}

void RemoteServer::receivedChunk(const Bytes& message, const std::shared_ptr<Peer>& peer) {
    if (!isActive(peer)) {
        return;
    }
    auto chunk = ClipChunk::decode(message);
    if (!chunk) {
        return;
    }
    auto image = incomingImage_.add(std::move(*chunk));
    if (!image) {
        return;
    }
    Log::info("clipboard image from phone: " + kilobytes(image->data.size()));
    if (!services_.mainQueue) {
        return;
    }
    services_.mainQueue->async([weak = weak_from_this(), image = std::move(*image)]() mutable {
        auto self = weak.lock();
        if (self && self->onImageFromPhone) {
            self->onImageFromPhone(std::move(image.data), image.format);
        }
    });
}

void RemoteServer::clipboardFromPhone(std::string text) {
    Log::info("clipboard text from phone: " + std::to_string(text.size()) + " bytes");
    if (!services_.mainQueue) {
        return;
    }
    services_.mainQueue->async([weak = weak_from_this(), text = std::move(text)]() mutable {
        auto self = weak.lock();
        if (self && self->onClipboardFromPhone) {
            self->onClipboardFromPhone(std::move(text));
        }
    });
}

void RemoteServer::setClipboardSharing(bool enabled) {
    clipboardEnabled_ = enabled;
    if (!enabled) {
        // Sharing off means nothing more of the host clipboard goes out, an image under way
        // included.
        stopImageTimer();
    }
}

void RemoteServer::setImagesWanted(bool wanted) {
    Log::info(std::string("phone takes clipboard images: ") + boolText(wanted));
    {
        std::lock_guard lock(imageLock_);
        imagesWanted_ = wanted;
    }
    if (!wanted) {
        stopImageTimer();
    }
}

void RemoteServer::startImageTimer() {
    // A running timer goes on with the new list.
    if (imageTimer_ || outgoingImage_.empty()) {
        return;
    }
    auto tick =
        weakCallback(shared_from_this(), [](RemoteServer& self) { self.sendNextImagePiece(); });
    imageTimer_ = queue_.every(imagePieceInterval(streamConfig_), tick);
    // The first piece goes at once, unless the timer was stopped or replaced meanwhile.
    std::weak_ptr<RepeatingTimer> timer = imageTimer_;
    queue_.async(weakCallback(shared_from_this(), [timer](RemoteServer& self) {
        auto current = timer.lock();
        if (current && current == self.imageTimer_) {
            self.sendNextImagePiece();
        }
    }));
}

void RemoteServer::stopImageTimer() {
    if (imageTimer_) {
        imageTimer_->cancel();
        imageTimer_ = nullptr;
    }
    outgoingImage_.clear();
}

void RemoteServer::sendNextImagePiece() {
    if (!active_ || outgoingImage_.empty()) {
        stopImageTimer();
        return;
    }
    ClipChunk chunk = std::move(outgoingImage_.front());
    outgoingImage_.pop_front();
    active_->sendBinary(chunk.encoded(), Traffic::clipboard);
    if (chunk.index + 1 == chunk.count) {
        Log::info("clipboard image sent: " + std::to_string(chunk.count) + " pieces");
    }
}

}  // namespace quelm
