#pragma once

#include "QuelmHostKit/platform/SecretStore.hpp"

namespace quelm {

// Keeps secrets in the desktop's Secret Service (GNOME Keyring, KWallet ...) through libsecret,
// as items with the attributes "service" and "account". Calls block on D-Bus (and on an unlock
// prompt when the collection is locked); the caller serialises them.
class LibsecretStore final : public SecretStore {
  public:
    // True when the session bus has the Secret Service running, or starts it on request. Waits
    // at most about `timeoutSeconds` in all, so a broken bus cannot hold up start-up.
    static bool available(double timeoutSeconds = 3.0);

    SecretRead read(const SecretKey& key) override;
    SecretWrite update(const SecretKey& key, std::string_view value) override;
    SecretWrite add(const SecretKey& key, std::string_view value, std::string_view label) override;

    // Deletes the secret; true when one was there. For tidying up after tests.
    bool remove(const SecretKey& key);
};

}  // namespace quelm
