#pragma once

#include <cstddef>
#include <deque>

#include "QuelmCore/Bytes.hpp"

namespace quelm {

// What an outgoing message carries; decides what may be dropped when a peer reads too slowly.
enum class Traffic {
    control,    // JSON replies and reports: never dropped
    video,      // frames: never dropped (a lost frame breaks decoding); paced upstream by acks
    audio,      // packets (AudioPacket bytes): the oldest are dropped first, their cookie kept
    cursor,     // pointer reports: a queued one is replaced by the newest
    clipboard,  // clipboard text and image chunks: never dropped
};

// Bounds of one peer's send queue and connection.
struct PeerLimits {
    // All queued bytes; beyond it droppable messages go, and if that is not enough the peer
    // is closed.
    std::size_t maxQueuedBytes = 32u << 20;
    // Audio queued beyond this is dropped oldest first, so late sound never piles up.
    std::size_t maxQueuedAudioBytes = 256u << 10;
    // Largest incoming WebSocket message.
    std::size_t maxMessageBytes = 65536;
    // Time the closing handshake may take before the socket is simply closed.
    double closeTimeout = 2.0;
};

// The bounded send queue of one peer: messages wait here while one is on the wire.
// Not thread-safe: the owner's strand serialises it.
class PeerSendQueue {
  public:
    struct Message {
        Bytes data;
        bool text = false;
        Traffic traffic = Traffic::control;
        // Close the connection once this message has gone out.
        bool thenClose = false;
    };

    explicit PeerSendQueue(PeerLimits limits) : limits_(limits) {}

    // Queues the message, dropping what may be dropped to stay within the bounds. False when
    // even that is not enough: the peer must be closed.
    bool push(Message message);

    bool empty() const { return messages_.empty(); }
    // The message to write next, or the one on the wire.
    const Message& front() const { return messages_.front(); }
    // The front message is being written: nothing may drop it now.
    void startWriting() { writing_ = true; }
    bool writing() const { return writing_; }
    // The front message has been written (or failed); it leaves the queue.
    Message finishWriting();
    // Drops everything but the message on the wire.
    void dropWaiting();

    std::size_t bytes() const { return bytes_; }
    std::size_t size() const { return messages_.size(); }

  private:
    std::size_t firstWaiting() const { return writing_ ? 1 : 0; }
    void drop(std::size_t index);
    // Drops the audio message at `index`, its decoder configuration moved onto the next one;
    // false (nothing dropped) when there is no next one to take it.
    bool dropAudio(std::size_t index);
    bool makeRoom();

    PeerLimits limits_;
    std::deque<Message> messages_;
    std::size_t bytes_ = 0;
    std::size_t audioBytes_ = 0;
    bool writing_ = false;
};

}  // namespace quelm
