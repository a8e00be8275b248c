#include "QuelmHost/QrWindow.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

#include "QuelmHost/QrCode.hpp"

namespace quelm {

namespace {

// The quiet zone the QR standard asks for: a camera finds a code with a narrower white margin
// harder, above all against a dark desktop.
constexpr int kBorder = 4;

GdkPixbuf* pixbufOf(const QrCode& code) {
    int side = (code.size() + 2 * kBorder) * QrWindow::moduleScale;
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, side, side);
    gdk_pixbuf_fill(pixbuf, 0xffffffff);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    int stride = gdk_pixbuf_get_rowstride(pixbuf);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            int mx = x / QrWindow::moduleScale - kBorder;
            int my = y / QrWindow::moduleScale - kBorder;
            if (mx >= 0 && my >= 0 && mx < code.size() && my < code.size() && code.dark(mx, my)) {
                std::fill_n(pixels + y * stride + x * 3, 3, guchar(0));
            }
        }
    }
    return pixbuf;
}

}  // namespace

QrWindow::QrWindow(std::shared_ptr<NeverCaptureRegistry> registry)
    : registry_(std::move(registry)) {}

QrWindow::~QrWindow() {
    close();
}

bool QrWindow::show(const std::string& text, const std::string& title) {
    auto code = QrCode::encode(text);
    if (!code) {
        return false;
    }
    close();
    code_ = pixbufOf(*code);
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
    gtk_window_set_default_size(GTK_WINDOW(window_), contentSize, contentSize);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    // Centred by hand rather than by GTK at map time, so its place is known before the map.
    GdkDisplay* display = gtk_widget_get_display(window_);
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor) {
        monitor = gdk_display_get_monitor(display, 0);
    }
    if (monitor) {
        GdkRectangle area;
        gdk_monitor_get_workarea(monitor, &area);
        gtk_window_move(GTK_WINDOW(window_), area.x + (area.width - contentSize) / 2,
                        area.y + (area.height - contentSize) / 2);
    }
    GtkWidget* area = gtk_drawing_area_new();
    gtk_widget_set_size_request(area, contentSize, contentSize);
    gtk_container_add(GTK_CONTAINER(window_), area);
    g_signal_connect(area, "draw", G_CALLBACK(onDraw), this);
    g_signal_connect(window_, "configure-event", G_CALLBACK(onConfigure), this);
    g_signal_connect(window_, "destroy", G_CALLBACK(onDestroy), this);
    gtk_widget_realize(window_);
    // In the registry before it is mapped: the first picture after the map already hides it.
    registerRectangle();
    gtk_widget_show_all(window_);
    gtk_window_present(GTK_WINDOW(window_));
    return true;
}

void QrWindow::close() {
    if (window_) {
        GtkWidget* window = window_;
        gtk_widget_destroy(window);  // onDestroy forgets it
    }
}

void QrWindow::registerRectangle() {
    if (!window_) {
        return;
    }
    // A margin around the window: a move reaches the screen before its configure event
    // reaches us, and a picture grabbed in between must still not show the code.
    const int margin = 48;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    GdkWindow* gdkWindow = gtk_widget_get_window(window_);
    if (gdkWindow && gtk_widget_get_mapped(window_)) {
        GdkRectangle frame;
        gdk_window_get_frame_extents(gdkWindow, &frame);
        x = frame.x;
        y = frame.y;
        width = frame.width;
        height = frame.height;
    } else {
        // Not placed yet: where we asked for it; the margin leaves room for a frame.
        gtk_window_get_position(GTK_WINDOW(window_), &x, &y);
        gtk_window_get_size(GTK_WINDOW(window_), &width, &height);
    }
    DisplayRect rect{double(x - margin), double(y - margin), double(width + 2 * margin),
                     double(height + 2 * margin)};
    if (registered_) {
        registry_->set(*registered_, rect);
    } else {
        registered_ = registry_->add(rect);
    }
}

int QrWindow::onDraw(GtkWidget* area, void* context, void* data) {
    auto* self = static_cast<QrWindow*>(data);
    auto* cr = static_cast<cairo_t*>(context);
    int width = gtk_widget_get_allocated_width(area);
    int height = gtk_widget_get_allocated_height(area);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    if (!self->code_) {
        return FALSE;
    }
    // Scaled proportionally to fit, with sharp module edges: a whole number of pixels per
    // module where the window allows, so that every module has the same size.
    int side = gdk_pixbuf_get_width(self->code_);
    double scale = std::min(double(width) / side, double(height) / side);
    if (double pixels = std::floor(scale * QrWindow::moduleScale); pixels >= 1) {
        scale = pixels / QrWindow::moduleScale;
    }
    // Whole pixels, or the module edges fall between them.
    cairo_translate(cr, std::floor((width - side * scale) / 2),
                    std::floor((height - side * scale) / 2));
    cairo_scale(cr, scale, scale);
    gdk_cairo_set_source_pixbuf(cr, self->code_, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_paint(cr);
    return FALSE;
}

int QrWindow::onConfigure(GtkWidget*, void*, void* data) {
    static_cast<QrWindow*>(data)->registerRectangle();
    return FALSE;
}

void QrWindow::onDestroy(GtkWidget*, void* data) {
    auto* self = static_cast<QrWindow*>(data);
    if (self->registered_) {
        self->registry_->remove(*self->registered_);
        self->registered_.reset();
    }
    if (self->code_) {
        g_object_unref(self->code_);
        self->code_ = nullptr;
    }
    self->window_ = nullptr;
}

}  // namespace quelm
