#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "QuelmHostKit/linux/wayland/wlr/WlrSession.hpp"
#include "tests/fakes/SwayTestDesktop.hpp"

namespace quelm::test {

// A fresh headless sway per test with the test window in it, and a session of the host's
// services connected to it. A fixture that adds to SetUp returns when this one skipped or failed.
class WlrSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        desktop = SwayTestDesktop::start(why);
        if (!desktop) {
            GTEST_SKIP() << why;
        }
        // Workspaces are sway's: the services find its IPC where the session says.
        setenv("SWAYSOCK", desktop->sway().swaySocket().c_str(), 1);
        session = WlrSession::open({desktop->sway().socketPath(), nullptr, nullptr});
        ASSERT_NE(session, nullptr);
    }
    void TearDown() override {
        session.reset();
        desktop.reset();
    }
    bool ready() const { return !IsSkipped() && !HasFatalFailure(); }

    std::unique_ptr<SwayTestDesktop> desktop;
    std::unique_ptr<WlrSession> session;
};

}  // namespace quelm::test
