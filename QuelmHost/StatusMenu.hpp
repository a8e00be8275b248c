#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QuelmHostKit/platform/LoginItem.hpp"
#include "QuelmHostKit/platform/Pasteboard.hpp"
#include "QuelmHostKit/platform/Permissions.hpp"
#include "QuelmHostKit/platform/PowerAssertions.hpp"
#include "QuelmHostKit/platform/SettingsStore.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"

namespace quelm {

// The status menu without a toolkit: its entries, their texts, check marks and actions, the
// icon, the copied connection URL and its clearing, keep-awake and its persistence, and the
// display-sleep inhibitor held while a companion is connected. The tray renders `entries()`
// and calls the actions; the terminal front end uses the same rules without a menu.
// Thread: main queue only. Owned by a shared_ptr; its delayed clearing holds it weakly.
class StatusMenu final : public std::enable_shared_from_this<StatusMenu> {
  public:
    enum class Action {
        none,
        copyURL,
        showQR,
        openScreenSettings,
        openInputSettings,
        toggleLogin,
        toggleAwake,
        toggleLocal,
        regenerate,
        quit,
    };
    struct Entry {
        bool separator = false;
        std::string title;
        Action action = Action::none;
        bool enabled = true;
        std::optional<bool> checked;  // set for the switches only
        std::string keyEquivalent;

        friend bool operator==(const Entry&, const Entry&) = default;
    };
    enum class Icon { waiting, connected };

    struct Services {
        std::shared_ptr<SerialQueue> mainQueue;
        std::shared_ptr<Pasteboard> pasteboard;  // none without a display
        std::shared_ptr<SettingsStore> settings;
        std::shared_ptr<PowerAssertions> power;
        std::shared_ptr<LoginItem> loginItem;
        std::shared_ptr<Permissions> permissions;
        std::function<std::optional<std::string>()> tailscaleAddress;
        std::function<std::optional<std::string>()> token;
        std::function<void(bool)> setLocalAllowed;
        // Makes a new secret and ends every connection.
        std::function<void()> regenerateSecret;
        std::uint16_t port = 5290;
    };

    // The copied URL is cleared after this many seconds unless something else was copied.
    static constexpr double urlLifetime = 120;
    static constexpr const char* keepAwakeKey = "keepAwake";

    static std::shared_ptr<StatusMenu> create(Services services);

    std::vector<Entry> entries() const;
    Icon icon() const { return icon_; }
    // The accessible name of the icon.
    static std::string iconDescription();

    // Refreshes the status line, the permission lines and the check marks; calls onChange
    // when any of them differs from before.
    void refresh();
    // The status handler: icon, status line, and the display-sleep inhibitor.
    void statusChanged(const RemoteServer::Status& status);
    // Holds or gives back the keep-awake assertion as the persisted setting says.
    void applyKeepAwake();

    void copyURL();
    // The URL to show as a QR code, or none without a Tailscale address or secret.
    std::optional<std::string> connectionURL() const;
    void toggleLocal();
    // The server was told at launch already (the --allow-local option).
    void showLocalAllowed(bool allowed);
    void toggleLogin();
    void toggleAwake();
    // The user confirmed the regeneration dialog.
    void regenerate();

    // Texts of the regeneration dialog.
    static std::string regenerateMessage();
    static std::string regenerateInformative();
    static std::string regenerateConfirm();
    static std::string regenerateCancel();
    // The title of the QR window.
    static std::string qrWindowTitle();
    // What a permission line's dialog says; empty when nothing is missing.
    std::string permissionExplanation(Action line) const;

    std::function<void()> onChange;

  private:
    explicit StatusMenu(Services services);
    void changed();

    Services services_;
    RemoteServer::Status status_ = RemoteServer::Waiting{};
    Icon icon_ = Icon::waiting;
    std::string statusLine_;
    bool screenGranted_ = false;
    bool inputGranted_ = false;
    bool loginEnabled_ = false;
    bool awakeOn_ = false;
    bool localAllowed_ = false;
    PowerAssertions::Id awakeAssertion_ = 0;
    PowerAssertions::Id sleepAssertion_ = 0;
};

}  // namespace quelm
