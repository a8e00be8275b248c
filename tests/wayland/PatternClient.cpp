// A Wayland client for the tests: a full-screen window that shows a known pattern above a text
// entry, and prints what it receives, one line each, on stdout:
//   ready                        the window is mapped
//   motion X Y                   pointer motion, window coordinates
//   button N press|release X Y
//   key NAME                     a key press, by keysym name
//   scroll DX DY                 smooth scroll deltas
//   text TEXT                    the entry's text after a change
//   clipboard TEXT               the answer to "paste"
// With --animate the pattern scrolls sideways every 16 ms (full-screen motion for figures).
// Lines written to the FIFO named as the first argument: "copy TEXT" puts TEXT on the
// clipboard, "paste" reads it.
#include <fcntl.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kPatternHeight = 900;

GtkWidget* entry = nullptr;
int shift = 0;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Colour bars over the top half, a grey ramp below: the tests compute the same.
gboolean draw(GtkWidget* widget, cairo_t* cr, gpointer) {
    const int width = gtk_widget_get_allocated_width(widget);
    static const double bars[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                      {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
    for (int i = 0; i < 8; ++i) {
        cairo_set_source_rgb(cr, bars[i][0], bars[i][1], bars[i][2]);
        // Shifted sideways when animated, wrapping round.
        const int left = i * width / 8 + shift % width;
        const int barWidth = (i + 1) * width / 8 - i * width / 8;
        cairo_rectangle(cr, left, 0, barWidth, kPatternHeight / 2);
        cairo_rectangle(cr, left - width, 0, barWidth, kPatternHeight / 2);
        cairo_fill(cr);
    }
    // One gradient rather than a rectangle per column: cheap enough to redraw 60 times a second.
    cairo_pattern_t* ramp = cairo_pattern_create_linear(0, 0, width - 1, 0);
    cairo_pattern_add_color_stop_rgb(ramp, 0, 0, 0, 0);
    cairo_pattern_add_color_stop_rgb(ramp, 1, 1, 1, 1);
    cairo_set_source(cr, ramp);
    cairo_rectangle(cr, 0, kPatternHeight / 2, width, kPatternHeight / 2);
    cairo_fill(cr);
    cairo_pattern_destroy(ramp);
    return TRUE;
}

gboolean onMotion(GtkWidget*, GdkEventMotion* event, gpointer) {
    say("motion " + std::to_string(static_cast<int>(event->x)) + " " +
        std::to_string(static_cast<int>(event->y)));
    return FALSE;
}

gboolean onButton(GtkWidget*, GdkEventButton* event, gpointer) {
    if (event->type != GDK_BUTTON_PRESS && event->type != GDK_BUTTON_RELEASE) {
        return FALSE;
    }
    say("button " + std::to_string(event->button) +
        (event->type == GDK_BUTTON_PRESS ? " press " : " release ") +
        std::to_string(static_cast<int>(event->x)) + " " +
        std::to_string(static_cast<int>(event->y)));
    return FALSE;
}

gboolean onScroll(GtkWidget*, GdkEventScroll* event, gpointer) {
    if (event->direction == GDK_SCROLL_SMOOTH) {
        say("scroll " + std::to_string(event->delta_x) + " " + std::to_string(event->delta_y));
    }
    return FALSE;
}

gboolean onKey(GtkWidget*, GdkEventKey* event, gpointer) {
    const char* name = gdk_keyval_name(event->keyval);
    say(std::string("key ") + (name ? name : "?"));
    return FALSE;
}

void onChanged(GtkEditable* editable, gpointer) {
    say(std::string("text ") + gtk_entry_get_text(GTK_ENTRY(editable)));
}

void onClipboardText(GtkClipboard*, const gchar* text, gpointer) {
    say(std::string("clipboard ") + (text ? text : ""));
}

gboolean onInput(GIOChannel* channel, GIOCondition, gpointer) {
    gchar* line = nullptr;
    gsize length = 0;
    if (g_io_channel_read_line(channel, &line, &length, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
        return TRUE;
    }
    std::string command(line, length);
    g_free(line);
    while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
        command.pop_back();
    }
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    if (command.rfind("copy ", 0) == 0) {
        gtk_clipboard_set_text(clipboard, command.c_str() + 5, -1);
        say("copied");
    } else if (command == "paste") {
        gtk_clipboard_request_text(clipboard, onClipboardText, nullptr);
    }
    return TRUE;
}

gboolean onMapped(GtkWidget*, GdkEvent*, gpointer) {
    say("ready");
    return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* area = gtk_drawing_area_new();
    gtk_widget_set_size_request(area, -1, kPatternHeight);
    gtk_widget_add_events(area, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                                    GDK_BUTTON_RELEASE_MASK | GDK_SMOOTH_SCROLL_MASK);
    g_signal_connect(area, "draw", G_CALLBACK(draw), nullptr);
    g_signal_connect(area, "motion-notify-event", G_CALLBACK(onMotion), nullptr);
    g_signal_connect(area, "button-press-event", G_CALLBACK(onButton), nullptr);
    g_signal_connect(area, "button-release-event", G_CALLBACK(onButton), nullptr);
    g_signal_connect(area, "scroll-event", G_CALLBACK(onScroll), nullptr);
    entry = gtk_entry_new();
    g_signal_connect(entry, "changed", G_CALLBACK(onChanged), nullptr);
    gtk_box_pack_start(GTK_BOX(box), area, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), entry, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    g_signal_connect(window, "key-press-event", G_CALLBACK(onKey), nullptr);
    g_signal_connect(window, "map-event", G_CALLBACK(onMapped), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_window_fullscreen(GTK_WINDOW(window));
    gtk_widget_show_all(window);
    gtk_widget_grab_focus(entry);

    std::string fifo;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--animate") {
            g_timeout_add(
                16,
                [](gpointer area) -> gboolean {
                    shift = (shift + 7) % 1920;
                    gtk_widget_queue_draw(static_cast<GtkWidget*>(area));
                    return G_SOURCE_CONTINUE;
                },
                area);
        } else {
            fifo = argv[i];
        }
    }
    GIOChannel* input = nullptr;
    if (!fifo.empty()) {
        // Read and write, so that the FIFO never reads as ended between two writers.
        const int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            input = g_io_channel_unix_new(fd);
            g_io_channel_set_close_on_unref(input, TRUE);
            g_io_add_watch(input, G_IO_IN, onInput, nullptr);
        }
    }
    gtk_main();
    if (input) {
        g_io_channel_unref(input);
    }
    return 0;
}
