#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "QuelmCore/Messages.hpp"
#include "QuelmHostKit/platform/CursorMonitor.hpp"
#include "QuelmHostKit/platform/DisplayServices.hpp"

namespace quelm {

// Which display the companion sees: the one it asked for while that one is attached, else the
// main display. The request survives a detach, so a display that comes back is used again.
//
// The application owns one and hands it to those who need it (the host hello, the pointer
// reports, capture).
//
// Thread-safe: the request and the services are guarded by one lock, which is never held while
// the services are asked. The services answer from memory, so every operation is cheap enough
// for the server's queue.
class DisplaySelection final {
  public:
    explicit DisplaySelection(std::shared_ptr<DisplayServices> services = nullptr);

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

    // The display fields of the host hello, from one look at the display list: the current
    // display's size and id, and list(). Without any display the id is left out.
    void describe(HostInfo& info) const;

    // `position` as fractions of the current display's bounds, each kept within 0 to 1;
    // nothing without a display or when its bounds are empty.
    std::optional<PointerPosition> fractionOf(const PointerPosition& position) const;

    // The main display among `displays`: the primary one (or the display it mirrors), else the
    // one at the origin, else the first; 0 when there are none.
    static std::uint32_t mainID(const std::vector<ActiveDisplay>& displays);

  private:
    std::vector<ActiveDisplay> activeDisplays() const;
    std::optional<ActiveDisplay> currentAmong(const std::vector<ActiveDisplay>& displays) const;
    static std::vector<DisplayInfo> listOf(std::vector<ActiveDisplay> displays);

    mutable std::mutex mutex_;
    std::uint32_t requested_ = 0;
    std::shared_ptr<DisplayServices> services_;
};

}  // namespace quelm
