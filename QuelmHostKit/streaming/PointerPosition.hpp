#pragma once

#include <mutex>
#include <optional>

namespace quelm {

// The pointer's last known place as fractions of the streamed display (0 to 1 both ways),
// written by the capture whenever it sees the pointer move and read by the server's pointer
// reports, so a report never waits on the display server.
//
// Thread-safe.
class PointerPosition final {
  public:
    struct Fraction {
        double x = 0;
        double y = 0;
    };

    // Clamps to 0...1; a position in pixels of a display of this size.
    void set(double x, double y, double width, double height);
    std::optional<Fraction> get() const;
    // Forgets the position (no display streamed).
    void clear();

  private:
    mutable std::mutex mutex_;
    std::optional<Fraction> fraction_;
};

}  // namespace quelm
