#include "tests/fakes/MemorySecretStore.hpp"

#include <algorithm>

namespace quelm::test {

namespace {

template <class Outcome>
bool takeScripted(std::deque<Outcome>& scripted, Outcome& out) {
    if (scripted.empty()) {
        return false;
    }
    out = scripted.front();
    scripted.pop_front();
    return true;
}

}  // namespace

SecretRead MemorySecretStore::read(const SecretKey& key) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"read", key, {}, {}});
    if (SecretRead scripted; takeScripted(reads_, scripted)) {
        return scripted;
    }
    auto it = items_.find(slot(key));
    if (it == items_.end()) {
        return SecretOutcome::NotFound{};
    }
    return SecretOutcome::Found{it->second.value};
}

SecretWrite MemorySecretStore::update(const SecretKey& key, std::string_view value) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"update", key, std::string(value), {}});
    if (SecretWrite scripted; takeScripted(updates_, scripted)) {
        return scripted;
    }
    auto it = items_.find(slot(key));
    if (it == items_.end()) {
        return SecretOutcome::NotFound{};
    }
    it->second.value.assign(value.begin(), value.end());
    return SecretOutcome::Written{};
}

SecretWrite MemorySecretStore::add(const SecretKey& key, std::string_view value,
                                   std::string_view label) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"add", key, std::string(value), std::string(label)});
    if (SecretWrite scripted; takeScripted(adds_, scripted)) {
        return scripted;
    }
    items_[slot(key)] = Item{Bytes(value.begin(), value.end()), std::string(label)};
    return SecretOutcome::Written{};
}

void MemorySecretStore::scriptRead(SecretRead outcome) {
    std::lock_guard lock(mutex_);
    reads_.push_back(std::move(outcome));
}

void MemorySecretStore::scriptUpdate(SecretWrite outcome) {
    std::lock_guard lock(mutex_);
    updates_.push_back(std::move(outcome));
}

void MemorySecretStore::scriptAdd(SecretWrite outcome) {
    std::lock_guard lock(mutex_);
    adds_.push_back(std::move(outcome));
}

void MemorySecretStore::put(const SecretKey& key, Item item) {
    std::lock_guard lock(mutex_);
    items_[slot(key)] = std::move(item);
}

std::optional<MemorySecretStore::Item> MemorySecretStore::item(const SecretKey& key) const {
    std::lock_guard lock(mutex_);
    auto it = items_.find(slot(key));
    if (it == items_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<MemorySecretStore::Call> MemorySecretStore::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

int MemorySecretStore::count(const std::string& operation) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                          [&](const Call& c) { return c.operation == operation; }));
}

void MemorySecretStore::clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

}  // namespace quelm::test
