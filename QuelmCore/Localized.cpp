#include "QuelmCore/Localized.hpp"

#include <cstdlib>
#include <map>

namespace quelm {
namespace {

using Table = std::map<std::string, std::string, std::less<>>;

// Translations by language code, then by key. Japanese is the default and needs no entry;
// further languages are added here.
const std::map<std::string, Table, std::less<>>& catalogue() {
    static const std::map<std::string, Table, std::less<>> translations{};
    return translations;
}

std::string languageOf(std::string_view locale) {
    auto end = locale.find_first_of("_.@");
    return std::string(locale.substr(0, end));
}

}  // namespace

std::string currentLanguage() {
    static const std::string language = [] {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* value = std::getenv(name);
            if (value != nullptr && *value != '\0') {
                return languageOf(value);
            }
        }
        return std::string();
    }();
    return language;
}

std::string localized(std::string_view key) {
    return localized(key, currentLanguage());
}

std::string localized(std::string_view key, std::string_view language) {
    const auto& translations = catalogue();
    if (auto table = translations.find(language); table != translations.end()) {
        if (auto entry = table->second.find(key); entry != table->second.end()) {
            return entry->second;
        }
    }
    return std::string(key);
}

}  // namespace quelm
