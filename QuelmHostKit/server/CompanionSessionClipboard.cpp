#include <algorithm>
#include <iterator>
#include <string>

#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/server/CompanionSession.hpp"

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

double CompanionSession::imagePieceInterval(const std::optional<StreamConfig>& config) {
    double mbps = config ? config->bitrateMbps : kDefaultBitrateMbps;
    // Images take about 40 % of the video rate, but never crawl below 1 Mbit/s.
    double rate = std::max(mbps * 0.4, 1.0) * 1e6;
    return kPieceBits / rate;
}

void CompanionSession::logImageNotSent(bool sharing, bool images, bool connected) {
    Log::info(std::string("clipboard image not sent: sharing ") + boolText(sharing) + ", images " +
              boolText(images) + ", connected " + boolText(connected));
}

void CompanionSession::sendClipboard(const std::string& text) {
    if (ended_ || !clipboardEnabled_ ||
        text.size() > static_cast<std::size_t>(Wire::maxClipboardBytes)) {
        return;
    }
    send(ServerMessage::Clipboard{text}, Traffic::clipboard);
}

void CompanionSession::sendClipboardImage(const Bytes& data, ClipImageFormat format) {
    // An ended session still answers with the switches its companion left behind.
    if (ended_ || !clipboardEnabled_ || !imagesWanted_) {
        logImageNotSent(clipboardEnabled_, imagesWanted_, !ended_);
        return;
    }
    Log::info("clipboard image to phone: " + kilobytes(data.size()));
    ++lastTransfer_;  // unsigned: wraps to 0 after the largest number
    auto chunks = ClipImage::chunks(data, format, lastTransfer_);
    // Pieces of an earlier image still waiting are dropped for the new one.
    outgoingImage_.assign(std::make_move_iterator(chunks.begin()),
                          std::make_move_iterator(chunks.end()));
    startImageTimer();
}

void CompanionSession::receivedChunk(const Bytes& message) {
    auto chunk = ClipChunk::decode(message);
    if (!chunk) {
        return;
    }
    auto image = incomingImage_.add(std::move(*chunk));
    if (!image) {
        return;
    }
    Log::info("clipboard image from phone: " + kilobytes(image->data.size()));
    if (services_.onImage) {
        services_.onImage(std::move(*image));
    }
}

void CompanionSession::clipboardFromPhone(std::string text) {
    // Passed on whether or not sharing is on: the switch only gates what the host sends.
    Log::info("clipboard text from phone: " + std::to_string(text.size()) + " bytes");
    if (services_.onClipboardText) {
        services_.onClipboardText(std::move(text));
    }
}

void CompanionSession::setClipboardSharing(bool enabled) {
    clipboardEnabled_ = enabled;
    if (!enabled) {
        // Sharing off means nothing more of the host clipboard goes out, an image under way
        // included.
        stopImageTimer();
    }
}

void CompanionSession::setImagesWanted(bool wanted, bool log) {
    if (log) {
        Log::info(std::string("phone takes clipboard images: ") + boolText(wanted));
    }
    imagesWanted_ = wanted;
    if (services_.onImagesWanted) {
        services_.onImagesWanted(wanted);
    }
    if (!wanted) {
        stopImageTimer();
    }
}

void CompanionSession::startImageTimer() {
    // A running timer goes on with the new list.
    if (imageTimer_ || outgoingImage_.empty()) {
        return;
    }
    auto self = shared_from_this();
    imageTimer_ = services_.queue->every(
        imagePieceInterval(streamConfig_),
        weakCallback(self, [](CompanionSession& session) { session.sendNextImagePiece(); }));
    // The first piece goes at once, unless the timer was stopped or replaced meanwhile.
    std::weak_ptr<RepeatingTimer> timer = imageTimer_;
    services_.queue->async(weakCallback(self, [timer](CompanionSession& session) {
        auto current = timer.lock();
        if (current && current == session.imageTimer_) {
            session.sendNextImagePiece();
        }
    }));
}

void CompanionSession::stopImageTimer() {
    if (imageTimer_) {
        imageTimer_->cancel();
        imageTimer_ = nullptr;
    }
    outgoingImage_.clear();
}

void CompanionSession::sendNextImagePiece() {
    if (ended_ || outgoingImage_.empty()) {
        stopImageTimer();
        return;
    }
    ClipChunk chunk = std::move(outgoingImage_.front());
    outgoingImage_.pop_front();
    connection_->sendBinary(chunk.encoded(), Traffic::clipboard);
    if (chunk.index + 1 == chunk.count) {
        Log::info("clipboard image sent: " + std::to_string(chunk.count) + " pieces");
    }
}

}  // namespace quelm
