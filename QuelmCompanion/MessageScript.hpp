#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quelm {

struct ParsedScript;

// A timed list of things for the companion to do, read from JSON lines (format in --help).
struct MessageScript {
    struct Step {
        // Seconds after the host's hello.
        double at = 0;
        // JSON text to send, or empty.
        std::string send;
        // Turns acknowledging on or off, when given.
        std::optional<bool> acknowledge;
    };
    std::vector<Step> steps;

    static ParsedScript parse(const std::string& text);
    static ParsedScript load(const std::string& path);
};

// A script, or an error naming the line.
struct ParsedScript {
    std::optional<MessageScript> script;
    std::string error;
};

}  // namespace quelm
