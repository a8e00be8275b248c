#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "QuelmHostKit/input/InputInjector.hpp"
#include "QuelmHostKit/streaming/DisplaySelection.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/FakeDisplayServices.hpp"
#include "tests/fakes/ManualQueue.hpp"
#include "tests/fakes/RecordingEventPoster.hpp"

namespace quelm::test {

// An injector on a manual queue, posting to a recording poster, over one 1920x1080 display.
struct InputInjectorTest : ::testing::Test {
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    std::shared_ptr<RecordingEventPoster> poster = std::make_shared<RecordingEventPoster>();
    std::shared_ptr<FakeDisplayServices> screens = std::make_shared<FakeDisplayServices>(
        std::vector{ActiveDisplay{.id = 1, .bounds = {0, 0, 1920, 1080}, .isPrimary = true}});
    std::shared_ptr<DisplaySelection> displays = std::make_shared<DisplaySelection>(screens);
    std::shared_ptr<InputInjector> injector = InputInjector::create(queue, poster, displays);
    CapturingLogSink::Scope log;

    void send(const ClientMessage& message) {
        injector->handle(message);
        queue->runPending();
    }
    void releaseAll() {
        injector->releaseAll();
        queue->runPending();
    }
    void key(std::uint16_t code, bool down, bool isRepeat = false, Modifiers modifiers = {}) {
        send(ClientMessage::Key{code, down, isRepeat, modifiers});
    }
    void text(const std::string& t) { send(ClientMessage::Text{t}); }
};

}  // namespace quelm::test
