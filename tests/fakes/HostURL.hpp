#pragma once

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

}  // namespace quelm::test
