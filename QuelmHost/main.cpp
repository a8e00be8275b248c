#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "QuelmHost/AppDelegate.hpp"
#include "QuelmHost/CommandLine.hpp"
#include "QuelmHostKit/linux/LinuxHostEnvironment.hpp"
#include "QuelmHostKit/linux/gtk/GLibMainQueue.hpp"
#include "QuelmHostKit/linux/gtk/GtkDisplay.hpp"
#include "QuelmHostKit/linux/log/JournalLogSink.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/server/Net.hpp"

namespace {

gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    auto parsed = quelm::CommandLine::parse(args);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "quelmix-host: %s\n%s", error->c_str(),
                     quelm::CommandLine::usage().c_str());
        return 2;
    }
    auto commandLine = std::get<quelm::CommandLine>(parsed);
    if (commandLine.help) {
        std::fputs(quelm::CommandLine::usage().c_str(), stdout);
        return 0;
    }
    if (commandLine.version) {
        std::fputs(quelm::CommandLine::versionLine().c_str(), stdout);
        return 0;
    }

    quelm::Log::setSink(std::make_shared<quelm::JournalLogSink>());
    if (commandLine.showUrl) {
        auto tokens = quelm::AppDelegate::makeTokenStore();
        auto failure = quelm::HeadlessFrontEnd::printURLs(
            [&tokens] { return tokens->token(); }, [] { return quelm::Net::tailscaleIPv4(); },
            commandLine.port, commandLine.allowLocal, isatty(fileno(stdout)) == 1, stdout);
        if (failure) {
            std::fprintf(stderr, "quelmix-host: %s\n", failure->c_str());
            return 1;
        }
        return 0;
    }
    // Writes to a closed socket report an error instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGINT, quitLoop, loop);
    g_unix_signal_add(SIGTERM, quitLoop, loop);
    {
        // GTK serves the clipboard in both modes, and the tray unless headless.
        if (!quelm::GtkDisplay::open() && !commandLine.headless) {
            quelm::Log::info("no display for the tray: running headless");
            commandLine.headless = true;
        }
        auto neverCapture = std::make_shared<quelm::NeverCaptureRegistry>();
        auto environment = quelm::LinuxHostEnvironment::forSession(neverCapture);
        quelm::AppDelegate app(commandLine, std::make_shared<quelm::GLibMainQueue>(), environment);
        app.neverCapture = neverCapture;
        app.onQuit = [loop] { g_main_loop_quit(loop); };
        app.program = argv[0];
        if (!app.launch()) {
            // Without a screen there is nothing to offer a companion: say why and stop, rather
            // than greet companions with a display that does not exist.
            std::fprintf(stderr, "quelmix-host: %s\n", environment->unavailableReason().c_str());
            status = 1;
        } else {
            g_main_loop_run(loop);
        }
        app.shutdown();
    }
    g_main_loop_unref(loop);
    return status;
}
