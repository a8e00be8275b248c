#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "QuelmHostKit/input/InputInjector.hpp"
#include "QuelmHostKit/linux/LinuxHostEnvironment.hpp"
#include "QuelmHostKit/linux/x11/X11EventPoster.hpp"
#include "QuelmHostKit/platform/ReplaceableEventPoster.hpp"
#include "QuelmHostKit/streaming/DisplaySelection.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/ManualQueue.hpp"
#include "tests/fakes/PrivateXvfb.hpp"

namespace quelm::test {

// An injector on a manual queue driving the real X11 poster of a private 1280x720 Xvfb.
// Skipped when Xvfb is missing.
class X11InjectorTest : public ::testing::Test {
  public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 720;

  protected:
    void SetUp() override {
        std::string why;
        server = PrivateXvfb::start(why, kWidth, kHeight);
        if (!server) {
            GTEST_SKIP() << "Xvfb is not available: " << why;
        }
        environment = std::make_unique<LinuxHostEnvironment>(server->name());
        ASSERT_EQ(environment->unavailableReason(), "");
        // The environment hands out a poster that follows the server across restarts.
        const auto replaceable =
            std::dynamic_pointer_cast<ReplaceableEventPoster>(environment->eventPoster());
        ASSERT_NE(replaceable, nullptr);
        poster = std::dynamic_pointer_cast<X11EventPoster>(replaceable->current());
        ASSERT_NE(poster, nullptr);
        displays = std::make_shared<DisplaySelection>(environment->displayServices());
        injector = InputInjector::create(queue, poster, displays);
    }
    void send(const ::quelm::ClientMessage& message) {
        injector->handle(message);
        queue->runPending();
    }

    CapturingLogSink::Scope log;
    std::unique_ptr<PrivateXvfb> server;
    std::unique_ptr<LinuxHostEnvironment> environment;
    std::shared_ptr<X11EventPoster> poster;
    std::shared_ptr<DisplaySelection> displays;
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    std::shared_ptr<InputInjector> injector;
};

}  // namespace quelm::test
