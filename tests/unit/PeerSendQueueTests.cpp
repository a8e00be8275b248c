#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QuelmCore/AudioPacket.hpp"
#include "QuelmHostKit/server/PeerSendQueue.hpp"

namespace quelm::test {
namespace {

PeerSendQueue::Message message(Traffic traffic, std::size_t size, std::uint8_t mark = 0) {
    return {Bytes(size, mark), traffic != Traffic::video && traffic != Traffic::audio, traffic,
            false};
}

// The marks of the queued messages, front first.
std::vector<int> marks(PeerSendQueue queue) {
    std::vector<int> seen;
    while (!queue.empty()) {
        auto m = queue.finishWriting();
        seen.push_back(m.data.empty() ? -1 : m.data.front());
    }
    return seen;
}

PeerLimits limits(std::size_t total, std::size_t audio) {
    PeerLimits l;
    l.maxQueuedBytes = total;
    l.maxQueuedAudioBytes = audio;
    return l;
}

TEST(PeerSendQueue, NewestCursorReplacesAWaitingOneButNotTheOneOnTheWire) {
    PeerSendQueue queue(limits(1000, 1000));
    ASSERT_TRUE(queue.push(message(Traffic::cursor, 10, 1)));
    queue.startWriting();
    ASSERT_TRUE(queue.push(message(Traffic::cursor, 10, 2)));
    ASSERT_TRUE(queue.push(message(Traffic::control, 10, 3)));
    ASSERT_TRUE(queue.push(message(Traffic::cursor, 10, 4)));
    EXPECT_EQ(queue.bytes(), 30u);
    EXPECT_EQ(marks(queue), (std::vector<int>{1, 3, 4}));
}

TEST(PeerSendQueue, AudioBeyondItsBoundDropsOldestFirst) {
    PeerSendQueue queue(limits(1000, 25));
    for (std::uint8_t i = 1; i <= 5; ++i) {
        ASSERT_TRUE(queue.push(message(Traffic::audio, 10, i)));
        ASSERT_TRUE(queue.push(message(Traffic::control, 1, 100 + i)));
    }
    EXPECT_EQ(marks(queue), (std::vector<int>{101, 102, 103, 4, 104, 5, 105}));
}

PeerSendQueue::Message audio(std::uint32_t seq, Bytes cookie = {}) {
    AudioPacket packet{seq, std::move(cookie), {Bytes(20, static_cast<std::uint8_t>(seq))}};
    return {*packet.encoded(), false, Traffic::audio, false};
}

// The audio packets left in the queue, front first.
std::vector<AudioPacket> packets(PeerSendQueue queue) {
    std::vector<AudioPacket> seen;
    while (!queue.empty()) {
        auto m = queue.finishWriting();
        if (m.traffic == Traffic::audio) {
            seen.push_back(*AudioPacket::decode(m.data));
        }
    }
    return seen;
}

std::vector<std::uint32_t> seqs(const std::vector<AudioPacket>& list) {
    std::vector<std::uint32_t> out;
    for (const auto& p : list) {
        out.push_back(p.seq);
    }
    return out;
}

TEST(PeerSendQueue, DroppedAudioHandsItsCookieToTheNextPacket) {
    const Bytes cookie{0x11, 0x90};
    const std::size_t plain = audio(0).data.size();
    // Room for two plain packets only, under either bound.
    for (bool audioBound : {true, false}) {
        SCOPED_TRACE(audioBound ? "audio bound" : "total bound");
        PeerSendQueue queue(audioBound ? limits(1000, 2 * plain + 2) : limits(2 * plain + 2, 1000));
        ASSERT_TRUE(queue.push(audio(1, cookie)));
        ASSERT_TRUE(queue.push(audio(2)));
        ASSERT_TRUE(queue.push(audio(3)));
        ASSERT_TRUE(queue.push(audio(4)));
        auto left = packets(queue);
        EXPECT_EQ(seqs(left), (std::vector<std::uint32_t>{3, 4}));
        ASSERT_EQ(left.size(), 2u);
        EXPECT_EQ(left[0].cookie, cookie);
        EXPECT_EQ(left[0].units, std::vector<Bytes>{Bytes(20, 3)});
        EXPECT_TRUE(left[1].cookie.empty());
    }
    // Byte counts follow the grown packet.
    PeerSendQueue counted(limits(1000, 2 * plain + 2));
    for (std::uint32_t seq = 1; seq <= 4; ++seq) {
        ASSERT_TRUE(counted.push(seq == 1 ? audio(1, cookie) : audio(seq)));
    }
    EXPECT_EQ(counted.bytes(), 2 * plain + cookie.size());
}

TEST(PeerSendQueue, CookieStaysWhenNoLaterPacketCanTakeIt) {
    const Bytes oldCookie{1}, newCookie{2};
    const std::size_t plain = audio(0).data.size();
    // A newer encoder's own cookie supersedes the old one, which goes with its packet.
    PeerSendQueue renewed(limits(1000, plain + 2));
    ASSERT_TRUE(renewed.push(audio(1, oldCookie)));
    ASSERT_TRUE(renewed.push(audio(2, newCookie)));
    auto left = packets(renewed);
    ASSERT_EQ(seqs(left), std::vector<std::uint32_t>{2});
    EXPECT_EQ(left[0].cookie, newCookie);

    // The newest packet with a cookie stays even beyond the bound.
    PeerSendQueue alone(limits(1000, 10));
    ASSERT_TRUE(alone.push(audio(1)));
    ASSERT_TRUE(alone.push(audio(2, oldCookie)));
    EXPECT_EQ(seqs(packets(alone)), std::vector<std::uint32_t>{2});
}

TEST(PeerSendQueue, FullQueueDropsDroppablesBeforeGivingUp) {
    PeerSendQueue queue(limits(100, 100));
    ASSERT_TRUE(queue.push(message(Traffic::audio, 30, 1)));
    queue.startWriting();  // on the wire: stays
    ASSERT_TRUE(queue.push(message(Traffic::audio, 30, 2)));
    ASSERT_TRUE(queue.push(message(Traffic::cursor, 10, 3)));
    // A frame that fits only once the waiting audio and cursor are gone.
    ASSERT_TRUE(queue.push(message(Traffic::video, 70, 4)));
    EXPECT_EQ(queue.bytes(), 100u);
    EXPECT_EQ(marks(queue), (std::vector<int>{1, 4}));
}

TEST(PeerSendQueue, OverflowOfUndroppableTrafficIsReported) {
    for (auto traffic : {Traffic::video, Traffic::control, Traffic::clipboard}) {
        PeerSendQueue queue(limits(100, 100));
        ASSERT_TRUE(queue.push(message(traffic, 60)));
        EXPECT_FALSE(queue.push(message(traffic, 60)));
    }
}

TEST(PeerSendQueue, DropWaitingKeepsOnlyTheMessageOnTheWire) {
    PeerSendQueue queue(limits(1000, 1000));
    ASSERT_TRUE(queue.push(message(Traffic::video, 10, 1)));
    ASSERT_TRUE(queue.push(message(Traffic::control, 10, 2)));
    queue.startWriting();
    queue.dropWaiting();
    EXPECT_EQ(queue.bytes(), 10u);
    EXPECT_EQ(marks(queue), (std::vector<int>{1}));

    PeerSendQueue idle(limits(1000, 1000));
    ASSERT_TRUE(idle.push(message(Traffic::video, 10, 1)));
    idle.dropWaiting();
    EXPECT_TRUE(idle.empty());
    EXPECT_EQ(idle.bytes(), 0u);
}

}  // namespace
}  // namespace quelm::test
