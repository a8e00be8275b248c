#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "QuelmHostKit/platform/DisplayServices.hpp"

typedef struct _GVariant GVariant;

namespace quelm {

// One monitor as mutter's DisplayConfig describes it.
struct MutterMonitor {
    std::string connector;
    // The logical monitor's place; its size in the layout's pixels.
    DisplayRect bounds;
    bool isPrimary = false;
    bool isBuiltIn = false;
    // The connector this one mirrors (a second monitor of the same logical monitor), or empty.
    std::string mirrorOf;

    friend bool operator==(const MutterMonitor&, const MutterMonitor&) = default;
};

namespace MutterDisplayConfig {

// The monitors in the reply of org.gnome.Mutter.DisplayConfig.GetCurrentState
// ("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})"), in the order of the logical
// monitors; empty for a reply of another shape.
std::vector<MutterMonitor> parseCurrentState(GVariant* state);

}  // namespace MutterDisplayConfig

// Display ids for connectors: a connector keeps its id for the life of the process, so a
// monitor that goes and comes back is the same display to the companion. Thread-safe.
class MutterDisplayIds {
  public:
    std::uint32_t idFor(const std::string& connector);

  private:
    std::mutex mutex_;
    std::map<std::string, std::uint32_t> ids_;
};

}  // namespace quelm
