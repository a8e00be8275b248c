// The stored shortcut list: any bytes give a list of at most maxCount buttons, and a list that
// encodes decodes back to itself.
#include <cstddef>
#include <cstdint>
#include <span>

#include "QuelmCore/companion/ShortcutButton.hpp"
#include "fuzz/FuzzInput.hpp"

using namespace quelm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto list = ShortcutButton::decodeList(std::span(data, size));
    fuzz::require(list.size() <= ShortcutButton::maxCount);
    for (const auto& button : list) {
        button.hint();
        button.repeats();
    }
    if (auto bytes = ShortcutButton::encodeList(list)) {
        fuzz::require(ShortcutButton::decodeList(std::span<const std::uint8_t>(*bytes)) == list);
    }
    return 0;
}
