#include <gtest/gtest.h>

#include <algorithm>

#include "QuelmHost/StatusMenu.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/FakeLoginItem.hpp"
#include "tests/fakes/FakePasteboard.hpp"
#include "tests/fakes/FakePermissions.hpp"
#include "tests/fakes/ManualQueue.hpp"
#include "tests/fakes/MemorySettingsStore.hpp"
#include "tests/fakes/RecordingPowerAssertions.hpp"

namespace quelm {
namespace {

using Action = StatusMenu::Action;
using Kind = PowerAssertions::Kind;

const std::string kToken = "abcdefghijklmnopqrstuvwxyz012345";

class StatusMenuTest : public ::testing::Test {
  protected:
    std::shared_ptr<StatusMenu> makeMenu() {
        StatusMenu::Services services;
        services.mainQueue = main;
        services.pasteboard = pasteboard;
        services.settings = settings;
        services.power = power;
        services.loginItem = login;
        services.permissions = permissions;
        services.tailscaleAddress = [this] { return address; };
        services.token = [] { return std::optional<std::string>(kToken); };
        services.setLocalAllowed = [this](bool allowed) { localCalls.push_back(allowed); };
        services.regenerateSecret = [this] { ++regenerations; };
        auto made = StatusMenu::create(std::move(services));
        made->onChange = [this] { ++changes; };
        return made;
    }

    StatusMenu::Entry entry(Action action) const {
        auto all = menu->entries();
        auto found = std::find_if(all.begin(), all.end(), [&](const auto& e) {
            return !e.separator && e.action == action;
        });
        EXPECT_NE(found, all.end());
        return found == all.end() ? StatusMenu::Entry{} : *found;
    }
    std::string statusText() const { return menu->entries().front().title; }

    std::shared_ptr<test::ManualQueue> main = std::make_shared<test::ManualQueue>();
    std::shared_ptr<test::FakePasteboard> pasteboard = std::make_shared<test::FakePasteboard>(main);
    std::shared_ptr<test::MemorySettingsStore> settings =
        std::make_shared<test::MemorySettingsStore>();
    std::shared_ptr<test::RecordingPowerAssertions> power =
        std::make_shared<test::RecordingPowerAssertions>();
    std::shared_ptr<test::FakeLoginItem> login = std::make_shared<test::FakeLoginItem>();
    std::shared_ptr<test::FakePermissions> permissions = std::make_shared<test::FakePermissions>();
    std::optional<std::string> address = "100.64.1.2";
    std::vector<bool> localCalls;
    int regenerations = 0;
    int changes = 0;
    std::shared_ptr<StatusMenu> menu = makeMenu();
};

TEST_F(StatusMenuTest, LaysOutTheMenuInOrderWithItsTexts) {
    struct Row {
        bool separator;
        const char* title;
        Action action;
        bool enabled;
        std::optional<bool> checked;
    };
    const std::vector<Row> expected = {
        {false, "待機中: 100.64.1.2", Action::none, false, std::nullopt},
        {true, "", Action::none, true, std::nullopt},
        {false, "接続URLをコピー（2分で消えます）", Action::copyURL, true, std::nullopt},
        {false, "接続用QRコードを表示", Action::showQR, true, std::nullopt},
        {true, "", Action::none, true, std::nullopt},
        {false, "画面収録: 許可済み", Action::openScreenSettings, true, std::nullopt},
        {false, "操作: 許可済み", Action::openInputSettings, true, std::nullopt},
        {false, "ログイン時に起動", Action::toggleLogin, true, false},
        {false, "コンピュータをスリープさせない（外出用）", Action::toggleAwake, true, false},
        {false, "このコンピュータからの接続を許可（テスト用）", Action::toggleLocal, true, false},
        {true, "", Action::none, true, std::nullopt},
        {false, "合言葉を作り直す…", Action::regenerate, true, std::nullopt},
        {true, "", Action::none, true, std::nullopt},
        {false, "終了", Action::quit, true, std::nullopt},
    };
    auto entries = menu->entries();
    ASSERT_EQ(entries.size(), expected.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i].separator, expected[i].separator);
        EXPECT_EQ(entries[i].title, expected[i].title);
        EXPECT_EQ(entries[i].action, expected[i].action);
        EXPECT_EQ(entries[i].enabled, expected[i].enabled);
        EXPECT_EQ(entries[i].checked, expected[i].checked);
    }
    EXPECT_EQ(entries.back().keyEquivalent, "q");
}

