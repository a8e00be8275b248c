#pragma once

#include <memory>

#include "QuelmHostKit/platform/SecretStore.hpp"

namespace quelm::SecretStores {

// The Secret Service when the session offers one, else the private file store under the
// user's data folder. Logs which one it chose. Blocks for at most a few seconds.
std::shared_ptr<SecretStore> makeDefault();

}  // namespace quelm::SecretStores
