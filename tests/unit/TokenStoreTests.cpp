#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "QuelmCore/AppIdentity.hpp"
#include "QuelmHostKit/server/TokenStore.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/MemorySecretStore.hpp"

namespace quelm {
namespace {

using test::MemorySecretStore;

const SecretKey kKey{std::string(kApplicationId), "token"};

bool isUrlSafeSecret(const std::string& s) {
    return s.size() == 32 && std::all_of(s.begin(), s.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '-' || c == '_';
           });
}

// A random source that yields the same byte everywhere, one value per call.
RandomSource fixedBytes(std::vector<std::uint8_t> perCall) {
    auto next = std::make_shared<std::size_t>(0);
    return [perCall, next](std::span<std::uint8_t> out) {
        std::fill(out.begin(), out.end(), perCall[(*next)++ % perCall.size()]);
        return true;
    };
}

struct TokenStoreTest : ::testing::Test {
    test::CapturingLogSink::Scope log;
    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
};

TEST(TokenStoreMakeToken, EncodesUrlSafeBase64WithoutPadding) {
    // 0xFB0xEF0xBE is "++++" and 0xFF.. is "////" in standard Base64.
    std::vector<std::uint8_t> counting(24);
    for (std::size_t i = 0; i < counting.size(); ++i) {
        counting[i] = static_cast<std::uint8_t>(i);
    }
    auto token = TokenStore::makeToken([&](std::span<std::uint8_t> out) {
        std::copy(counting.begin(), counting.end(), out.begin());
        return true;
    });
    EXPECT_EQ(token, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYX");

    auto pluses = TokenStore::makeToken([](std::span<std::uint8_t> out) {
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = std::array<std::uint8_t, 3>{0xFB, 0xEF, 0xBE}[i % 3];
        }
        return true;
    });
    EXPECT_EQ(pluses, std::string(32, '-'));
    EXPECT_EQ(TokenStore::makeToken(fixedBytes({0xFF})), std::string(32, '_'));
}

TEST(TokenStoreMakeToken, SystemSourceGivesDistinctUrlSafeSecrets) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        auto token = TokenStore::makeToken();
        ASSERT_TRUE(token);
        EXPECT_TRUE(isUrlSafeSecret(*token)) << *token;
        seen.insert(*token);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST_F(TokenStoreTest, FirstReadMakesAndAddsSecretThenServesItFromCache) {
    TokenStore store(secrets);
    auto first = store.token();
    ASSERT_TRUE(first);
    EXPECT_TRUE(isUrlSafeSecret(*first));

    auto item = secrets->item(kKey);
    ASSERT_TRUE(item);
    EXPECT_EQ(std::string(item->value.begin(), item->value.end()), *first);
    EXPECT_EQ(item->label, "Veyra connection secret");

    auto callsAfterFill = secrets->calls().size();
    EXPECT_EQ(store.token(), first);
    EXPECT_EQ(store.token(), first);
    EXPECT_EQ(secrets->calls().size(), callsAfterFill);
    EXPECT_TRUE(log.sink().lines().empty());
}

TEST_F(TokenStoreTest, ARestartReadsTheStoredSecret) {
    auto first = TokenStore(secrets).token();
    secrets->clearCalls();
    TokenStore restarted(secrets);
    EXPECT_EQ(restarted.token(), first);
    EXPECT_EQ(secrets->count("read"), 1);
    EXPECT_EQ(secrets->count("update") + secrets->count("add"), 0);
}

TEST_F(TokenStoreTest, UnreadableStoredValuesAreReplaced) {
    struct Case {
        const char* name;
        SecretRead outcome;
        std::string logLine;
    };
    std::vector<Case> cases = {
        {"failed", SecretOutcome::Failed{-25293}, "keychain read failed: -25293"},
        {"empty", SecretOutcome::Found{{}}, "keychain read failed: 0"},
        {"not UTF-8", SecretOutcome::Found{{0xC3, 0x28, 'a'}}, "keychain read failed: 0"},
        {"NUL inside", SecretOutcome::Found{{'a', 0, 'b'}}, "keychain read failed: 0"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.sink().clear();
        secrets = std::make_shared<MemorySecretStore>();
        secrets->put(kKey, {Bytes{'o', 'l', 'd'}, "Veyra connection secret"});
        secrets->scriptRead(c.outcome);
        TokenStore store(secrets);
        auto token = store.token();
        ASSERT_TRUE(token);
        EXPECT_TRUE(isUrlSafeSecret(*token));
        EXPECT_EQ(log.sink().lines(), std::vector<std::string>{c.logLine});
        // The existing item is updated in place, not added again.
        EXPECT_EQ(secrets->count("update"), 1);
        EXPECT_EQ(secrets->count("add"), 0);
        auto item = secrets->item(kKey);
        EXPECT_EQ(std::string(item->value.begin(), item->value.end()), *token);
    }
}

TEST_F(TokenStoreTest, StoreFailuresAreLoggedAndTheSecretStillServes) {
    secrets->scriptUpdate(SecretOutcome::Failed{5});
    TokenStore updateFails(secrets);
    auto token = updateFails.token();
    ASSERT_TRUE(token);
    EXPECT_EQ(log.sink().lines(), std::vector<std::string>{"keychain update failed: 5"});
    EXPECT_EQ(secrets->count("add"), 0);  // nothing else is tried
    EXPECT_EQ(updateFails.token(), token);

    log.sink().clear();
    auto other = std::make_shared<MemorySecretStore>();
    other->scriptAdd(SecretOutcome::Failed{-25299});
    TokenStore addFails(other);
    auto second = addFails.token();
    ASSERT_TRUE(second);
    EXPECT_EQ(log.sink().lines(), std::vector<std::string>{"keychain write failed: -25299"});
    EXPECT_EQ(addFails.token(), second);
    EXPECT_EQ(other->count("read"), 1);
}

TEST_F(TokenStoreTest, RegenerateUpdatesTheItemKeepingItsLabel) {
    TokenStore store(secrets, fixedBytes({1, 2}));
    auto first = store.token();
    secrets->put(kKey, {secrets->item(kKey)->value, "label chosen by the user"});

    auto renewed = store.regenerate();
    ASSERT_TRUE(renewed);
    EXPECT_NE(renewed, first);
    EXPECT_TRUE(isUrlSafeSecret(*renewed));
    EXPECT_EQ(store.token(), renewed);
    auto item = secrets->item(kKey);
    EXPECT_EQ(std::string(item->value.begin(), item->value.end()), *renewed);
    EXPECT_EQ(item->label, "label chosen by the user");
    EXPECT_EQ(secrets->count("add"), 1);  // only the first fill added
}

TEST_F(TokenStoreTest, FailedRandomSourceMakesNoSecret) {
    bool working = false;
    TokenStore store(secrets, [&](std::span<std::uint8_t> out) {
        std::fill(out.begin(), out.end(), 7);
        return working;
    });
    EXPECT_EQ(store.token(), std::nullopt);
    EXPECT_EQ(secrets->count("update") + secrets->count("add"), 0);

    working = true;
    auto token = store.token();  // tried again, not cached as empty
    ASSERT_TRUE(token);

    working = false;
    EXPECT_EQ(store.regenerate(), std::nullopt);
    EXPECT_EQ(store.token(), token);  // the old secret stays
}

std::string valueOf(const MemorySecretStore& store) {
    auto item = store.item(kKey);
    return item ? std::string(item->value.begin(), item->value.end()) : std::string();
}

// The chosen store (the Secret Service) and its fallback (the file).
struct TwoStoresTest : TokenStoreTest {
    std::shared_ptr<MemorySecretStore> chosen = std::make_shared<MemorySecretStore>();
    std::shared_ptr<MemorySecretStore> file = std::make_shared<MemorySecretStore>();
    const std::string kOld = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
};

TEST_F(TwoStoresTest, ASecretOnlyTheOtherStoreHoldsComesBackAndIsCopied) {
    file->put(kKey, {Bytes(kOld.begin(), kOld.end()), "Veyra connection secret"});
    EXPECT_EQ(TokenStore(chosen, file).token(), kOld);
    EXPECT_EQ(valueOf(*chosen), kOld);
    EXPECT_EQ(chosen->item(kKey)->label, "Veyra connection secret");
    EXPECT_TRUE(log.sink().lines().empty());

    // The chosen store answers by itself from now on.
    file->clearCalls();
    EXPECT_EQ(TokenStore(chosen, file).token(), kOld);
    EXPECT_EQ(file->count("read"), 0);

    // A chosen store that fails to read is not overwritten: it may hold the secret locked.
    auto locked = std::make_shared<MemorySecretStore>();
    locked->scriptRead(SecretOutcome::Failed{2});
    EXPECT_EQ(TokenStore(locked, file).token(), kOld);
    EXPECT_EQ(locked->count("update") + locked->count("add"), 0);
    EXPECT_EQ(log.sink().lines(), std::vector<std::string>{"keychain read failed: 2"});
}

TEST_F(TwoStoresTest, AChosenStoreThatCannotKeepTheSecretLeavesItInTheOther) {
    struct Case {
        const char* name;
        bool itemExists;  // an item the chosen store cannot update (locked), else none to add
        std::string logLine;
    };
    const std::vector<Case> cases = {
        {"cannot add", false, "keychain write failed: 9"},
        {"cannot update", true, "keychain update failed: 9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.sink().clear();
        chosen = std::make_shared<MemorySecretStore>();
        file = std::make_shared<MemorySecretStore>();
        if (c.itemExists) {
            chosen->put(kKey, {Bytes{'x'}, "Veyra connection secret"});
        }
        for (int i = 0; i < 4; ++i) {
            if (c.itemExists) {
                chosen->scriptRead(SecretOutcome::Failed{4});
            }
            chosen->scriptAdd(SecretOutcome::Failed{9});
            chosen->scriptUpdate(c.itemExists ? SecretWrite(SecretOutcome::Failed{9})
                                              : SecretWrite(SecretOutcome::NotFound{}));
        }
        auto first = TokenStore(chosen, file).token();
        ASSERT_TRUE(first);
        EXPECT_EQ(log.sink().count(c.logLine), 1);
        EXPECT_EQ(valueOf(*file), *first);
        EXPECT_EQ(file->item(kKey)->label, "Veyra connection secret");

        // Every restart gets the same secret back.
        EXPECT_EQ(TokenStore(chosen, file).token(), first);
        EXPECT_EQ(TokenStore(chosen, file).token(), first);

        // A new secret the chosen store refuses replaces the one in the other.
        TokenStore running(chosen, file);
        auto renewed = running.regenerate();
        ASSERT_TRUE(renewed);
        EXPECT_NE(renewed, first);
        EXPECT_EQ(valueOf(*file), *renewed);
    }
}

TEST_F(TwoStoresTest, TheOtherStoreGetsNoCopyButAnExistingOneIsKeptCurrent) {
    TokenStore store(chosen, file);
    auto first = store.token();
    ASSERT_TRUE(first);
    EXPECT_EQ(valueOf(*chosen), *first);
    EXPECT_FALSE(file->item(kKey));
    EXPECT_EQ(file->count("add"), 0);

    // A copy left from a run without the chosen store must not come back as an old secret.
    file->put(kKey, {Bytes(kOld.begin(), kOld.end()), "Veyra connection secret"});
    auto renewed = store.regenerate();
    ASSERT_TRUE(renewed);
    EXPECT_EQ(valueOf(*chosen), *renewed);
    EXPECT_EQ(valueOf(*file), *renewed);
    EXPECT_TRUE(log.sink().lines().empty());
}

TEST_F(TokenStoreTest, ConcurrentFirstReadsFillOnce) {
    TokenStore store(secrets);
    std::vector<std::optional<std::string>> results(8);
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&] { result = store.token(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (auto& result : results) {
        EXPECT_EQ(result, results.front());
    }
    EXPECT_EQ(secrets->count("read"), 1);
    EXPECT_EQ(secrets->count("add"), 1);
}

}  // namespace
}  // namespace quelm
