#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "QuelmCore/Messages.hpp"
#include "QuelmHostKit/platform/DisplayServices.hpp"

namespace quelm {

// Which display the companion sees: the one it asked for while that one is attached, else the
// main display. The request survives a detach, so a display that comes back is used again.
//
// Thread-safe: the request and the services are guarded by one lock, which is never held while
// the platform is asked.
class DisplaySelection final {
  public:
    explicit DisplaySelection(std::shared_ptr<DisplayServices> services = nullptr);

    // The one instance of the process. It knows no displays until the application hands it the
    // platform's services with setServices.
    static DisplaySelection& shared();

    void setServices(std::shared_ptr<DisplayServices> services);

    // The display id the companion asked for; 0 for none.
    std::uint32_t requestedID() const;
    // 0 clears the request.
    void select(std::uint32_t id);

    // The display to show now; 0 when no display is attached.
    std::uint32_t current() const;
    // current() with its bounds, from one look at the platform.
    std::optional<ActiveDisplay> currentDisplay() const;
    std::optional<DisplayRect> bounds() const;

    // The displays offered to the companion, left to right, then top to bottom; mirror copies
    // are left out.
    std::vector<DisplayInfo> list() const;

    // The main display among `displays`: the primary one (or the display it mirrors), else the
    // one at the origin, else the first; 0 when there are none.
    static std::uint32_t mainID(const std::vector<ActiveDisplay>& displays);

  private:
    std::vector<ActiveDisplay> activeDisplays() const;

    mutable std::mutex mutex_;
    std::uint32_t requested_ = 0;
    std::shared_ptr<DisplayServices> services_;
};

}  // namespace quelm
