#pragma once

#include <memory>

#include "QuelmHostKit/platform/SecretStore.hpp"

namespace quelm::SecretStores {

// The store to keep the connection secret in, and the one to fall back on (null when none).
struct Choice {
    std::shared_ptr<SecretStore> store;
    std::shared_ptr<SecretStore> fallback;
};

// The Secret Service when the session offers one, with the private file store under the user's
// data folder as its fallback (read when the service has no secret, written when it cannot keep
// one); without a Secret Service the file store alone. Logs which one it chose. Blocks for at
// most a few seconds.
Choice makeDefault();

}  // namespace quelm::SecretStores
