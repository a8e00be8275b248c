#pragma once

#include <functional>
#include <memory>
#include <string>

#include "QuelmHost/QrWindow.hpp"
#include "QuelmHost/StatusMenu.hpp"

typedef struct _AppIndicator AppIndicator;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkAccelGroup GtkAccelGroup;

namespace quelm {

// The tray icon (Ayatana AppIndicator, a StatusNotifierItem) with the status menu rendered
// from the menu model, the QR window, and the two dialogs (regeneration, missing permission).
// The tray protocol says nothing when its menu opens, so the model is refreshed every few
// seconds and the menu rebuilt only when something it shows changed.
// Thread: the GTK main thread only.
class TrayFrontEnd final {
  public:
    static constexpr double refreshInterval = 2;

    TrayFrontEnd(std::shared_ptr<StatusMenu> menu, std::shared_ptr<NeverCaptureRegistry> registry,
                 std::shared_ptr<SerialQueue> mainQueue, std::function<void()> onQuit);
    ~TrayFrontEnd();
    TrayFrontEnd(const TrayFrontEnd&) = delete;
    TrayFrontEnd& operator=(const TrayFrontEnd&) = delete;

    void begin();
    void perform(StatusMenu::Action action);

    QrWindow& qrWindow() { return qr_; }
    // The rendered menu, as the tray exports it.
    GtkWidget* menu() const { return gtkMenu_; }

  private:
    void render();
    void showQR();
    void askRegenerate();
    void explain(StatusMenu::Action line);
    static void onActivate(GtkWidget* item, void* self);

    std::shared_ptr<StatusMenu> menu_;
    std::shared_ptr<SerialQueue> mainQueue_;
    std::function<void()> onQuit_;
    QrWindow qr_;
    AppIndicator* indicator_ = nullptr;
    GtkWidget* gtkMenu_ = nullptr;
    // The key equivalents ("q" for quit), as Control shortcuts the exported menu shows.
    GtkAccelGroup* accelerators_ = nullptr;
    GtkWidget* dialog_ = nullptr;
    std::shared_ptr<RepeatingTimer> refresher_;
    bool rendering_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quelm
