#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QuelmHostKit/platform/SecretStore.hpp"

namespace quelm::test {

// A secret store in memory. Records every call; a test can script the next outcomes of
// read/update/add, which then take the place of the stored state's answer.
class MemorySecretStore final : public SecretStore {
  public:
    struct Item {
        Bytes value;
        std::string label;
    };
    struct Call {
        std::string operation;  // "read", "update" or "add"
        SecretKey key;
        std::string value;
        std::string label;
    };

    SecretRead read(const SecretKey& key) override;
    SecretWrite update(const SecretKey& key, std::string_view value) override;
    SecretWrite add(const SecretKey& key, std::string_view value, std::string_view label) override;

    // Scripted outcomes, used once each in order before the stored state answers again.
    void scriptRead(SecretRead outcome);
    void scriptUpdate(SecretWrite outcome);
    void scriptAdd(SecretWrite outcome);

    void put(const SecretKey& key, Item item);
    std::optional<Item> item(const SecretKey& key) const;
    std::vector<Call> calls() const;
    int count(const std::string& operation) const;
    void clearCalls();

  private:
    using Slot = std::pair<std::string, std::string>;
    static Slot slot(const SecretKey& key) { return {key.service, key.account}; }

    mutable std::mutex mutex_;
    std::map<Slot, Item> items_;
    std::deque<SecretRead> reads_;
    std::deque<SecretWrite> updates_;
    std::deque<SecretWrite> adds_;
    std::vector<Call> calls_;
};

}  // namespace quelm::test
