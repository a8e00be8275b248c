// A GTK window for the Wayland system tests (mutter and wlroots alike): full screen, it shows the
// test pattern (tests/fakes/TestPattern.hpp) with an entry in its bottom-right corner, and prints
// what it receives, one line per event:
//   ready W H                  mapped at this size
//   entry X Y W H              where the entry is, in window coordinates
//   enter X Y / motion X Y     pointer, window coordinates
//   button N down|up X Y
//   scroll DX DY               smooth scroll deltas
//   key down|up KEYVAL HWCODE  keyval as its name
//   text TEXT                  the entry's text after each change
//   focus                      the window got the keyboard focus
//   clipboard TEXT             answer to "paste"
//   copied                     after "copy" and "copy-secret"
// It reads commands from the FIFO named by its argument: "copy TEXT" puts TEXT on the
// clipboard, "copy-secret TEXT" too but marked as a password manager marks its copies, "paste"
// reads it, "animate" scrolls the whole pattern sideways every frame (for figures of full-screen
// motion;
// --animate on the command line does it from the start).
#include <gtk/gtk.h>

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/fakes/TestPattern.hpp"

namespace {

GtkWidget* entry = nullptr;
GdkPixbuf* pattern = nullptr;
// The pattern as a surface the window's own format: painting it is a copy.
cairo_surface_t* painted = nullptr;
GtkWidget* area = nullptr;
int shift = 0;
bool drawn = false;
bool announced = false;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

gboolean draw(GtkWidget* widget, cairo_t* cr, gpointer) {
    const int width = gtk_widget_get_allocated_width(widget);
    const int height = gtk_widget_get_allocated_height(widget);
    if (!pattern || gdk_pixbuf_get_width(pattern) != width ||
        gdk_pixbuf_get_height(pattern) != height) {
        if (pattern) {
            g_object_unref(pattern);
        }
        pattern = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
        guchar* pixels = gdk_pixbuf_get_pixels(pattern);
        const int stride = gdk_pixbuf_get_rowstride(pattern);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const auto rgb = quelm::test::testPatternPixel(x, y, width, height);
                guchar* p = pixels + y * stride + x * 3;
                p[0] = (rgb >> 16) & 0xFF;
                p[1] = (rgb >> 8) & 0xFF;
                p[2] = rgb & 0xFF;
            }
        }
    }
    drawn = true;
    if (!painted || cairo_image_surface_get_width(painted) != width) {
        if (painted) {
            cairo_surface_destroy(painted);
        }
        painted = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
        cairo_t* copy = cairo_create(painted);
        gdk_cairo_set_source_pixbuf(copy, pattern, 0, 0);
        cairo_paint(copy);
        cairo_destroy(copy);
    }
    cairo_set_source_surface(cr, painted, shift, 0);
    cairo_paint(cr);
    if (shift != 0) {
        cairo_set_source_surface(cr, painted, shift - width, 0);
        cairo_paint(cr);
    }
    return FALSE;
}

// Ready a moment after the pattern is first drawn, when the compositor shows it. (Focus comes
// only with a keyboard, which the host brings.)
gboolean announce(gpointer window) {
    if (announced || !drawn) {
        return G_SOURCE_CONTINUE;
    }
    announced = true;
    g_timeout_add(
        300,
        [](gpointer widget) {
            say("ready " + std::to_string(gtk_widget_get_allocated_width(GTK_WIDGET(widget))) +
                " " + std::to_string(gtk_widget_get_allocated_height(GTK_WIDGET(widget))));
            return G_SOURCE_REMOVE;
        },
        window);
    return G_SOURCE_REMOVE;
}

gboolean pointer(GtkWidget*, GdkEvent* event, gpointer) {
    char line[160];
    switch (event->type) {
        case GDK_ENTER_NOTIFY:
            std::snprintf(line, sizeof line, "enter %.0f %.0f", event->crossing.x,
                          event->crossing.y);
            break;
        case GDK_MOTION_NOTIFY:
            std::snprintf(line, sizeof line, "motion %.0f %.0f", event->motion.x, event->motion.y);
            break;
        case GDK_BUTTON_PRESS:
        case GDK_BUTTON_RELEASE:
            std::snprintf(line, sizeof line, "button %u %s %.0f %.0f", event->button.button,
                          event->type == GDK_BUTTON_PRESS ? "down" : "up", event->button.x,
                          event->button.y);
            break;
        case GDK_SCROLL: {
            double dx = 0, dy = 0;
            if (!gdk_event_get_scroll_deltas(event, &dx, &dy)) {
                dy = event->scroll.direction == GDK_SCROLL_UP     ? -1
                     : event->scroll.direction == GDK_SCROLL_DOWN ? 1
                                                                  : 0;
            }
            std::snprintf(line, sizeof line, "scroll %.2f %.2f", dx, dy);
            break;
        }
        default:
            return FALSE;
    }
    say(line);
    return FALSE;
}

