#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "QuelmCore/RandomSource.hpp"
#include "QuelmHostKit/platform/SecretStore.hpp"

namespace quelm {

// Owns the connection secret: made once from the kernel's secure random source, kept in the
// user's secret store, cached after the first use, replaced only on request.
// With a fallback store, the secret survives whichever of the two answers: the fallback is read
// when the chosen store has no secret (which is then copied into the chosen one), it keeps the
// secret when the chosen store cannot, and a copy it already holds is kept current.
// Thread-safe: `token()` may be called from any thread; the first call fills the cache once,
// store access included, under the lock.
class TokenStore final {
  public:
    static constexpr std::string_view account = "token";
    static constexpr std::string_view label = "Veyra connection secret";
    static constexpr std::size_t randomBytes = 24;

    explicit TokenStore(std::shared_ptr<SecretStore> store,
                        RandomSource random = standardRandomSource());
    // `fallback` may be null.
    TokenStore(std::shared_ptr<SecretStore> store, std::shared_ptr<SecretStore> fallback,
               RandomSource random = standardRandomSource());

    // The current secret. Empty only when none could be made (the random source failed); a
    // caller must then refuse every companion. A later call tries again.
    std::optional<std::string> token();

    // Makes, stores and caches a new secret and returns it. When no secret can be made the old
    // one stays and the result is empty.
    std::optional<std::string> regenerate();

    // A new 32-character URL-safe secret, not stored; empty when the random source failed.
    static std::optional<std::string> makeToken(
        const RandomSource& random = standardRandomSource());

  private:
    struct Loaded {
        std::optional<std::string> secret;
        bool notFound = false;
    };

    SecretKey baseQuery() const;
    std::optional<std::string> load();
    Loaded loadFrom(SecretStore& store);
    void save(const std::string& secret);
    // Update, else add; false (logged) when the store could not keep it.
    bool saveTo(SecretStore& store, const std::string& secret);

    std::shared_ptr<SecretStore> store_;
    std::shared_ptr<SecretStore> fallback_;
    RandomSource random_;
    std::mutex lock_;
    std::optional<std::string> cached_;
};

}  // namespace quelm
