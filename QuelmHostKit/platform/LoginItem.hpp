#pragma once

#include <optional>
#include <string>

namespace quelm {

// Starting the host when the user logs in.
// Thread: main thread only.
class LoginItem {
  public:
    virtual ~LoginItem() = default;
    virtual bool isEnabled() const = 0;
    // Empty on success, else what went wrong, for the log.
    virtual std::optional<std::string> setEnabled(bool enabled) = 0;
};

}  // namespace quelm
