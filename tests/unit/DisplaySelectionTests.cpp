#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "QuelmHostKit/streaming/DisplaySelection.hpp"
#include "tests/fakes/FakeDisplayServices.hpp"

namespace quelm {
namespace {

using test::FakeDisplayServices;

ActiveDisplay display(std::uint32_t id, DisplayRect bounds, bool primary = false,
                      std::uint32_t mirrorOf = 0, bool builtIn = false) {
    return ActiveDisplay{.id = id,
                         .bounds = bounds,
                         .isPrimary = primary,
                         .isBuiltIn = builtIn,
                         .mirrorOf = mirrorOf};
}

struct DisplaySelectionTest : ::testing::Test {
    std::shared_ptr<FakeDisplayServices> services = std::make_shared<FakeDisplayServices>();
    DisplaySelection selection{services};
};

TEST_F(DisplaySelectionTest, CurrentResolvesTheRequestOrFallsBackToMain) {
    struct Case {
        const char* name;
        std::vector<ActiveDisplay> displays;
        std::uint32_t requested;
        std::uint32_t expected;
    };
    const auto left = display(11, {0, 0, 1280, 720});
    const auto right = display(22, {1280, 0, 800, 600}, true);
    const Case cases[] = {
        {"no request: the primary", {left, right}, 0, 22},
        {"attached request", {left, right}, 11, 11},
        {"detached request: main", {left, right}, 99, 22},
        {"mirror copy may be requested",
         {left, right, display(33, {1280, 0, 800, 600}, false, 22)},
         33,
         33},
        {"no primary: the display at the origin",
         {display(5, {1920, 0, 800, 600}), display(6, {0, 0, 1920, 1080})},
         0,
         6},
        {"no primary, none at the origin: the first",
         {display(5, {100, 0, 800, 600}), display(6, {900, 0, 800, 600})},
         0,
         5},
        {"primary mirror copy stands for its original",
         {display(7, {0, 0, 800, 600}), display(8, {0, 0, 800, 600}, true, 7)},
         0,
         7},
        {"no displays", {}, 11, 0},
    };
    for (const auto& c : cases) {
        services->setDisplays(c.displays);
        selection.select(c.requested);
        EXPECT_EQ(selection.current(), c.expected) << c.name;
        EXPECT_EQ(selection.requestedID(), c.requested) << c.name;
    }
}

TEST_F(DisplaySelectionTest, DetachedDisplayIsUsedAgainWhenItReturns) {
    const auto main = display(1, {0, 0, 1920, 1080}, true);
    const auto side = display(2, {1920, 0, 1280, 1024});
    services->setDisplays({main, side});
    selection.select(2);
    EXPECT_EQ(selection.current(), 2u);
    EXPECT_EQ(selection.bounds(), (DisplayRect{1920, 0, 1280, 1024}));

    services->setDisplays({main});
    EXPECT_EQ(selection.current(), 1u);
    EXPECT_EQ(selection.bounds(), (DisplayRect{0, 0, 1920, 1080}));
    EXPECT_EQ(selection.requestedID(), 2u) << "the request is kept";

    services->setDisplays({main, side});
    EXPECT_EQ(selection.current(), 2u);

    services->setDisplays({});
    EXPECT_EQ(selection.current(), 0u);
    EXPECT_EQ(selection.bounds(), std::nullopt);
    EXPECT_TRUE(selection.list().empty());
}

TEST_F(DisplaySelectionTest, ListReadsLeftToRightThenTopToBottomWithoutMirrorCopies) {
    services->setDisplays({
        display(40, {1920, 0, 1512, 982}, true),              // right, main
        display(41, {1920, 0, 1512, 982}, false, 40),         // mirror of the main one
        display(30, {0, 1080, 1920, 1080}, false, 0, false),  // lower left
        display(20, {0, 0, 1920, 1080}, false, 0, false),     // upper left
        display(50, {3432, 0, 1512, 982}, false, 0, true),    // built-in panel on the far right
        display(51, {3432, 0, 640, 480}),                     // same corner: keeps platform order
    });
    const std::vector<DisplayInfo> expected{
        {20, 1920, 1080, false, false}, {30, 1920, 1080, false, false},
        {40, 1512, 982, true, false},   {50, 1512, 982, false, true},
        {51, 640, 480, false, false},
    };
    EXPECT_EQ(selection.list(), expected);
}

TEST_F(DisplaySelectionTest, SideBySideWithTheRightOneMain) {
    services->setDisplays({display(2, {1440, 0, 1440, 900}, true), display(1, {0, 0, 1440, 900})});
    const auto list = selection.list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, 1u);
    EXPECT_FALSE(list[0].isMain);
    EXPECT_EQ(list[1].id, 2u);
    EXPECT_TRUE(list[1].isMain);
}

// Asks the selection again from inside the platform call: deadlocks if the lock were held.
class ReentrantServices final : public DisplayServices {
  public:
    std::function<void()> during;
    std::vector<ActiveDisplay> activeDisplays() override {
        if (during) {
            during();
        }
        return {display(3, {0, 0, 640, 480}, true)};
    }
};

TEST(DisplaySelection, PlatformIsAskedOutsideTheLock) {
    auto services = std::make_shared<ReentrantServices>();
    DisplaySelection selection(services);
    services->during = [&] {
        selection.select(3);
        EXPECT_EQ(selection.requestedID(), 3u);
    };
    EXPECT_EQ(selection.current(), 3u);
    EXPECT_EQ(selection.list().size(), 1u);
}

TEST_F(DisplaySelectionTest, HelloFieldsComeFromOneLookAtTheDisplays) {
    services->setDisplays({display(4, {0, 0, 1920, 1080}, true), display(7, {1920, 0, 800, 600}),
                           display(8, {1920, 0, 800, 600}, false, 7)});
    selection.select(7);
    HostInfo info;
    const int before = services->queries();
    selection.describe(info);
    EXPECT_EQ(services->queries() - before, 1);
    EXPECT_EQ(info.displayID, std::optional<std::uint32_t>(7));
    EXPECT_EQ(info.displayWidth, 800);
    EXPECT_EQ(info.displayHeight, 600);
    const std::vector<DisplayInfo> expected{{4, 1920, 1080, true, false},
                                            {7, 800, 600, false, false}};
    EXPECT_EQ(info.displays, expected);

    // Without any display the hello names none, rather than a display 0.
    services->setDisplays({});
    HostInfo empty;
    selection.describe(empty);
    EXPECT_FALSE(empty.displayID.has_value());
    EXPECT_EQ(empty.displays, std::vector<DisplayInfo>{});
    EXPECT_EQ(empty.displayWidth, 0);
}

TEST_F(DisplaySelectionTest, PointerAsFractionsOfTheCurrentDisplay) {
    services->setDisplays({display(1, {0, 0, 1000, 500}, true), display(2, {1000, 100, 200, 100})});
    selection.select(2);
    const struct {
        PointerPosition pointer;
        PointerPosition expected;
    } cases[] = {
        {{1100, 150}, {0.5, 0.5}}, {{1000, 100}, {0, 0}},  {{1200, 200}, {1, 1}},
        {{500, 50}, {0, 0}},       {{5000, 5000}, {1, 1}}, {{1050, 175}, {0.25, 0.75}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(selection.fractionOf(c.pointer), c.expected) << c.pointer.x << "," << c.pointer.y;
    }
    services->setDisplays({display(2, {1000, 100, 0, 100})});
    EXPECT_EQ(selection.fractionOf({1000, 150}), std::nullopt) << "empty bounds";
    services->setDisplays({});
    EXPECT_EQ(selection.fractionOf({10, 10}), std::nullopt) << "no display";
}

}  // namespace
}  // namespace quelm
