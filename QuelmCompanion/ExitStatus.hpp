#pragma once

namespace quelm {

// Process exit codes of quelmix-companion, listed in its --help.
enum class ExitStatus : int {
    ok = 0,
    // Unusable command line or unreadable script.
    usage = 2,
    // No TCP connection or no WebSocket handshake, or no answer to the hello in time.
    connectFailed = 3,
    authFailed = 4,
    // The host ended the connection before the run was over (replaced included).
    closedByHost = 5,
    // The host reported a stream error ({"error":...}).
    hostError = 6,
    // --frames was not reached within --duration.
    framesMissing = 7,
    // The PNG or WAV file could not be written.
    outputFailed = 8,
};

}  // namespace quelm