TEST_F(StatusMenuTest, StatusLineAndIconFollowTheServerAndTheAddress) {
    menu->statusChanged(RemoteServer::Connected{"100.101.102.103"});
    EXPECT_EQ(statusText(), "接続中: 100.101.102.103");
    EXPECT_EQ(menu->icon(), StatusMenu::Icon::connected);

    menu->statusChanged(RemoteServer::Waiting{});
    EXPECT_EQ(menu->icon(), StatusMenu::Icon::waiting);
    address.reset();
    int before = changes;
    menu->refresh();
    EXPECT_EQ(statusText(), "Tailscaleのアドレスが見つかりません");
    EXPECT_EQ(changes, before + 1);
    menu->refresh();  // nothing new: no re-render
    EXPECT_EQ(changes, before + 1);
}

TEST_F(StatusMenuTest, PermissionLinesSayWhatIsMissingAndExplainIt) {
    permissions->screen = false;
    permissions->input = false;
    menu->refresh();
    EXPECT_EQ(entry(Action::openScreenSettings).title, "画面収録: 未許可（クリックで説明を表示）");
    EXPECT_EQ(entry(Action::openInputSettings).title, "操作: 未許可（クリックで説明を表示）");
    EXPECT_NE(menu->permissionExplanation(Action::openScreenSettings).find("DISPLAY"),
              std::string::npos);
    EXPECT_NE(menu->permissionExplanation(Action::openInputSettings).find("XTest"),
              std::string::npos);

    permissions->input = true;
    menu->refresh();
    EXPECT_EQ(entry(Action::openInputSettings).title, "操作: 許可済み");
    EXPECT_TRUE(menu->permissionExplanation(Action::openInputSettings).empty());
}

TEST_F(StatusMenuTest, TheDisplayInhibitorIsHeldExactlyWhileConnected) {
    menu->statusChanged(RemoteServer::Connected{"100.64.0.9"});
    menu->statusChanged(RemoteServer::Connected{"100.64.0.10"});  // a replacement
    EXPECT_EQ(power->holding(Kind::preventIdleDisplaySleep), 1);
    EXPECT_EQ(power->creates, 1);
    EXPECT_EQ(power->held().begin()->second.reason, "Veyra connected");

    menu->statusChanged(RemoteServer::Waiting{});
    menu->statusChanged(RemoteServer::Waiting{});
    EXPECT_TRUE(power->held().empty());
    EXPECT_TRUE(power->strayReleases.empty());
    menu->statusChanged(RemoteServer::Connected{"100.64.0.9"});
    EXPECT_EQ(power->holding(Kind::preventIdleDisplaySleep), 1);
}

TEST_F(StatusMenuTest, KeepAwakePersistsAndHoldsItsAssertionAcrossLaunches) {
    menu->applyKeepAwake();
    EXPECT_TRUE(power->held().empty());

    menu->toggleAwake();
    EXPECT_EQ(settings->values["keepAwake"], true);
    EXPECT_EQ(entry(Action::toggleAwake).checked, true);
    EXPECT_EQ(power->holding(Kind::preventIdleSystemSleep), 1);

    // Quit and launch again: a new menu over the same settings.
    menu.reset();
    power = std::make_shared<test::RecordingPowerAssertions>();
    menu = makeMenu();
    EXPECT_EQ(entry(Action::toggleAwake).checked, true);
    menu->applyKeepAwake();
    menu->applyKeepAwake();
    EXPECT_EQ(power->holding(Kind::preventIdleSystemSleep), 1);
    EXPECT_EQ(power->held().begin()->second.reason, "Veyra Devo keeps the computer reachable");

    menu->toggleAwake();
    EXPECT_EQ(settings->values["keepAwake"], false);
    EXPECT_EQ(entry(Action::toggleAwake).checked, false);
    EXPECT_TRUE(power->held().empty());
}

