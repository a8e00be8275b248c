#include <gtest/gtest.h>

#include <string>
#include <vector>

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
