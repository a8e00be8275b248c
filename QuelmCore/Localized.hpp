#pragma once

#include <string>
#include <string_view>

namespace quelm {

// User-visible texts are keyed by their Japanese default text. localized(key) gives the
// translation for the current language (from LC_ALL, LC_MESSAGES or LANG), or the key itself
// when there is none.
std::string localized(std::string_view key);

// The same for an explicit language code such as "en" or "ja".
std::string localized(std::string_view key, std::string_view language);

// The language code of the process's message locale: "en" for "en_US.UTF-8", empty when unset.
std::string currentLanguage();

}  // namespace quelm
