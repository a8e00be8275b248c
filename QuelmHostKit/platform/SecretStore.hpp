#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "QuelmCore/Bytes.hpp"

namespace quelm {

// Names one secret: the service that owns it and the account within that service.
struct SecretKey {
    std::string service;
    std::string account;
};

namespace SecretOutcome {
struct Found {
    Bytes value;
};
struct Written {};
struct NotFound {};
// `status` is the store's own code (a D-Bus error code, an errno value); never 0 on failure.
struct Failed {
    int status = -1;
};
}  // namespace SecretOutcome

using SecretRead =
    std::variant<SecretOutcome::Found, SecretOutcome::NotFound, SecretOutcome::Failed>;
using SecretWrite =
    std::variant<SecretOutcome::Written, SecretOutcome::NotFound, SecretOutcome::Failed>;

// A per-user store that keeps one secret per key and survives restarts. Calls block until the
// store answers (bounded by the implementation); the caller serialises them.
class SecretStore {
  public:
    virtual ~SecretStore() = default;

    virtual SecretRead read(const SecretKey& key) = 0;
    // Replaces the value of an existing secret, leaving its label alone; NotFound when there is
    // none.
    virtual SecretWrite update(const SecretKey& key, std::string_view value) = 0;
    // Creates the secret with a label the user sees in the store's own tools.
    virtual SecretWrite add(const SecretKey& key, std::string_view value,
                            std::string_view label) = 0;
};

}  // namespace quelm
