// The desktop half of AppDelegate: status menu and tray, pasteboard bridge, lock state and
// keep-awake. The terminal front end runs all of it but the tray and its windows.
#include "QuelmHost/AppDelegate.hpp"
#include "QuelmHostKit/linux/gtk/GdkPixbufImageCodec.hpp"
#include "QuelmHostKit/linux/gtk/GtkPasteboard.hpp"
#include "QuelmHostKit/linux/session/DBusPowerAssertions.hpp"
#include "QuelmHostKit/linux/session/KeyFileSettingsStore.hpp"
#include "QuelmHostKit/linux/session/LogindSessionLock.hpp"
#include "QuelmHostKit/linux/session/XdgAutostartLoginItem.hpp"
#include "QuelmHostKit/linux/x11/X11Permissions.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "QuelmHostKit/server/Net.hpp"

namespace quelm {

void AppDelegate::buildMenu() {
    // The session's own clipboard where it has one (GNOME's or wlroots' Wayland); else the GTK
    // clipboard, which needs GTK on a display (main() opened it when there is one).
    std::shared_ptr<Pasteboard> pasteboard = environment_->createPasteboard(mainQueue_);
    if (!pasteboard) {
        pasteboard = GtkPasteboard::create();
    }
    std::weak_ptr<RemoteServer> server = server_;

    StatusMenu::Services services;
    services.mainQueue = mainQueue_;
    services.pasteboard = pasteboard;
    services.settings =
        std::make_shared<KeyFileSettingsStore>(KeyFileSettingsStore::forCurrentUser());
    services.power = DBusPowerAssertions::create();
    services.loginItem =
        std::make_shared<XdgAutostartLoginItem>(XdgAutostartLoginItem::forCurrentUser());
    services.permissions = std::make_shared<X11Permissions>(X11Permissions::probe());
    services.tailscaleAddress = [] { return Net::tailscaleIPv4(); };
    services.token = [tokens = tokens_] { return tokens->token(); };
    services.setLocalAllowed = [server](bool allowed) {
        if (auto strong = server.lock()) {
            strong->setLocalAllowed(allowed);
        }
    };
    services.regenerateSecret = [server, tokens = tokens_] {
        // Only the random source can fail here: a store that cannot keep the new secret is
        // logged by the token store, and the secret is used for this run all the same.
        if (!tokens->regenerate()) {
            Log::info("secret not renewed: the secure random source failed");
            return;
        }
        if (auto strong = server.lock()) {
            strong->disconnectAll();
        }
    };
    services.port = commandLine_.port;
    menu_ = StatusMenu::create(std::move(services));
    menu_->showLocalAllowed(commandLine_.allowLocal);

    if (pasteboard) {
        imageQueue_ = std::make_shared<ThreadQueue>("quelmix.clipboard.image");
        clipboard_ = ClipboardBridge::create(pasteboard, mainQueue_, imageQueue_,
                                             std::make_shared<GdkPixbufImageCodec>());
    } else {
        Log::info("no display: clipboard not shared");
    }
    if (!commandLine_.headless) {
        tray_ = std::make_unique<TrayFrontEnd>(menu_, neverCapture, mainQueue_, [this] {
            if (onQuit) {
                onQuit();
            }
        });
        tray_->begin();
    }
}

void AppDelegate::wireDesktop() {
    std::weak_ptr<RemoteServer> server = server_;
    if (clipboard_) {
        std::weak_ptr<ClipboardBridge> clipboard = clipboard_;
        clipboard_->onCopy = [server](std::string text) {
            if (auto strong = server.lock()) {
                strong->sendClipboard(std::move(text));
            }
        };
        clipboard_->onImage = [server](Bytes data, ClipImageFormat format) {
            if (auto strong = server.lock()) {
                strong->sendClipboardImage(std::move(data), format);
            }
        };
        clipboard_->wantsImages = [server] {
            auto strong = server.lock();
            return strong && strong->acceptsImages();
        };
        server_->onClipboardFromPhone = [clipboard](std::string text) {
            if (auto strong = clipboard.lock()) {
                strong->setFromPhone(text);
            }
        };
        // The format is not passed on: the bytes say what they are.
        server_->onImageFromPhone = [clipboard](Bytes data, ClipImageFormat) {
            if (auto strong = clipboard.lock()) {
                strong->setFromPhoneImage(std::move(data));
            }
        };
        clipboard_->start(0.5);
    }

    auto lock = LogindSessionLock::create();
    lock->watch([server](bool locked) {
        if (auto strong = server.lock()) {
            strong->setLocked(locked);
        }
    });
    lock_ = lock;

    menu_->applyKeepAwake();
}

}  // namespace quelm
