#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "QuelmCore/InputValues.hpp"
#include "QuelmCore/StreamConfig.hpp"

namespace quelm {

// Limits of the protocol, shared by host and companion.
namespace Wire {
inline constexpr std::uint16_t defaultPort = 5290;
inline constexpr int maxClientMessageBytes = 65536;
// Longest `text` message, in extended grapheme clusters.
inline constexpr int maxTextLength = 4000;
inline constexpr double maxPointerDelta = 10000.0;
// Longest clipboard text in UTF-8 bytes, both directions.
inline constexpr int maxClipboardBytes = 48000;
}  // namespace Wire

// Payload of the companion's first message.
struct ClientHello {
    ClientHello() = default;
    ClientHello(std::string token, StreamConfig config,
                std::optional<KeyboardLayoutKind> layout = std::nullopt,
                std::optional<std::uint32_t> display = std::nullopt)
        : token(std::move(token)), config(config), layout(layout), display(display) {}

    std::string token;
    StreamConfig config;
    std::optional<KeyboardLayoutKind> layout;
    std::optional<std::uint32_t> display;

    friend bool operator==(const ClientHello&, const ClientHello&) = default;
};

// One display the host can stream; sizes are points.
struct DisplayInfo {
    std::uint32_t id = 0;
    double width = 0;
    double height = 0;
    bool isMain = false;
    bool isBuiltIn = false;

    friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

// Payload of the host's hello. The host always fills `displays` and `displayID`; a companion
// accepts a hello without them.
struct HostInfo {
    HostInfo() = default;
    HostInfo(double displayWidth, double displayHeight, bool accessibilityTrusted,
             KeyboardLayoutKind keyboard,
             std::optional<std::vector<DisplayInfo>> displays = std::nullopt,
             std::optional<std::uint32_t> displayID = std::nullopt)
        : displayWidth(displayWidth),
          displayHeight(displayHeight),
          accessibilityTrusted(accessibilityTrusted),
          keyboard(keyboard),
          displays(std::move(displays)),
          displayID(displayID) {}

    double displayWidth = 0;
    double displayHeight = 0;
    bool accessibilityTrusted = false;
    KeyboardLayoutKind keyboard = KeyboardLayoutKind::us;
    std::optional<std::vector<DisplayInfo>> displays;
    std::optional<std::uint32_t> displayID;

    friend bool operator==(const HostInfo&, const HostInfo&) = default;
};

// The cases of ClientMessage. Unlabelled payload values travel under "_0" in JSON.
namespace ClientCase {
struct Hello {
    ClientHello hello;
    friend bool operator==(const Hello&, const Hello&) = default;
};
struct Ack {
    std::uint32_t seq = 0;
    friend bool operator==(const Ack&, const Ack&) = default;
};
struct Move {
    double dx = 0;
    double dy = 0;
    friend bool operator==(const Move&, const Move&) = default;
};
// Absolute position as fractions (0 to 1) of the streamed display.
struct MoveTo {
    double x = 0;
    double y = 0;
    friend bool operator==(const MoveTo&, const MoveTo&) = default;
};
struct Button {
    bool right = false;
    bool down = false;
    Modifiers modifiers;
    friend bool operator==(const Button&, const Button&) = default;
};
struct DragButton {
    bool down = false;
    Modifiers modifiers;
    friend bool operator==(const DragButton&, const DragButton&) = default;
};
struct Scroll {
    double dx = 0;
    double dy = 0;
    friend bool operator==(const Scroll&, const Scroll&) = default;
};
struct Key {
    std::uint16_t code = 0;
    bool down = false;
    bool isRepeat = false;
    Modifiers modifiers;
    friend bool operator==(const Key&, const Key&) = default;
};
struct Text {
    std::string text;
    friend bool operator==(const Text&, const Text&) = default;
};
struct SetLayout {
    std::optional<KeyboardLayoutKind> layout;
    friend bool operator==(const SetLayout&, const SetLayout&) = default;
};
struct Config {
    StreamConfig config;
    friend bool operator==(const Config&, const Config&) = default;
};
struct System {
    SystemAction action = SystemAction::missionControl;
    friend bool operator==(const System&, const System&) = default;
};
struct Refresh {
    friend bool operator==(const Refresh&, const Refresh&) = default;
};
struct Ping {
    double ts = 0;
    friend bool operator==(const Ping&, const Ping&) = default;
};
struct Clipboard {
    std::string text;
    friend bool operator==(const Clipboard&, const Clipboard&) = default;
};
struct ClipboardSharing {
    bool enabled = false;
    friend bool operator==(const ClipboardSharing&, const ClipboardSharing&) = default;
};
struct ClipboardImages {
    bool enabled = false;
    friend bool operator==(const ClipboardImages&, const ClipboardImages&) = default;
};
struct Display {
    std::uint32_t id = 0;
    friend bool operator==(const Display&, const Display&) = default;
};
// Audio bit rate in kbit/s; 0 for no audio.
struct Audio {
    std::int64_t kbps = 0;
    friend bool operator==(const Audio&, const Audio&) = default;
};

using Variant = std::variant<Hello, Ack, Move, MoveTo, Button, DragButton, Scroll, Key, Text,
                             SetLayout, Config, System, Refresh, Ping, Clipboard, ClipboardSharing,
                             ClipboardImages, Display, Audio>;

// The JSON keys of the cases, in the order of Variant.
inline constexpr std::array<std::string_view, std::variant_size_v<Variant>> names{
    "hello",   "ack",  "move",      "moveTo",           "button",          "dragButton",
    "scroll",  "key",  "text",      "setLayout",        "config",          "system",
    "refresh", "ping", "clipboard", "clipboardSharing", "clipboardImages", "display",
    "audio"};
}  // namespace ClientCase

// A message from the companion to the host: one of the cases above, e.g.
// `ClientMessage msg = ClientMessage::Move{3.5, -2};` and `std::get_if<ClientMessage::Move>(&msg)`.
struct ClientMessage : ClientCase::Variant {
    using Variant = ClientCase::Variant;
    using Variant::Variant;
    using Variant::operator=;

