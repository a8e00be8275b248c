#pragma once

#include <string>

#include "QuelmCore/InputValues.hpp"

namespace quelm {

// The display title of a system action, localised except for "Mission Control".
std::string title(SystemAction action);

}  // namespace quelm
