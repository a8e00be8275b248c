#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QuelmHostKit/linux/SessionReconnector.hpp"
#include "QuelmHostKit/platform/ReplaceablePasteboard.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/Eventually.hpp"
#include "tests/fakes/FakePasteboard.hpp"
#include "tests/fakes/ManualQueue.hpp"

namespace quelm {
namespace {

// A display server that is away for a while: the reconnector tries until it is back, says so
// once per reason in the log, and a loss reported during the attempt that succeeded is a new
// loss, tried again.
TEST(SessionReconnectorTest, TriesUntilBackLogsEachReasonOnceAndCatchesALossDuringAnAttempt) {
    test::CapturingLogSink::Scope log;
    std::atomic<int> attempts{0};
    std::unique_ptr<SessionReconnector> reconnector;
    const std::vector<std::optional<std::string>> answers = {
        "refused", "refused", "refused", "no screencopy", std::nullopt, std::nullopt};
    reconnector = std::make_unique<SessionReconnector>(SessionReconnector::Options{
        "test.ret", "the compositor", 0.001, 0.004, [&]() -> std::optional<std::string> {
            const int attempt = attempts++;
            if (attempt == 4) {
                reconnector->lost();  // the new connection is lost at once
            }
            return answers[static_cast<std::size_t>(std::min(attempt, 5))];
        }});
    EXPECT_EQ(attempts, 0) << "nothing is tried before a loss";
    reconnector->lost();
    ASSERT_TRUE(log.sink().waitFor("the compositor is back"));
    ASSERT_TRUE(test::eventually([&] { return attempts == 6; }));
    reconnector.reset();
    EXPECT_EQ(log.sink().count("the compositor is not back yet, trying again: refused"), 1);
    EXPECT_EQ(log.sink().count("the compositor is not back yet, trying again: no screencopy"), 1);
    EXPECT_EQ(log.sink().count("the compositor is back: the screen is offered again"), 2);
}

TEST(ReplaceablePasteboardTest, TheChangeCountOnlyGrowsAcrossReplacementsAndNoneAnswersEmpty) {
    auto queue = std::make_shared<test::ManualQueue>();
    auto first = std::make_shared<test::FakePasteboard>(queue);
    first->copyText("one");
    first->copyText("two");
    ReplaceablePasteboard pasteboard(first, queue);
    const auto before = pasteboard.changeCount();

    // A new desktop's clipboard counts from its own start, maybe where the old one stood.
    auto second = std::make_shared<test::FakePasteboard>(queue);
    second->copyText("three");
    ASSERT_EQ(second->changeCount(), first->changeCount() - 1);
    pasteboard.replace(second);
    EXPECT_EQ(pasteboard.changeCount(), before + 1) << "the replacement is one change";
    second->copyText("four");
    EXPECT_EQ(pasteboard.changeCount(), before + 2);

    pasteboard.replace(nullptr);
    EXPECT_EQ(pasteboard.changeCount(), before + 3);
    std::optional<std::string> text = "unanswered";
    pasteboard.readText([&](std::optional<std::string> got) { text = std::move(got); });
    bool written = true;
    pasteboard.writeImage({1, 2, 3}, [&](bool done) { written = done; });
    queue->runPending();
    EXPECT_EQ(text, std::nullopt);
    EXPECT_FALSE(written);
}

}  // namespace
}  // namespace quelm
