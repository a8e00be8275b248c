#pragma once

#include "QuelmCore/RandomSource.hpp"

namespace quelm {

// The kernel's secure random source through getrandom(2); logs and answers false on failure.
RandomSource getrandomSource();

}  // namespace quelm
