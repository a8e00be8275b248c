#include "QuelmHost/TrayFrontEnd.hpp"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <filesystem>
#include <optional>

#include "QuelmCore/AppIdentity.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

// Symbolic icons: panels draw them in their own foreground colour, so they read on light and
// dark panels alike. Waiting: a screen split in two panes; connected: a filled screen with a
// person cut out of it.
constexpr const char* kWaitingIcon = "quelmix-waiting-symbolic";
constexpr const char* kConnectedIcon = "quelmix-connected-symbolic";

// The icons' folder in the installed layout beside the program (share/ next to bin/), which the
// build tree copies. Panels find installed icons through their theme without it.
std::optional<std::string> iconFolder() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    const auto folder = program.parent_path().parent_path() / "share/icons/hicolor/scalable/status";
    if (!std::filesystem::exists(folder / (std::string(kWaitingIcon) + ".svg"), error)) {
        return std::nullopt;
    }
    return folder.string();
}

}  // namespace

TrayFrontEnd::TrayFrontEnd(std::shared_ptr<StatusMenu> menu,
                           std::shared_ptr<NeverCaptureRegistry> registry,
                           std::shared_ptr<SerialQueue> mainQueue, std::function<void()> onQuit)
    : menu_(std::move(menu)),
      mainQueue_(std::move(mainQueue)),
      onQuit_(std::move(onQuit)),
      qr_(std::move(registry)) {}

TrayFrontEnd::~TrayFrontEnd() {
    *alive_ = false;
    menu_->onChange = nullptr;
    if (dialog_) {
        gtk_widget_destroy(dialog_);
    }
    if (indicator_) {
        g_object_unref(indicator_);
    }
    if (accelerators_) {
        g_object_unref(accelerators_);
    }
}

void TrayFrontEnd::begin() {
    indicator_ = app_indicator_new(std::string(kApplicationId).c_str(), kWaitingIcon,
                                   APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    if (auto folder = iconFolder()) {
        app_indicator_set_icon_theme_path(indicator_, folder->c_str());
    } else {
        Log::info("tray icons not found beside the program: the icon theme's are used");
    }
    app_indicator_set_title(indicator_, StatusMenu::iconDescription().c_str());
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
    gtkMenu_ = gtk_menu_new();
    accelerators_ = gtk_accel_group_new();
    gtk_menu_set_accel_group(GTK_MENU(gtkMenu_), accelerators_);
    app_indicator_set_menu(indicator_, GTK_MENU(gtkMenu_));
    menu_->onChange = [this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) {
            render();
        }
    };
    render();
    refresher_ = mainQueue_->every(refreshInterval, [this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) {
            menu_->refresh();
        }
    });
}

void TrayFrontEnd::render() {
    if (!indicator_) {
        return;
    }
    bool connected = menu_->icon() == StatusMenu::Icon::connected;
    app_indicator_set_icon_full(indicator_, connected ? kConnectedIcon : kWaitingIcon,
                                StatusMenu::iconDescription().c_str());
    rendering_ = true;
    GList* children = gtk_container_get_children(GTK_CONTAINER(gtkMenu_));
    for (GList* child = children; child; child = child->next) {
        gtk_widget_destroy(GTK_WIDGET(child->data));
    }
    g_list_free(children);
    for (const auto& entry : menu_->entries()) {
        GtkWidget* item = nullptr;
        if (entry.separator) {
            item = gtk_separator_menu_item_new();
        } else if (entry.checked) {
            item = gtk_check_menu_item_new_with_label(entry.title.c_str());
            gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), *entry.checked);
        } else {
            item = gtk_menu_item_new_with_label(entry.title.c_str());
        }
        gtk_widget_set_sensitive(item, entry.enabled);
        if (entry.keyEquivalent.size() == 1) {
            gtk_widget_add_accelerator(item, "activate", accelerators_,
                                       gdk_unicode_to_keyval(entry.keyEquivalent[0]),
                                       GDK_CONTROL_MASK, GTK_ACCEL_VISIBLE);
        }
        g_object_set_data(G_OBJECT(item), "quelm-action",
                          GINT_TO_POINTER(static_cast<int>(entry.action)));
        if (!entry.separator && entry.action != StatusMenu::Action::none) {
            g_signal_connect(item, "activate", G_CALLBACK(onActivate), this);
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(gtkMenu_), item);
    }
    gtk_widget_show_all(gtkMenu_);
    rendering_ = false;
}

void TrayFrontEnd::onActivate(GtkWidget* item, void* data) {
    auto* self = static_cast<TrayFrontEnd*>(data);
    if (self->rendering_) {
        return;  // a check mark set while building the menu is not a choice
    }
    auto action = static_cast<StatusMenu::Action>(
        GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), "quelm-action")));
    // The menu is rebuilt by some actions: act after this signal has returned.
    self->mainQueue_->async([self, action, alive = std::weak_ptr<bool>(self->alive_)] {
        if (alive.lock()) {
            self->perform(action);
        }
    });
}

void TrayFrontEnd::perform(StatusMenu::Action action) {
    using Action = StatusMenu::Action;
    switch (action) {
        case Action::copyURL:
            menu_->copyURL();
            break;
        case Action::showQR:
            showQR();
            break;
        case Action::openScreenSettings:
        case Action::openInputSettings:
            explain(action);
            break;
        case Action::toggleLogin:
            menu_->toggleLogin();
            break;
        case Action::toggleAwake:
            menu_->toggleAwake();
            break;
        case Action::toggleLocal:
            menu_->toggleLocal();
            break;
        case Action::regenerate:
            askRegenerate();
            break;
        case Action::quit:
            if (onQuit_) {
                onQuit_();
            }
            break;
        case Action::none:
            break;
    }
}

void TrayFrontEnd::showQR() {
    if (auto url = menu_->connectionURL()) {
        qr_.show(*url, StatusMenu::qrWindowTitle());
    }
}

void TrayFrontEnd::askRegenerate() {
    if (dialog_) {
        gtk_window_present(GTK_WINDOW(dialog_));
        return;
    }
    dialog_ =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE,
                               "%s", StatusMenu::regenerateMessage().c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog_), "%s",
                                             StatusMenu::regenerateInformative().c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog_), StatusMenu::regenerateConfirm().c_str(),
                          GTK_RESPONSE_ACCEPT);
    gtk_dialog_add_button(GTK_DIALOG(dialog_), StatusMenu::regenerateCancel().c_str(),
                          GTK_RESPONSE_CANCEL);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog_), GTK_RESPONSE_ACCEPT);
    g_signal_connect(dialog_, "response",
                     G_CALLBACK(+[](GtkDialog* dialog, int response, gpointer data) {
                         auto* self = static_cast<TrayFrontEnd*>(data);
                         gtk_widget_destroy(GTK_WIDGET(dialog));
                         self->dialog_ = nullptr;
                         if (response == GTK_RESPONSE_ACCEPT) {
                             self->menu_->regenerate();
                         }
                     }),
                     this);
    gtk_window_present(GTK_WINDOW(dialog_));
}

void TrayFrontEnd::explain(StatusMenu::Action line) {
    auto text = menu_->permissionExplanation(line);
    if (text.empty()) {
        return;
    }
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GtkDialogFlags(0), GTK_MESSAGE_INFO,
                                               GTK_BUTTONS_OK, "%s", text.c_str());
    g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace quelm
