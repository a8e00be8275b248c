#include "QuelmHost/CommandLine.hpp"

#include <charconv>

#include "QuelmVersion.hpp"

namespace quelm {

std::variant<CommandLine, std::string> CommandLine::parse(std::span<const std::string_view> args) {
    CommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--headless") {
            line.headless = true;
        } else if (arg == "--allow-local") {
            line.allowLocal = true;
        } else if (arg == "--show-url") {
            line.showUrl = true;
        } else if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else if (arg == "--port") {
            if (i + 1 == args.size()) {
                return std::string("--port needs a number");
            }
            std::string_view value = args[++i];
            unsigned port = 0;
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (error != std::errc() || end != value.data() + value.size() || port > 65535) {
                return "not a port: " + std::string(value);
            }
            // 0 lets the system pick a free port (printed in the local URL).
            line.port = static_cast<std::uint16_t>(port);
        } else {
            return "unknown option: " + std::string(arg);
        }
    }
    return line;
}

std::string CommandLine::usage() {
    return "Usage: quelmix-host [--headless] [--allow-local] [--port N]\n"
           "       quelmix-host --show-url [--allow-local] [--port N]\n"
           "  --headless     no tray icon; print the status on stdout, and the connection URL\n"
           "                 when stdout is a terminal\n"
           "  --show-url     print the connection URL (with --allow-local also the one for\n"
           "                 this machine) and its QR code, then exit\n"
           "  --allow-local  also accept connections from this machine (127.0.0.1), for tests\n"
           "  --port N       TCP port to listen on (default 5290)\n"
           "  --help         show this text\n"
           "  --version      print the version\n";
}

std::string CommandLine::versionLine() {
    return "quelmix-host " + std::string(kVersion) + "\n";
}

}  // namespace quelm