    using Hello = ClientCase::Hello;
    using Ack = ClientCase::Ack;
    using Move = ClientCase::Move;
    using MoveTo = ClientCase::MoveTo;
    using Button = ClientCase::Button;
    using DragButton = ClientCase::DragButton;
    using Scroll = ClientCase::Scroll;
    using Key = ClientCase::Key;
    using Text = ClientCase::Text;
    using SetLayout = ClientCase::SetLayout;
    using Config = ClientCase::Config;
    using System = ClientCase::System;
    using Refresh = ClientCase::Refresh;
    using Ping = ClientCase::Ping;
    using Clipboard = ClientCase::Clipboard;
    using ClipboardSharing = ClientCase::ClipboardSharing;
    using ClipboardImages = ClientCase::ClipboardImages;
    using Display = ClientCase::Display;
    using Audio = ClientCase::Audio;

    // The JSON key of the held case ("move", "moveTo", ...).
    std::string_view caseName() const;

    // The message with values brought into range, or nothing when it must be dropped.
    std::optional<ClientMessage> validated() const;

    friend bool operator==(const ClientMessage&, const ClientMessage&) = default;
};

namespace ServerCase {
struct Hello {
    HostInfo info;
    friend bool operator==(const Hello&, const Hello&) = default;
};
struct AuthFailed {
    friend bool operator==(const AuthFailed&, const AuthFailed&) = default;
};
struct Replaced {
    friend bool operator==(const Replaced&, const Replaced&) = default;
};
// A short failure code such as "captureFailed".
struct Error {
    std::string code;
    friend bool operator==(const Error&, const Error&) = default;
};
struct Pong {
    double ts = 0;
    friend bool operator==(const Pong&, const Pong&) = default;
};
// Pointer position as fractions (0 to 1) of the streamed display, origin top left.
struct Cursor {
    double x = 0;
    double y = 0;
    friend bool operator==(const Cursor&, const Cursor&) = default;
};
struct ScreenLocked {
    bool locked = false;
    friend bool operator==(const ScreenLocked&, const ScreenLocked&) = default;
};
struct Clipboard {
    std::string text;
    friend bool operator==(const Clipboard&, const Clipboard&) = default;
};

using Variant =
    std::variant<Hello, AuthFailed, Replaced, Error, Pong, Cursor, ScreenLocked, Clipboard>;

inline constexpr std::array<std::string_view, std::variant_size_v<Variant>> names{
    "hello", "authFailed", "replaced", "error", "pong", "cursor", "screenLocked", "clipboard"};
}  // namespace ServerCase

// A message from the host to the companion.
struct ServerMessage : ServerCase::Variant {
    using Variant = ServerCase::Variant;
    using Variant::Variant;
    using Variant::operator=;

    using Hello = ServerCase::Hello;
    using AuthFailed = ServerCase::AuthFailed;
    using Replaced = ServerCase::Replaced;
    using Error = ServerCase::Error;
    using Pong = ServerCase::Pong;
    using Cursor = ServerCase::Cursor;
    using ScreenLocked = ServerCase::ScreenLocked;
    using Clipboard = ServerCase::Clipboard;

    std::string_view caseName() const;

    friend bool operator==(const ServerMessage&, const ServerMessage&) = default;
};

// Number of extended grapheme clusters (user-perceived characters) in UTF-8 text, counting no
// further than `limit` + 1 so that long texts are cut short.
std::size_t graphemeCount(std::string_view utf8, std::size_t limit);

}  // namespace quelm
