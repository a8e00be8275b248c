#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "QuelmCore/Messages.hpp"

namespace quelm {

// The few switches of quelmix-host.
struct CommandLine {
    bool headless = false;
    bool allowLocal = false;
    std::uint16_t port = Wire::defaultPort;
    bool help = false;
    bool version = false;
    // Print the connection URL and exit, instead of serving.
    bool showUrl = false;

    // The options after the program name, or an error text for the user.
    static std::variant<CommandLine, std::string> parse(std::span<const std::string_view> args);
    static std::string usage();
    // "quelmix-host VERSION" and a newline.
    static std::string versionLine();
};

}  // namespace quelm
