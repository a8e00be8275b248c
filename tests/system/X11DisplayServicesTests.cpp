#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"
#include "QuelmHostKit/linux/x11/X11EventPump.hpp"
#include "QuelmHostKit/streaming/DisplaySelection.hpp"
#include "tests/fakes/DummyXorg.hpp"

namespace quelm {
namespace {

using test::DummyXorg;

// The display list follows RandR notifications on the pump's thread: wait for it to settle.
std::vector<ActiveDisplay> displaysWhen(X11DisplayServices& services, std::size_t count,
                                        std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto displays = services.activeDisplays();
        if (displays.size() == count || std::chrono::steady_clock::now() >= deadline) {
            return displays;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

template <class Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class X11DisplayServicesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = DummyXorg::start(why_).release();
        if (server_ && !(server_->xrandr("--newmode quelm800 40.00 800 840 968 1056 600 601 605 "
                                         "628 +hsync +vsync") &&
                         server_->xrandr("--addmode DUMMY1 quelm800") &&
                         server_->xrandr("--addmode DUMMY2 quelm800"))) {
            why_ = "xrandr could not add the test mode";
            delete server_;
            server_ = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        if (!server_) {
            GTEST_SKIP() << "Xorg with the dummy driver is not available: " << why_;
        }
        // One 1280x720 primary monitor at the origin.
        ASSERT_TRUE(server_->xrandr("--output DUMMY2 --off --output DUMMY1 --off"));
        ASSERT_TRUE(server_->xrandr("--output DUMMY0 --mode 1280x720 --pos 0x0 --primary"));
        pump_ = X11EventPump::start(server_->name());
        ASSERT_NE(pump_, nullptr);
        services_ = X11DisplayServices::create(pump_);
        ASSERT_NE(services_, nullptr);
        ASSERT_EQ(displaysWhen(*services_, 1).size(), 1u);
    }

    bool attachRightMonitor() const {
        return server_->xrandr("--output DUMMY1 --mode quelm800 --right-of DUMMY0");
    }

    static std::optional<ActiveDisplay> at(const std::vector<ActiveDisplay>& displays, double x) {
        for (const auto& d : displays) {
            if (d.bounds.x == x && d.mirrorOf == 0) {
                return d;
            }
        }
        return std::nullopt;
    }

    static inline DummyXorg* server_ = nullptr;
    static inline std::string why_;
    std::shared_ptr<X11EventPump> pump_;
    std::shared_ptr<X11DisplayServices> services_;
};

TEST_F(X11DisplayServicesTest, TwoMonitorsSideBySideWithStableIds) {
    ASSERT_TRUE(attachRightMonitor());
    const auto displays = displaysWhen(*services_, 2);
    ASSERT_EQ(displays.size(), 2u);
    const auto left = at(displays, 0);
    const auto right = at(displays, 1280);
    ASSERT_TRUE(left && right);
    EXPECT_NE(left->id, 0u);
    EXPECT_NE(right->id, 0u);
    EXPECT_NE(left->id, right->id);
    EXPECT_EQ(left->bounds, (DisplayRect{0, 0, 1280, 720}));
    EXPECT_EQ(right->bounds, (DisplayRect{1280, 0, 800, 600}));
    EXPECT_TRUE(left->isPrimary);
    EXPECT_FALSE(right->isPrimary);
    EXPECT_FALSE(left->isBuiltIn);

    // Detached and attached again: both keep their ids.
    ASSERT_TRUE(server_->xrandr("--output DUMMY1 --off"));
    const auto alone = displaysWhen(*services_, 1);
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(alone[0].id, left->id);
    ASSERT_TRUE(attachRightMonitor());
    const auto again = displaysWhen(*services_, 2);
    ASSERT_EQ(again.size(), 2u);
    ASSERT_TRUE(at(again, 0) && at(again, 1280));
    EXPECT_EQ(at(again, 0)->id, left->id);
    EXPECT_EQ(at(again, 1280)->id, right->id);
}

TEST_F(X11DisplayServicesTest, SelectionFollowsThePrimaryAndComesBackToARequest) {
    ASSERT_TRUE(attachRightMonitor());
    DisplaySelection selection(services_);
    const auto displays = displaysWhen(*services_, 2);
    ASSERT_TRUE(at(displays, 0) && at(displays, 1280));
    const std::uint32_t leftID = at(displays, 0)->id;
    const std::uint32_t rightID = at(displays, 1280)->id;

    ASSERT_TRUE(server_->xrandr("--output DUMMY1 --primary"));
    EXPECT_TRUE(eventually([&] { return selection.current() == rightID; }));
    const std::vector<DisplayInfo> expected{{leftID, 1280, 720, false, false},
                                            {rightID, 800, 600, true, false}};
    EXPECT_EQ(selection.list(), expected);

    ASSERT_TRUE(server_->xrandr("--output DUMMY0 --primary"));
    selection.select(rightID);
    ASSERT_TRUE(server_->xrandr("--output DUMMY1 --off"));
    EXPECT_TRUE(eventually([&] { return selection.current() == leftID; }));
    EXPECT_EQ(selection.bounds(), (DisplayRect{0, 0, 1280, 720}));
    ASSERT_TRUE(attachRightMonitor());
    EXPECT_TRUE(eventually([&] { return selection.current() == rightID; }));
    EXPECT_EQ(selection.bounds(), (DisplayRect{1280, 0, 800, 600}));
}

TEST_F(X11DisplayServicesTest, MirroredOutputIsOfferedOnce) {
    ASSERT_TRUE(attachRightMonitor());
    ASSERT_TRUE(server_->xrandr("--output DUMMY2 --mode quelm800 --same-as DUMMY1"));
    const auto displays = displaysWhen(*services_, 3);
    ASSERT_EQ(displays.size(), 3u);
    const auto copies = std::count_if(displays.begin(), displays.end(),
                                      [](const ActiveDisplay& d) { return d.mirrorOf != 0; });
    EXPECT_EQ(copies, 1);

    DisplaySelection selection(services_);
    const auto list = selection.list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].width, 1280);
    EXPECT_EQ(list[1].width, 800);
}

TEST_F(X11DisplayServicesTest, WithoutAPrimaryTheMonitorAtTheOriginIsMain) {
    ASSERT_TRUE(
        server_->xrandr("--output DUMMY1 --mode quelm800 --pos 0x0 --output DUMMY0 --pos 800x0"));
    ASSERT_TRUE(server_->xrandr("--noprimary"));
    EXPECT_TRUE(eventually([&] {
        const auto now = services_->activeDisplays();
        return now.size() == 2 && at(now, 0) && at(now, 800) &&
               std::none_of(now.begin(), now.end(),
                            [](const ActiveDisplay& d) { return d.isPrimary; });
    }));
    const auto displays = services_->activeDisplays();
    ASSERT_EQ(displays.size(), 2u);
    for (const auto& d : displays) {
        EXPECT_FALSE(d.isPrimary) << d.id;
    }
    DisplaySelection selection(services_);
    ASSERT_TRUE(at(displays, 0));
    EXPECT_EQ(selection.current(), at(displays, 0)->id);
}

TEST(X11DisplayServices, UnreachableServerGivesNothing) {
    EXPECT_EQ(X11EventPump::start(":4093"), nullptr);
    EXPECT_EQ(X11DisplayServices::create(nullptr), nullptr);
}

TEST(X11DisplayServices, PanelConnectorNames) {
    const std::pair<const char*, bool> cases[] = {
        {"eDP-1", true}, {"eDP1", true}, {"EDP-1-1", true}, {"LVDS-1", true},  {"LVDS", true},
        {"dsi-0", true}, {"DSI1", true}, {"HDMI-1", false}, {"DP-2", false},   {"DUMMY0", false},
        {"eDPX", false}, {"", false},    {"VGA-1", false},  {"DSIx-1", false},
    };
    for (const auto& [name, panel] : cases) {
        EXPECT_EQ(X11DisplayServices::isPanelName(name), panel) << name;
    }
}

TEST(X11DisplayServices, LaterDisplaysOfEqualGeometryAreMirrorCopies) {
    std::vector<ActiveDisplay> displays{
        {.id = 1, .bounds = {0, 0, 800, 600}},  {.id = 2, .bounds = {800, 0, 800, 600}},
        {.id = 3, .bounds = {0, 0, 800, 600}},  {.id = 4, .bounds = {0, 0, 800, 600}},
        {.id = 5, .bounds = {0, 0, 1024, 768}},
    };
    X11DisplayServices::markMirrors(displays);
    const std::uint32_t expected[] = {0, 0, 1, 1, 0};
    for (std::size_t i = 0; i < displays.size(); ++i) {
        EXPECT_EQ(displays[i].mirrorOf, expected[i]) << "display " << displays[i].id;
    }
}

}  // namespace
}  // namespace quelm
