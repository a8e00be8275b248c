#pragma once

#include <string>

namespace quelm {

// The outcome of a capture operation at the platform edge, saying how the caller may recover.
struct CaptureStatus {
    enum class Kind {
        ok,
        // The user or the system refused access to the screen.
        denied,
        // Trying again later may work (the server is restarting, a resource is busy).
        temporary,
        // Trying again with the same request will fail the same way.
        permanent,
    };
    Kind kind = Kind::ok;
    // Human-readable, for the log.
    std::string description;

    bool ok() const { return kind == Kind::ok; }
    static CaptureStatus success() { return {}; }
    static CaptureStatus failure(Kind kind, std::string description) {
        return {kind, std::move(description)};
    }
};

}  // namespace quelm
