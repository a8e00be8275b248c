#include <gtest/gtest.h>

#include <unistd.h>

#include "QuelmHostKit/linux/secret/LibsecretStore.hpp"
#include "QuelmHostKit/server/TokenStore.hpp"
#include "tests/fakes/CapturingLogSink.hpp"

namespace quelm {
namespace {

// Runs against the session's real Secret Service, under a key of its own that it removes.
TEST(LibsecretStore, RoundTripUpdateAndRemoveAgainstTheSessionService) {
    if (!LibsecretStore::available()) {
        GTEST_SKIP() << "no Secret Service on the session bus";
    }
    test::CapturingLogSink::Scope log;
    LibsecretStore store;
    SecretKey key{"io.quelmix.host.test", "token-" + std::to_string(::getpid())};
    store.remove(key);

    EXPECT_TRUE(std::holds_alternative<SecretOutcome::NotFound>(store.read(key)));
    EXPECT_TRUE(std::holds_alternative<SecretOutcome::NotFound>(store.update(key, "x")));
    ASSERT_TRUE(std::holds_alternative<SecretOutcome::Written>(
        store.add(key, "first-value", "Veyra connection secret")));
    auto read = store.read(key);
    ASSERT_TRUE(std::holds_alternative<SecretOutcome::Found>(read));
    auto& value = std::get<SecretOutcome::Found>(read).value;
    EXPECT_EQ(std::string(value.begin(), value.end()), "first-value");

    ASSERT_TRUE(std::holds_alternative<SecretOutcome::Written>(store.update(key, "second")));
    read = store.read(key);
    ASSERT_TRUE(std::holds_alternative<SecretOutcome::Found>(read));
    auto& updated = std::get<SecretOutcome::Found>(read).value;
    EXPECT_EQ(std::string(updated.begin(), updated.end()), "second");

    EXPECT_TRUE(store.remove(key));
    EXPECT_TRUE(std::holds_alternative<SecretOutcome::NotFound>(store.read(key)));
    EXPECT_TRUE(log.sink().lines().empty());
}

}  // namespace
}  // namespace quelm
