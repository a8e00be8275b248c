#include "QuelmHostKit/server/TokenStore.hpp"

#include <array>
#include <cerrno>
#include <string>

#include "QuelmCore/AppIdentity.hpp"
#include "QuelmCore/Utf8.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

// Base64 with "-" and "_" for "+" and "/", no padding: safe in a URL unescaped.
std::string urlSafeBase64(std::span<const std::uint8_t> bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t n = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += alphabet[n >> 6 & 63];
        out += alphabet[n & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        if (rest == 2) {
            out += alphabet[n >> 6 & 63];
        }
    }
    return out;
}

}  // namespace

TokenStore::TokenStore(std::shared_ptr<SecretStore> store, RandomSource random)
    : TokenStore(std::move(store), nullptr, std::move(random)) {}

TokenStore::TokenStore(std::shared_ptr<SecretStore> store, std::shared_ptr<SecretStore> fallback,
                       RandomSource random)
    : store_(std::move(store)), fallback_(std::move(fallback)), random_(std::move(random)) {}

std::optional<std::string> TokenStore::token() {
    std::lock_guard guard(lock_);
    if (cached_) {
        return cached_;
    }
    if (auto loaded = load()) {
        cached_ = std::move(loaded);
        return cached_;
    }
    auto made = makeToken(random_);
    if (!made) {
        return std::nullopt;
    }
    save(*made);
    // Cached even when it could not be stored, so this run keeps working with it.
    cached_ = std::move(made);
    return cached_;
}

std::optional<std::string> TokenStore::regenerate() {
    auto made = makeToken(random_);
    if (!made) {
        return std::nullopt;
    }
    std::lock_guard guard(lock_);
    save(*made);
    cached_ = made;
    return made;
}

std::optional<std::string> TokenStore::makeToken(const RandomSource& random) {
    std::array<std::uint8_t, randomBytes> bytes{};
    if (!random || !random(bytes)) {
        return std::nullopt;
    }
    return urlSafeBase64(bytes);
}

SecretKey TokenStore::baseQuery() const {
    return SecretKey{std::string(kApplicationId), std::string(account)};
}

std::optional<std::string> TokenStore::load() {
    auto chosen = loadFrom(*store_);
    if (chosen.secret || !fallback_) {
        return chosen.secret;
    }
    auto other = loadFrom(*fallback_);
    if (other.secret && chosen.notFound) {
        // From now on the chosen store answers by itself. A store that failed to read is left
        // alone: it may hold this very secret behind a lock.
        saveTo(*store_, *other.secret);
    }
    return other.secret;
}

TokenStore::Loaded TokenStore::loadFrom(SecretStore& store) {
    auto outcome = store.read(baseQuery());
    if (std::holds_alternative<SecretOutcome::NotFound>(outcome)) {
        return {std::nullopt, true};
    }
    if (auto* found = std::get_if<SecretOutcome::Found>(&outcome)) {
        if (!found->value.empty() && isValidUtf8(found->value)) {
            return {std::string(found->value.begin(), found->value.end()), false};
        }
        Log::info("keychain read failed: 0");
        return {};
    }
    Log::info("keychain read failed: " +
              std::to_string(std::get<SecretOutcome::Failed>(outcome).status));
    return {};
}

void TokenStore::save(const std::string& secret) {
    bool kept = saveTo(*store_, secret);
    if (!fallback_) {
        return;
    }
    if (!kept) {
        saveTo(*fallback_, secret);
        return;
    }
    // A copy the fallback already holds must not bring back an old secret; none is made.
    auto updated = fallback_->update(baseQuery(), secret);
    if (auto* failed = std::get_if<SecretOutcome::Failed>(&updated)) {
        Log::info("keychain update failed: " + std::to_string(failed->status));
    }
}

bool TokenStore::saveTo(SecretStore& store, const std::string& secret) {
    auto key = baseQuery();
    auto updated = store.update(key, secret);
    if (std::holds_alternative<SecretOutcome::NotFound>(updated)) {
        auto added = store.add(key, secret, label);
        if (auto* failed = std::get_if<SecretOutcome::Failed>(&added)) {
            Log::info("keychain write failed: " + std::to_string(failed->status));
            return false;
        }
        return true;
    }
    if (auto* failed = std::get_if<SecretOutcome::Failed>(&updated)) {
        Log::info("keychain update failed: " + std::to_string(failed->status));
        return false;
    }
    return true;
}

}  // namespace quelm
