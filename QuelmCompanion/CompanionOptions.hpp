#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "QuelmCore/InputValues.hpp"
#include "QuelmCore/StreamConfig.hpp"

namespace quelm {

// What the command line asks of one companion run.
struct CompanionOptions {
    std::string host;
    std::uint16_t port = 0;
    std::string token;

    StreamConfig config{1920, 6.0, 30};
    // Audio bit rate in kbit/s; 0 asks for no audio.
    std::int64_t audioKbps = 0;
    std::optional<std::uint32_t> display;
    std::optional<KeyboardLayoutKind> layout;

    std::string pngPath;
    std::string wavPath;
    std::string scriptPath;
    bool acknowledge = true;
    // False: frames are counted and acknowledged but not decoded (for measurements where the
    // companion shares the machine with the host).
    bool decode = true;
    // Seconds to run after the host's hello; 0 runs until the connection ends.
    double duration = 0;
    // Video frames to receive before ending; 0 for no limit.
    std::uint64_t frames = 0;
    // Seconds to wait for the TCP connection, the handshake and the host's answer.
    double connectTimeout = 10;
    double statsInterval = 1;
    bool stats = true;
    bool verbose = false;

    // The parsed options, or a message for the user: the help or version text (`help` true,
    // for stdout) or an error.
    struct Message {
        std::string text;
        bool help = false;
    };
    static std::variant<CompanionOptions, Message> parse(const std::vector<std::string>& args);
    static std::string helpText();
};

}  // namespace quelm
