#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quelm
