#pragma once

#include <map>
#include <string>

#include "QuelmHostKit/platform/SettingsStore.hpp"

namespace quelm::test {

// Settings in memory; a new process is played by a new object given the same map.
class MemorySettingsStore final : public SettingsStore {
  public:
    std::map<std::string, bool> values;

    std::optional<bool> boolValue(const std::string& key) const override {
        auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional<bool>(found->second);
    }
    void setBool(const std::string& key, bool value) override { values[key] = value; }
};

}  // namespace quelm::test
