#include "QuelmHostKit/linux/x11/X11KeyCodes.hpp"

#include <array>

namespace quelm::X11KeyCodes {

namespace {

// Virtual key code -> evdev code (linux/input-event-codes.h); 0 for no key. Keys are matched by
// place, as the companion's layouts are. Eisu and kana are the exception: an Apple JIS
// keyboard's own codes (KEY_HANJA, KEY_HANGEUL) are Hangul keys in every XKB layout, jp
// included, which Japanese input methods ignore; a Japanese PC keyboard's Muhenkan and
// Hiragana_Katakana keys are the ones they act on.
constexpr std::array<std::uint16_t, 128> kEvdev = [] {
    std::array<std::uint16_t, 128> t{};
    auto set = [&t](int code, std::uint16_t evdev) { t[static_cast<std::size_t>(code)] = evdev; };
    // Letters.
    set(0, 30);   // A
    set(1, 31);   // S
    set(2, 32);   // D
    set(3, 33);   // F
    set(4, 35);   // H
    set(5, 34);   // G
    set(6, 44);   // Z
    set(7, 45);   // X
    set(8, 46);   // C
    set(9, 47);   // V
    set(11, 48);  // B
    set(12, 16);  // Q
    set(13, 17);  // W
    set(14, 18);  // E
    set(15, 19);  // R
    set(16, 21);  // Y
    set(17, 20);  // T
    set(31, 24);  // O
    set(32, 22);  // U
    set(34, 23);  // I
    set(35, 25);  // P
    set(37, 38);  // L
    set(38, 36);  // J
    set(40, 37);  // K
    set(45, 49);  // N
    set(46, 50);  // M
    // Digits.
    set(18, 2);   // 1
    set(19, 3);   // 2
    set(20, 4);   // 3
    set(21, 5);   // 4
    set(23, 6);   // 5
    set(22, 7);   // 6
    set(26, 8);   // 7
    set(28, 9);   // 8
    set(25, 10);  // 9
    set(29, 11);  // 0
    // Punctuation.
    set(27, 12);  // minus
    set(24, 13);  // equal
    set(33, 26);  // left bracket
    set(30, 27);  // right bracket
    set(41, 39);  // semicolon
    set(39, 40);  // quote
    set(50, 41);  // grave
    set(42, 43);  // backslash
    set(43, 51);  // comma
    set(47, 52);  // period
    set(44, 53);  // slash
    set(10, 86);  // ISO section: the extra key of ISO keyboards
    // Editing and whitespace.
    set(36, 28);    // return
    set(48, 15);    // tab
    set(49, 57);    // space
    set(51, 14);    // delete (backspace)
    set(53, 1);     // escape
    set(117, 111);  // forward delete
    set(114, 110);  // help: insert
    set(110, 127);  // context menu: compose
    // Modifiers.
    set(55, 125);  // command: left meta
    set(54, 126);  // right command: right meta
    set(56, 42);   // shift
    set(60, 54);   // right shift
    set(57, 58);   // caps lock
    set(58, 56);   // option: left alt
    set(61, 100);  // right option: right alt
    set(59, 29);   // control
    set(62, 97);   // right control
    // Function keys.
    set(122, 59);   // F1
    set(120, 60);   // F2
    set(99, 61);    // F3
    set(118, 62);   // F4
    set(96, 63);    // F5
    set(97, 64);    // F6
    set(98, 65);    // F7
    set(100, 66);   // F8
    set(101, 67);   // F9
    set(109, 68);   // F10
    set(103, 87);   // F11
    set(111, 88);   // F12
    set(105, 183);  // F13
    set(107, 184);  // F14
    set(113, 185);  // F15
    set(106, 186);  // F16
    set(64, 187);   // F17
    set(79, 188);   // F18
    set(80, 189);   // F19
    set(90, 190);   // F20
    // Navigation.
    set(123, 105);  // left
    set(124, 106);  // right
    set(125, 108);  // down
    set(126, 103);  // up
    set(115, 102);  // home
    set(119, 107);  // end
    set(116, 104);  // page up
    set(121, 109);  // page down
    // Keypad.
    set(65, 83);   // .
    set(67, 55);   // *
    set(69, 78);   // +
    set(71, 69);   // clear: num lock, the key in its place
    set(75, 98);   // /
    set(76, 96);   // enter
    set(78, 74);   // -
    set(81, 117);  // =
    set(82, 82);   // 0
    set(83, 79);   // 1
    set(84, 80);   // 2
    set(85, 81);   // 3
    set(86, 75);   // 4
    set(87, 76);   // 5
    set(88, 77);   // 6
    set(89, 71);   // 7
    set(91, 72);   // 8
    set(92, 73);   // 9
    // Sound.
    set(72, 115);  // volume up
    set(73, 114);  // volume down
    set(74, 113);  // mute
    // JIS.
    set(93, 124);  // yen
    set(94, 89);   // underscore (ro)
    set(95, 121);  // keypad comma
    set(102, 94);  // eisu: muhenkan
    set(104, 93);  // kana: katakana/hiragana
    return t;
}();

}  // namespace

std::optional<std::uint16_t> evdevCode(std::uint16_t virtualKey) {
    if (virtualKey >= kEvdev.size() || kEvdev[virtualKey] == 0) {
        return std::nullopt;
    }
    return kEvdev[virtualKey];
}

std::optional<std::uint8_t> xKeyCode(std::uint16_t virtualKey) {
    const auto evdev = evdevCode(virtualKey);
    if (!evdev || *evdev + 8 > 255) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(*evdev + 8);
}

}  // namespace quelm::X11KeyCodes
