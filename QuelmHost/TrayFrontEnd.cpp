#include "QuelmHost/TrayFrontEnd.hpp"

#include <glib/gstdio.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <fstream>

#include "QuelmCore/AppIdentity.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr const char* kWaitingIcon = "quelmix-waiting";
constexpr const char* kConnectedIcon = "quelmix-connected";

// Two panes of a screen; the connected one filled, with a person in front.
constexpr const char* kWaitingSvg =
    R"(<svg xmlns="http://www.w3.org/2000/svg" width="22" height="22" viewBox="0 0 22 22">)"
    R"(<rect x="3" y="3" width="16" height="16" rx="2" fill="none" stroke="#dfdfdf" stroke-width="1.6"/>)"
    R"(<line x1="3" y1="11" x2="19" y2="11" stroke="#dfdfdf" stroke-width="1.6"/></svg>)";
constexpr const char* kConnectedSvg =
    R"(<svg xmlns="http://www.w3.org/2000/svg" width="22" height="22" viewBox="0 0 22 22">)"
    R"(<rect x="2" y="3" width="18" height="14" rx="2" fill="#dfdfdf"/>)"
    R"(<circle cx="11" cy="9" r="2.6" fill="#303030"/>)"
    R"(<path d="M6.5 16 a4.5 4 0 0 1 9 0 z" fill="#303030"/>)"
    R"(<rect x="7" y="18.5" width="8" height="1.6" rx="0.8" fill="#dfdfdf"/></svg>)";

// Our two icons as files an icon theme path can point at; written once per run.
std::string iconFolder() {
    std::string folder = std::string(g_get_user_cache_dir()) + "/quelmix/icons";
    g_mkdir_with_parents(folder.c_str(), 0700);
    for (auto [name, svg] :
         {std::pair{kWaitingIcon, kWaitingSvg}, std::pair{kConnectedIcon, kConnectedSvg}}) {
        std::ofstream(folder + "/" + name + ".svg", std::ios::trunc) << svg;
    }
    return folder;
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
    app_indicator_set_icon_theme_path(indicator_, iconFolder().c_str());
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
