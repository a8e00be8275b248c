#pragma once

#include <string_view>

namespace quelm {

// The application id: the log subsystem and the secret store's service name.
inline constexpr std::string_view kApplicationId = "io.quelmix.host";

}  // namespace quelm
