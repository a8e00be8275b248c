#pragma once

#include <optional>
#include <string>

namespace quelm {

// The user's persisted settings of the host (today only "keepAwake").
// Thread: main thread only.
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    // Empty when the key was never set (or the stored value is not a bool).
    virtual std::optional<bool> boolValue(const std::string& key) const = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
};

}  // namespace quelm