TEST_F(StatusMenuTest, TheTwoAssertionsAreIndependent) {
    menu->toggleAwake();
    menu->statusChanged(RemoteServer::Connected{"100.64.0.9"});
    menu->statusChanged(RemoteServer::Waiting{});
    EXPECT_EQ(power->holding(Kind::preventIdleSystemSleep), 1);
    EXPECT_EQ(power->holding(Kind::preventIdleDisplaySleep), 0);
}

TEST_F(StatusMenuTest, LoginAndLocalSwitchesShowTheirRealState) {
    menu->toggleLogin();
    EXPECT_TRUE(login->enabled);
    EXPECT_EQ(entry(Action::toggleLogin).checked, true);

    test::CapturingLogSink::Scope logs;
    login->failWith = "read-only folder";
    menu->toggleLogin();
    EXPECT_TRUE(login->enabled);
    EXPECT_EQ(entry(Action::toggleLogin).checked, true);
    EXPECT_EQ(logs.sink().count("login item change failed: read-only folder"), 1);

    menu->toggleLocal();
    menu->toggleLocal();
    EXPECT_EQ(localCalls, (std::vector<bool>{true, false}));
    EXPECT_EQ(entry(Action::toggleLocal).checked, false);
}

TEST_F(StatusMenuTest, CopiedURLIsMarkedSecretAndClearedAfterTwoMinutes) {
    menu->copyURL();
    ASSERT_EQ(pasteboard->text(), "quelmix://100.64.1.2:5290/#t=" + kToken);
    auto types = pasteboard->typeList();
    for (const char* marker : {"org.nspasteboard.ConcealedType", "org.nspasteboard.TransientType",
                               "x-kde-passwordManagerHint"}) {
        EXPECT_NE(std::find(types.begin(), types.end(), marker), types.end()) << marker;
    }
    main->advance(119);
    EXPECT_TRUE(pasteboard->text());
    main->advance(1);
    EXPECT_TRUE(pasteboard->items().empty());
}

TEST_F(StatusMenuTest, SomethingCopiedAfterTheURLStays) {
    menu->copyURL();
    main->advance(60);
    pasteboard->copyText("mine");
    main->advance(60);
    EXPECT_EQ(pasteboard->text(), "mine");

    // A second copy of the URL: the first one's clearing must not cut the second short.
    menu->copyURL();
    main->advance(30);
    menu->copyURL();
    main->advance(100);
    EXPECT_TRUE(pasteboard->text());
    main->advance(20);
    EXPECT_FALSE(pasteboard->text());
}

TEST_F(StatusMenuTest, WithoutAnAddressNothingIsCopiedOrShown) {
    address.reset();
    menu->copyURL();
    EXPECT_TRUE(pasteboard->items().empty());
    EXPECT_FALSE(menu->connectionURL());
}

TEST_F(StatusMenuTest, RegenerationIsLeftToTheConfirmedDialog) {
    EXPECT_EQ(StatusMenu::regenerateMessage(), "合言葉を作り直しますか？");
    EXPECT_EQ(StatusMenu::regenerateConfirm(), "作り直す");
    EXPECT_EQ(StatusMenu::regenerateCancel(), "キャンセル");
    EXPECT_EQ(regenerations, 0);
    menu->regenerate();
    EXPECT_EQ(regenerations, 1);
}

}  // namespace
}  // namespace quelm
