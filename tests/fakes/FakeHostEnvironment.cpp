#include "tests/fakes/FakeHostEnvironment.hpp"

namespace quelm::test {

FakeHostEnvironment::FakeHostEnvironment()
    : displays(std::make_shared<FakeDisplayServices>()),
      cursor(std::make_shared<FakeCursorMonitor>()) {}

}  // namespace quelm::test
