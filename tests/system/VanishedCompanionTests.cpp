#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "QuelmHostKit/input/InputInjector.hpp"
#include "QuelmHostKit/linux/LinuxHostEnvironment.hpp"
#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "QuelmHostKit/streaming/DisplaySelection.hpp"
#include "tests/fakes/NetworkNamespace.hpp"
#include "tests/fakes/PrivateXvfb.hpp"
#include "tests/fakes/ServerHarness.hpp"
#include "tests/fakes/XHeldInput.hpp"

// After the program's headers: Xlib's macros (None, Bool) would clash with their names.
#include <X11/X.h>

namespace quelm::test {
namespace {

using namespace std::chrono_literals;

// How long a companion that vanished may keep its session.
constexpr double kDetectionLimit = 15.0;
// Every button and modifier the pointer's state mask can show.
constexpr unsigned kHeldMask = Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask |
                               ShiftMask | LockMask | ControlMask | Mod1Mask | Mod4Mask;

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The real input path on a private X server: the server's session drives an InputInjector on
// its own queue, which posts through XTest. The companion connects from a network namespace.
class VanishedCompanionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        space = NetworkNamespace::create(why);
        if (!space) {
            GTEST_SKIP() << why;
        }
        xvfb = PrivateXvfb::start(why);
        if (!xvfb) {
            GTEST_SKIP() << "no X server for the test: " << why;
        }
        environment = std::make_unique<LinuxHostEnvironment>(xvfb->name());
        ASSERT_EQ(environment->unavailableReason(), "");
        displays = std::make_shared<DisplaySelection>(environment->displayServices());
        injector = InputInjector::create(inputQueue, environment->eventPoster(), displays);
        held = XHeldInput::open(xvfb->name());
        ASSERT_TRUE(held);
        harness = std::make_unique<ServerHarness>();
        harness->setTailscaleAddress(space->hostAddress());
    }
    void TearDown() override {
        // The server first: it holds the injector, whose queue must still run.
        harness.reset();
        inputQueue->sync([] {});
    }

    std::unique_ptr<NetworkNamespace> space;
    std::unique_ptr<PrivateXvfb> xvfb;
    std::unique_ptr<LinuxHostEnvironment> environment;
    std::shared_ptr<DisplaySelection> displays;
    std::shared_ptr<ThreadQueue> inputQueue = std::make_shared<ThreadQueue>("test.input");
    std::shared_ptr<InputInjector> injector;
    std::unique_ptr<XHeldInput> held;
    std::unique_ptr<ServerHarness> harness;
};

// The companion holds shift and a letter and drags, then its link goes down: no close, no
// reset, nothing more from it. The host's own idle rule (the shipped default) must end the
// session, and the X server must hold nothing afterwards.
TEST_F(VanishedCompanionTest, LinkLostMidDragWithKeysHeldLeavesNothingHeldOnTheServer) {
    harness->start(ServerHarness::fastOptions(), injector);
    ASSERT_GT(RemoteServer::Options{}.peerLimits.idleTimeout, 0.0);
    const auto port = harness->waitForPort(space->hostAddress());
    ASSERT_TRUE(port) << "the server does not listen on " << space->hostAddress();
    auto companion = space->connect(*port);
    ASSERT_TRUE(companion);
    companion->sendText(ServerHarness::hello(ServerHarness::kToken));
    const auto answer = companion->receiveText();
    ASSERT_TRUE(answer && answer->starts_with(R"({"hello":)"));

    for (const char* text : {
             R"({"key":{"code":56,"down":true,"isRepeat":false,"modifiers":0}})",  // shift
             R"({"key":{"code":0,"down":true,"isRepeat":false,"modifiers":0}})",   // a
             R"({"moveTo":{"x":0.25,"y":0.25}})",
             R"({"dragButton":{"down":true,"modifiers":0}})",
             R"({"move":{"dx":40,"dy":30}})",
             R"({"move":{"dx":40,"dy":30}})",
         }) {
        companion->sendText(text);
    }
    ASSERT_TRUE(eventually(
        [&] {
            return held->keyNamesDown() == std::vector<std::string>{"a", "Shift_L"} &&
                   (held->pointerState() & kHeldMask) == (Button1Mask | ShiftMask);
        },
        5s))
        << "held before the link went down: keys " << testing::PrintToString(held->keyNamesDown())
        << ", pointer state 0x" << std::hex << held->pointerState();

    ASSERT_TRUE(space->pullLinkDown());
    const auto goneSince = std::chrono::steady_clock::now();
    ASSERT_TRUE(harness->waitForStatuses(2, kDetectionLimit))
        << "the session outlived its companion by " << kDetectionLimit << " s";
    const double detected =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - goneSince).count();
    std::printf("companion behind a downed link ended after %.2f s (idle timeout %.1f s)\n",
                detected, RemoteServer::Options{}.peerLimits.idleTimeout);
    EXPECT_EQ(harness->statuses(),
              (std::vector<std::string>{"connected " + space->companionAddress(), "waiting"}));
    EXPECT_EQ(harness->log().count("no answer to ping, closing " + space->companionAddress()), 1);

    // The release runs on the input queue after the session has ended.
    eventually([&] { return held->keysDown().empty() && (held->pointerState() & kHeldMask) == 0; },
               2s);
    EXPECT_EQ(held->keyNamesDown(), std::vector<std::string>{});
    EXPECT_EQ(held->pointerState() & kHeldMask, 0u)
        << "pointer state 0x" << std::hex << held->pointerState();
}

}  // namespace
}  // namespace quelm::test
