#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QuelmHostKit/platform/DisplayServices.hpp"

struct wl_output;
struct zxdg_output_manager_v1;

namespace quelm {

// The compositor's outputs: where each sits in the layout (xdg-output's logical position and
// size, which is the space the virtual pointer moves in) and its mode in pixels. An output's
// id is its registry name: non-zero and stable while it stays attached. The primary output is
// the one at the layout's origin (the first one when none is). Built-in panels are told by
// their connector name (eDP, LVDS, DSI).
//
// Thread: add/remove/find on the connection's event thread; the answers (activeDisplays and
// friends) are snapshots that any thread may read.
class WlrOutputs final : public DisplayServices {
  public:
    struct Snapshot {
        std::uint32_t id = 0;
        std::string name;
        DisplayRect bounds;
        int pixelWidth = 0;
        int pixelHeight = 0;
    };

    WlrOutputs();
    ~WlrOutputs() override;
    WlrOutputs(const WlrOutputs&) = delete;
    WlrOutputs& operator=(const WlrOutputs&) = delete;

    // Event thread.
    void add(std::uint32_t id, wl_output* output);
    void remove(std::uint32_t id);
    // Describes every output (and later ones) through xdg-output.
    void useXdgOutputs(zxdg_output_manager_v1* manager);
    wl_output* find(std::uint32_t id) const;
    void destroyAll();

    // Any thread.
    std::vector<ActiveDisplay> activeDisplays() override;
    std::vector<Snapshot> snapshots() const;
    // The box around every output, in layout coordinates; empty without outputs.
    DisplayRect layoutBounds() const;

    // Flags outputs the way activeDisplays does; exposed for tests.
    static std::vector<ActiveDisplay> describe(const std::vector<Snapshot>& outputs);

  private:
    struct Entry;
    void describeWith(Entry& entry);
    void publish();

    std::vector<std::unique_ptr<Entry>> entries_;
    zxdg_output_manager_v1* xdgManager_ = nullptr;

    mutable std::mutex mutex_;
    std::vector<Snapshot> published_;
};

}  // namespace quelm
