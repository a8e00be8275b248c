#pragma once

// The JSON keys of every record and message payload, in declaration order. The encoder and the
// decoder both walk these lists, so a key is spelled in one place only.

#include <string_view>
#include <tuple>

#include "QuelmCore/Messages.hpp"

namespace quelm::WireSchema {

template <class Record, class Member>
struct Field {
    std::string_view key;
    Member Record::*member;
};

// Aggregate deduction arrived late in some compilers (clang before 17); spell it out.
template <class Record, class Member>
Field(std::string_view, Member Record::*) -> Field<Record, Member>;

// Schema<T>::fields lists the fields of a JSON object type; scalars have no Schema.
template <class T>
struct Schema;

template <class T>
concept Record = requires {
    Schema<T>::fields;
};

template <>
struct Schema<StreamConfig> {
    static constexpr std::tuple fields{Field{"maxEdge", &StreamConfig::maxEdge},
                                       Field{"bitrateMbps", &StreamConfig::bitrateMbps},
                                       Field{"fps", &StreamConfig::fps}};
};

template <>
struct Schema<ClientHello> {
    static constexpr std::tuple fields{
        Field{"token", &ClientHello::token}, Field{"config", &ClientHello::config},
        Field{"layout", &ClientHello::layout}, Field{"display", &ClientHello::display}};
};

template <>
struct Schema<DisplayInfo> {
    static constexpr std::tuple fields{
        Field{"id", &DisplayInfo::id}, Field{"width", &DisplayInfo::width},
        Field{"height", &DisplayInfo::height}, Field{"isMain", &DisplayInfo::isMain},
        Field{"isBuiltIn", &DisplayInfo::isBuiltIn}};
};

template <>
struct Schema<HostInfo> {
    static constexpr std::tuple fields{
        Field{"displayWidth", &HostInfo::displayWidth},
        Field{"displayHeight", &HostInfo::displayHeight},
        Field{"accessibilityTrusted", &HostInfo::accessibilityTrusted},
        Field{"keyboard", &HostInfo::keyboard},
        Field{"displays", &HostInfo::displays},
        Field{"displayID", &HostInfo::displayID}};
};

// Payloads of the message cases; an unlabelled value is keyed "_0".
namespace C = ClientCase;
namespace S = ServerCase;

template <>
struct Schema<C::Hello> {
    static constexpr std::tuple fields{Field{"_0", &C::Hello::hello}};
};
template <>
struct Schema<C::Ack> {
    static constexpr std::tuple fields{Field{"seq", &C::Ack::seq}};
};
template <>
struct Schema<C::Move> {
    static constexpr std::tuple fields{Field{"dx", &C::Move::dx}, Field{"dy", &C::Move::dy}};
};
template <>
struct Schema<C::MoveTo> {
    static constexpr std::tuple fields{Field{"x", &C::MoveTo::x}, Field{"y", &C::MoveTo::y}};
};
template <>
struct Schema<C::Button> {
    static constexpr std::tuple fields{Field{"right", &C::Button::right},
                                       Field{"down", &C::Button::down},
                                       Field{"modifiers", &C::Button::modifiers}};
};
template <>
struct Schema<C::DragButton> {
    static constexpr std::tuple fields{Field{"down", &C::DragButton::down},
                                       Field{"modifiers", &C::DragButton::modifiers}};
};
template <>
struct Schema<C::Scroll> {
    static constexpr std::tuple fields{Field{"dx", &C::Scroll::dx}, Field{"dy", &C::Scroll::dy}};
};
template <>
struct Schema<C::Key> {
    static constexpr std::tuple fields{Field{"code", &C::Key::code}, Field{"down", &C::Key::down},
                                       Field{"isRepeat", &C::Key::isRepeat},
                                       Field{"modifiers", &C::Key::modifiers}};
};
template <>
struct Schema<C::Text> {
    static constexpr std::tuple fields{Field{"_0", &C::Text::text}};
};
template <>
struct Schema<C::SetLayout> {
    static constexpr std::tuple fields{Field{"_0", &C::SetLayout::layout}};
};
template <>
struct Schema<C::Config> {
    static constexpr std::tuple fields{Field{"_0", &C::Config::config}};
};
template <>
struct Schema<C::System> {
    static constexpr std::tuple fields{Field{"_0", &C::System::action}};
};
template <>
struct Schema<C::Refresh> {
    static constexpr std::tuple<> fields{};
};
template <>
struct Schema<C::Ping> {
    static constexpr std::tuple fields{Field{"ts", &C::Ping::ts}};
};
template <>
struct Schema<C::Clipboard> {
    static constexpr std::tuple fields{Field{"_0", &C::Clipboard::text}};
};
template <>
struct Schema<C::ClipboardSharing> {
    static constexpr std::tuple fields{Field{"_0", &C::ClipboardSharing::enabled}};
};
template <>
struct Schema<C::ClipboardImages> {
    static constexpr std::tuple fields{Field{"_0", &C::ClipboardImages::enabled}};
};
template <>
struct Schema<C::Display> {
    static constexpr std::tuple fields{Field{"_0", &C::Display::id}};
};
template <>
struct Schema<C::Audio> {
    static constexpr std::tuple fields{Field{"kbps", &C::Audio::kbps}};
};

template <>
struct Schema<S::Hello> {
    static constexpr std::tuple fields{Field{"_0", &S::Hello::info}};
};
template <>
struct Schema<S::AuthFailed> {
    static constexpr std::tuple<> fields{};
};
template <>
struct Schema<S::Replaced> {
    static constexpr std::tuple<> fields{};
};
template <>
struct Schema<S::Error> {
    static constexpr std::tuple fields{Field{"_0", &S::Error::code}};
};
template <>
struct Schema<S::Pong> {
    static constexpr std::tuple fields{Field{"ts", &S::Pong::ts}};
};
template <>
struct Schema<S::Cursor> {
    static constexpr std::tuple fields{Field{"x", &S::Cursor::x}, Field{"y", &S::Cursor::y}};
};
template <>
struct Schema<S::ScreenLocked> {
    static constexpr std::tuple fields{Field{"_0", &S::ScreenLocked::locked}};
};
template <>
struct Schema<S::Clipboard> {
    static constexpr std::tuple fields{Field{"_0", &S::Clipboard::text}};
};

// The two message enumerations: a JSON object with exactly one case key.
template <class T>
concept Message = std::is_same_v<T, ClientMessage> || std::is_same_v<T, ServerMessage>;

template <Message T>
constexpr const auto& caseNames() {
    if constexpr (std::is_same_v<T, ClientMessage>) {
        return ClientCase::names;
    } else {
        return ServerCase::names;
    }
}

}  // namespace quelm::WireSchema
