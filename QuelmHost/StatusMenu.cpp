#include "QuelmHost/StatusMenu.hpp"

#include "QuelmCore/ConnectionTarget.hpp"
#include "QuelmHost/StatusLine.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr const char* kCopyURL = "接続URLをコピー（2分で消えます）";
constexpr const char* kShowQR = "接続用QRコードを表示";
constexpr const char* kScreenGranted = "画面収録: 許可済み";
constexpr const char* kScreenMissing = "画面収録: 未許可（クリックで説明を表示）";
constexpr const char* kInputGranted = "操作: 許可済み";
constexpr const char* kInputMissing = "操作: 未許可（クリックで説明を表示）";
constexpr const char* kLogin = "ログイン時に起動";
constexpr const char* kAwake = "コンピュータをスリープさせない（外出用）";
constexpr const char* kLocal = "このコンピュータからの接続を許可（テスト用）";
constexpr const char* kRegenerate = "合言葉を作り直す…";
constexpr const char* kQuit = "終了";

constexpr const char* kAwakeReason = "Veyra Devo keeps the computer reachable";
constexpr const char* kConnectedReason = "Veyra connected";

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace

std::shared_ptr<StatusMenu> StatusMenu::create(Services services) {
    auto menu = std::shared_ptr<StatusMenu>(new StatusMenu(std::move(services)));
    menu->refresh();
    return menu;
}

StatusMenu::StatusMenu(Services services) : services_(std::move(services)) {}

std::string StatusMenu::iconDescription() {
    return "Veyra";
}

std::vector<StatusMenu::Entry> StatusMenu::entries() const {
    auto separator = [] {
        Entry entry;
        entry.separator = true;
        return entry;
    };
    auto item = [](std::string title, Action action) {
        Entry entry;
        entry.title = std::move(title);
        entry.action = action;
        return entry;
    };
    auto toggle = [&](std::string title, Action action, bool on) {
        Entry entry = item(std::move(title), action);
        entry.checked = on;
        return entry;
    };
    Entry status = item(statusLine_, Action::none);
    status.enabled = false;
    Entry quit = item(kQuit, Action::quit);
    quit.keyEquivalent = "q";
    return {
        status,
        separator(),
        item(kCopyURL, Action::copyURL),
        item(kShowQR, Action::showQR),
        separator(),
        item(screenGranted_ ? kScreenGranted : kScreenMissing, Action::openScreenSettings),
        item(inputGranted_ ? kInputGranted : kInputMissing, Action::openInputSettings),
        toggle(kLogin, Action::toggleLogin, loginEnabled_),
        toggle(kAwake, Action::toggleAwake, awakeOn_),
        toggle(kLocal, Action::toggleLocal, localAllowed_),
        separator(),
        item(kRegenerate, Action::regenerate),
        separator(),
        quit,
    };
}

void StatusMenu::refresh() {
    auto before = entries();
    statusLine_ = statusLine(status_, services_.tailscaleAddress());
    screenGranted_ = services_.permissions->screenCaptureGranted();
    inputGranted_ = services_.permissions->inputGranted();
    loginEnabled_ = services_.loginItem->isEnabled();
    awakeOn_ = services_.settings->boolValue(keepAwakeKey).value_or(false);
    if (entries() != before) {
        changed();
    }
}

void StatusMenu::statusChanged(const RemoteServer::Status& status) {
    status_ = status;
    icon_ =
        std::holds_alternative<RemoteServer::Connected>(status) ? Icon::connected : Icon::waiting;
    if (icon_ == Icon::connected) {
        if (sleepAssertion_ == 0) {
            sleepAssertion_ = services_.power->create(
                PowerAssertions::Kind::preventIdleDisplaySleep, kConnectedReason);
        }
    } else if (sleepAssertion_ != 0) {
        services_.power->release(sleepAssertion_);
        sleepAssertion_ = 0;
    }
    statusLine_ = statusLine(status_, services_.tailscaleAddress());
    changed();
}

void StatusMenu::applyKeepAwake() {
    bool on = services_.settings->boolValue(keepAwakeKey).value_or(false);
    if (on && awakeAssertion_ == 0) {
        awakeAssertion_ =
            services_.power->create(PowerAssertions::Kind::preventIdleSystemSleep, kAwakeReason);
    } else if (!on && awakeAssertion_ != 0) {
        services_.power->release(awakeAssertion_);
        awakeAssertion_ = 0;
    }
}

std::optional<std::string> StatusMenu::connectionURL() const {
    auto address = services_.tailscaleAddress();
    auto token = services_.token();
    if (!address || !token) {
        return std::nullopt;
    }
    return ConnectionTarget{*address, services_.port, *token}.shareString();
}

void StatusMenu::copyURL() {
    auto url = connectionURL();
    if (!url || !services_.pasteboard) {
        return;
    }
    // The markers ask clipboard managers and history tools to neither keep nor show it.
    services_.pasteboard->writeItems({
        {"public.utf8-plain-text", bytesOf(*url)},
        {"org.nspasteboard.ConcealedType", {}},
        {"org.nspasteboard.TransientType", {}},
        {"x-kde-passwordManagerHint", bytesOf("secret")},
    });
    auto change = services_.pasteboard->changeCount();
    services_.mainQueue->after(urlLifetime,
                               weakCallback(shared_from_this(), [change](StatusMenu& self) {
                                   // Anything copied in between is left alone.
                                   if (self.services_.pasteboard->changeCount() == change) {
                                       self.services_.pasteboard->clear();
                                   }
                               }));
}

void StatusMenu::toggleLocal() {
    localAllowed_ = !localAllowed_;
    services_.setLocalAllowed(localAllowed_);
    changed();
}

void StatusMenu::showLocalAllowed(bool allowed) {
    localAllowed_ = allowed;
    changed();
}

void StatusMenu::toggleLogin() {
    bool enable = !services_.loginItem->isEnabled();
    if (auto error = services_.loginItem->setEnabled(enable)) {
        Log::info("login item change failed: " + *error);
    }
    refresh();
}

void StatusMenu::toggleAwake() {
    bool on = services_.settings->boolValue(keepAwakeKey).value_or(false);
    services_.settings->setBool(keepAwakeKey, !on);
    applyKeepAwake();
    refresh();
}

void StatusMenu::regenerate() {
    services_.regenerateSecret();
}

std::string StatusMenu::regenerateMessage() {
    return "合言葉を作り直しますか？";
}

std::string StatusMenu::regenerateInformative() {
    return "つながっている端末はすべて切れます。iPhoneには新しい接続URLを入れ直してください。";
}

std::string StatusMenu::regenerateConfirm() {
    return "作り直す";
}

std::string StatusMenu::regenerateCancel() {
    return "キャンセル";
}

std::string StatusMenu::qrWindowTitle() {
    return "iPhoneのカメラで読み取ってください";
}

std::string StatusMenu::permissionExplanation(Action line) const {
    if (line == Action::openScreenSettings && !screenGranted_) {
        return "Xのディスプレイから画面を読み取れません。X11のデスクトップセッション"
               "（Waylandではなく）にログインし、DISPLAYが設定された状態で起動してください。";
    }
    if (line == Action::openInputSettings && !inputGranted_) {
        return "XサーバーにXTest拡張がないため、iPhoneからの操作を入力できません。"
               "XTestを有効にしたX11のデスクトップで起動してください。";
    }
    return {};
}

void StatusMenu::changed() {
    if (onChange) {
        onChange();
    }
}

}  // namespace quelm
