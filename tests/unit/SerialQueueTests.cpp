#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/ManualQueue.hpp"

namespace quelm {
namespace {

TEST(ManualQueue, RunsTasksAtTheirDueTimeInOrder) {
    test::ManualQueue queue;
    std::vector<int> order;
    queue.after(2.0, [&] { order.push_back(2); });
    queue.async([&] { order.push_back(0); });
    queue.after(1.0, [&] { order.push_back(1); });
    queue.after(1.0, [&] { order.push_back(11); });

    EXPECT_EQ(queue.runPending(), 1);
    EXPECT_EQ(queue.advance(0.999), 0);
    EXPECT_EQ(queue.advance(0.001), 2);
    EXPECT_EQ(queue.advance(5), 1);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 11, 2}));
}

TEST(RepeatingTimer, FiresEachIntervalUntilCancelledOrReleased) {
    test::ManualQueue queue;
    int ticks = 0;
    auto timer = queue.every(0.5, [&] { ++ticks; });
    queue.advance(0.4);
    EXPECT_EQ(ticks, 0);
    queue.advance(1.1);
    EXPECT_EQ(ticks, 3);
    timer->cancel();
    queue.advance(2);
    EXPECT_EQ(ticks, 3);

    int other = 0;
    auto released = queue.every(1.0, [&] { ++other; });
    queue.advance(1.0);
    released.reset();
    queue.advance(5.0);
    EXPECT_EQ(other, 1);
}

TEST(WeakCallback, DoesNothingOnceTheOwnerIsGone) {
    struct Owner {
        int calls = 0;
    };
    auto owner = std::make_shared<Owner>();
    auto callback = weakCallback(owner, [](Owner& o, int n) { o.calls += n; });
    callback(2);
    EXPECT_EQ(owner->calls, 2);
    owner.reset();
    callback(5);  // must not crash
}

TEST(WeakCallback, QueuedCallHopsOntoTheQueueAndHoldsNothing) {
    struct Owner {
        std::vector<std::string> seen;
    };
    auto queue = std::make_shared<test::ManualQueue>();
    auto owner = std::make_shared<Owner>();
    auto callback = weakCallback(
        queue, owner, [](Owner& o, std::string text) { o.seen.push_back(std::move(text)); });

    std::thread([&] { callback(std::string("from another thread")); }).join();
    EXPECT_TRUE(owner->seen.empty());
    queue->runPending();
    EXPECT_EQ(owner->seen, std::vector<std::string>{"from another thread"});

    // A call still waiting on the queue does not keep the owner alive, and then does nothing.
    callback(std::string("late"));
    std::weak_ptr<Owner> weak = owner;
    owner.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(queue->runPending(), 1);

    // With the queue gone too, a call is simply dropped.
    std::weak_ptr<test::ManualQueue> weakQueue = queue;
    queue.reset();
    EXPECT_TRUE(weakQueue.expired());
    callback(std::string("after the queue"));
}

}  // namespace
}  // namespace quelm
