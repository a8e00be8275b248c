#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/fakes/ChildProcess.hpp"

namespace quelm::test {

// The loopback connection URL of a quelmix-host started with --allow-local, got as a user
// would: the port from its "listening on 127.0.0.1:PORT" line, the URL from `program
// --show-url` run with the host's environment (so the same secret store). Empty when either
// does not come within `seconds`.
std::optional<std::string> loopbackURL(ChildProcess& host, const std::string& program,
                                       const std::vector<std::string>& environment,
                                       double seconds = 10);

// The command line of quelmix-companion against `url`, `args` after it.
std::vector<std::string> companionCommand(const std::string& url, std::vector<std::string> args);

// Writes `text` to `folder`/script.jsonl for quelmix-companion's --script; the file's path.
std::string companionScript(const std::filesystem::path& folder, const std::string& text);

}  // namespace quelm::test
