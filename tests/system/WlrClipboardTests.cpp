#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "tests/system/WlrSessionTest.hpp"

namespace quelm::test {
namespace {

// The clipboard through wlr-data-control against the test window's GTK clipboard, in a fresh
// headless sway.
class WlrClipboardTest : public WlrSessionTest {
  protected:
    void SetUp() override {
        WlrSessionTest::SetUp();
        if (!ready()) {
            return;
        }
        pasteboard = session->createPasteboard(mainQueue);
        ASSERT_NE(pasteboard, nullptr);
        // GTK sets the clipboard only with the keyboard focus, which comes with our keyboard.
        ASSERT_TRUE(desktop->line("focus"));
    }
    void TearDown() override {
        pasteboard.reset();
        WlrSessionTest::TearDown();
    }

    bool changeCountMovesFrom(std::uint64_t before) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pasteboard->changeCount() == before && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return pasteboard->changeCount() != before;
    }

    std::shared_ptr<SerialQueue> mainQueue = std::make_shared<ThreadQueue>("test.main");
    std::shared_ptr<Pasteboard> pasteboard;
};

TEST_F(WlrClipboardTest, AWindowsCopyIsSeenWithItsTypesAndText) {
    const auto before = pasteboard->changeCount();
    desktop->send("copy from the window ✓");
    ASSERT_TRUE(desktop->line("copied"));
    ASSERT_TRUE(changeCountMovesFrom(before));

    std::promise<std::vector<std::string>> types;
    pasteboard->readTypes([&](std::vector<std::string> list) { types.set_value(list); });
    auto list = types.get_future().get();
    EXPECT_NE(std::find(list.begin(), list.end(), "public.utf8-plain-text"), list.end());

    std::promise<std::optional<std::string>> text;
    pasteboard->readText([&](std::optional<std::string> content) { text.set_value(content); });
    EXPECT_EQ(text.get_future().get(), "from the window ✓");
}

TEST_F(WlrClipboardTest, OurWriteReachesTheWindowAndCountsAsOneChange) {
    const auto before = pasteboard->changeCount();
    pasteboard->writeText("from the companion ✓");
    EXPECT_EQ(pasteboard->changeCount(), before + 1);
    // The window hears of the new selection a moment later.
    std::optional<std::string> pasted;
    for (int attempt = 0; attempt < 20 && pasted != "clipboard from the companion ✓"; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        desktop->send("paste");
        pasted = desktop->line("clipboard ");
    }
    EXPECT_EQ(pasted, "clipboard from the companion ✓");
    // Our own selection coming back is not new content.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(pasteboard->changeCount(), before + 1);
}

}  // namespace
}  // namespace quelm::test
