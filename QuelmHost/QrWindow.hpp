#pragma once

#include <memory>
#include <optional>
#include <string>

#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

typedef struct _GtkWidget GtkWidget;
typedef struct _GdkPixbuf GdkPixbuf;

namespace quelm {

// The window that shows the connection URL as a QR code with its quiet zone of four modules:
// modules of 10 pixels scaled to fit the content of 320 x 320, centred, closable. While it is on
// screen its frame rectangle is in the never-capture registry, with a margin, so the secret never
// reaches a stream; it is registered before the window is mapped and follows every move. Thread:
// the GTK main thread only.
class QrWindow final {
  public:
    static constexpr int moduleScale = 10;
    static constexpr int contentSize = 320;

    explicit QrWindow(std::shared_ptr<NeverCaptureRegistry> registry);
    ~QrWindow();
    QrWindow(const QrWindow&) = delete;
    QrWindow& operator=(const QrWindow&) = delete;

    // Shows the code of `text` in a new window, replacing an earlier one; false when the text
    // cannot be encoded.
    bool show(const std::string& text, const std::string& title);
    void close();
    bool isShown() const { return window_ != nullptr; }
    GtkWidget* window() const { return window_; }

  private:
    static int onDraw(GtkWidget* area, void* cairo, void* self);
    static int onConfigure(GtkWidget* window, void* event, void* self);
    static void onDestroy(GtkWidget* window, void* self);
    void registerRectangle();

    std::shared_ptr<NeverCaptureRegistry> registry_;
    GtkWidget* window_ = nullptr;
    GdkPixbuf* code_ = nullptr;
    std::optional<NeverCaptureRegistry::Id> registered_;
};

}  // namespace quelm