gboolean key(GtkWidget*, GdkEventKey* event, gpointer) {
    const char* name = gdk_keyval_name(event->keyval);
    say(std::string("key ") + (event->type == GDK_KEY_PRESS ? "down " : "up ") +
        (name ? name : "none") + " " + std::to_string(event->hardware_keycode));
    return FALSE;
}

void entryAllocated(GtkWidget* widget, GdkRectangle* area, gpointer) {
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(widget, gtk_widget_get_toplevel(widget), 0, 0, &x, &y);
    say("entry " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(area->width) +
        " " + std::to_string(area->height));
}

void animate() {
    gtk_widget_add_tick_callback(
        area,
        [](GtkWidget* widget, GdkFrameClock*, gpointer) -> gboolean {
            shift = (shift + 8) % std::max(gtk_widget_get_allocated_width(widget), 1);
            gtk_widget_queue_draw(widget);
            return G_SOURCE_CONTINUE;
        },
        nullptr, nullptr);
}

// Text offered with the hint password managers put beside their copies.
void copySecret(GtkClipboard* clipboard, const std::string& text) {
    constexpr guint kHint = 1;
    GtkTargetList* list = gtk_target_list_new(nullptr, 0);
    gtk_target_list_add_text_targets(list, 0);
    gtk_target_list_add(list, gdk_atom_intern_static_string("x-kde-passwordManagerHint"), 0, kHint);
    gint count = 0;
    GtkTargetEntry* targets = gtk_target_table_new_from_list(list, &count);
    gtk_target_list_unref(list);
    gtk_clipboard_set_with_data(
        clipboard, targets, guint(count),
        [](GtkClipboard*, GtkSelectionData* data, guint info, gpointer content) {
            if (info == kHint) {
                static const guchar hint[] = "secret";
                gtk_selection_data_set(data, gtk_selection_data_get_target(data), 8, hint,
                                       sizeof hint - 1);
            } else {
                gtk_selection_data_set_text(data, static_cast<const char*>(content), -1);
            }
        },
        [](GtkClipboard*, gpointer content) { g_free(content); }, g_strdup(text.c_str()));
    gtk_target_table_free(targets, count);
}

gboolean command(GIOChannel* channel, GIOCondition, gpointer) {
    gchar* text = nullptr;
    gsize length = 0;
    if (g_io_channel_read_line(channel, &text, &length, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    std::string line(text, length);
    g_free(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    if (line.rfind("copy ", 0) == 0) {
        gtk_clipboard_set_text(clipboard, line.c_str() + 5, -1);
        say("copied");
    } else if (line.rfind("copy-secret ", 0) == 0) {
        copySecret(clipboard, line.substr(12));
        say("copied");
    } else if (line == "animate") {
        animate();
    } else if (line == "paste") {
        gtk_clipboard_request_text(
            clipboard,
            [](GtkClipboard*, const gchar* content, gpointer) {
                say(std::string("clipboard ") + (content ? content : ""));
            },
            nullptr);
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    gdk_set_allowed_backends("wayland");
    gtk_init(&argc, &argv);
    // A blinking text cursor would change the screen for ever.
    g_object_set(gtk_settings_get_default(), "gtk-cursor-blink", FALSE, nullptr);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "quelmix test");
    GtkWidget* overlay = gtk_overlay_new();
    area = gtk_drawing_area_new();
    gtk_widget_add_events(area, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                                    GDK_BUTTON_RELEASE_MASK | GDK_SMOOTH_SCROLL_MASK |
                                    GDK_ENTER_NOTIFY_MASK);
    g_signal_connect(area, "draw", G_CALLBACK(draw), nullptr);
    g_signal_connect(area, "event", G_CALLBACK(pointer), nullptr);
    gtk_container_add(GTK_CONTAINER(overlay), area);

    entry = gtk_entry_new();
    gtk_widget_set_size_request(entry, 240, -1);
    gtk_widget_set_halign(entry, GTK_ALIGN_END);
    gtk_widget_set_valign(entry, GTK_ALIGN_END);
    g_signal_connect(entry, "size-allocate", G_CALLBACK(entryAllocated), nullptr);
    g_signal_connect(entry, "changed", G_CALLBACK(+[](GtkEditable* editable, gpointer) {
                         say(std::string("text ") + gtk_entry_get_text(GTK_ENTRY(editable)));
                     }),
                     nullptr);
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), entry);
    gtk_container_add(GTK_CONTAINER(window), overlay);

    g_signal_connect(window, "key-press-event", G_CALLBACK(key), nullptr);
    g_signal_connect(window, "key-release-event", G_CALLBACK(key), nullptr);
    g_signal_connect(window, "focus-in-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) {
                         say("focus");
                         return FALSE;
                     }),
                     nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_window_fullscreen(GTK_WINDOW(window));
    gtk_widget_show_all(window);
    gtk_widget_grab_focus(entry);
    g_timeout_add(50, announce, window);

    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--animate") {
            animate();
            continue;
        }
        // Opened for writing too, so that the FIFO never reports an end.
        GIOChannel* input = g_io_channel_unix_new(open(argv[i], O_RDWR | O_CLOEXEC));
        g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), command, nullptr);
    }
    gtk_main();
    return 0;
}
