#include "QuelmCore/WireCoder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quelm {
namespace {

using CM = ClientMessage;
using SM = ServerMessage;

template <class Message>
struct TextCase {
    Message message;
    std::string json;
};

ClientHello sampleHello() {
    return ClientHello{"secret-token", StreamConfig{1920, 6.0, 30}, KeyboardLayoutKind::jis, 2};
}

HostInfo sampleHostInfo() {
    return HostInfo{
        1512,
        982,
        true,
        KeyboardLayoutKind::us,
        std::vector<DisplayInfo>{{1, 1512, 982, true, true}, {2, 2560, 1440.5, false, false}},
        1};
}

TEST(WireCoder, EveryClientCaseEncodesAndDecodesAsItsText) {
    const std::vector<TextCase<CM>> cases = {
        {CM::Hello{sampleHello()},
         R"({"hello":{"_0":{"token":"secret-token","config":{"maxEdge":1920,"bitrateMbps":6,"fps":30},"layout":"jis","display":2}}})"},
        {CM::Hello{ClientHello{"t", StreamConfig{640, 0.5, 5}}},
         R"({"hello":{"_0":{"token":"t","config":{"maxEdge":640,"bitrateMbps":0.5,"fps":5}}}})"},
        {CM::Ack{17}, R"({"ack":{"seq":17}})"},
        {CM::Move{3.5, -2}, R"({"move":{"dx":3.5,"dy":-2}})"},
        {CM::MoveTo{0.25, 0.5}, R"({"moveTo":{"x":0.25,"y":0.5}})"},
        {CM::Button{false, true, Modifiers()},
         R"({"button":{"right":false,"down":true,"modifiers":0}})"},
        {CM::DragButton{true, Modifiers{Modifiers::command, Modifiers::shift}},
         R"({"dragButton":{"down":true,"modifiers":9}})"},
        {CM::Scroll{0, -12}, R"({"scroll":{"dx":0,"dy":-12}})"},
        {CM::Key{0, true, false, Modifiers(8)},
         R"({"key":{"code":0,"down":true,"isRepeat":false,"modifiers":8}})"},
        {CM::Text{"abc"}, R"({"text":{"_0":"abc"}})"},
        {CM::SetLayout{KeyboardLayoutKind::jis}, R"({"setLayout":{"_0":"jis"}})"},
        {CM::SetLayout{std::nullopt}, R"({"setLayout":{}})"},
        {CM::Config{StreamConfig{1920, 6.0, 30}},
         R"({"config":{"_0":{"maxEdge":1920,"bitrateMbps":6,"fps":30}}})"},
        {CM::System{SystemAction::spaceLeft}, R"({"system":{"_0":"spaceLeft"}})"},
        {CM::Refresh{}, R"({"refresh":{}})"},
        {CM::Ping{12.5}, R"({"ping":{"ts":12.5}})"},
        {CM::Clipboard{"text"}, R"({"clipboard":{"_0":"text"}})"},
        {CM::ClipboardSharing{true}, R"({"clipboardSharing":{"_0":true}})"},
        {CM::ClipboardImages{false}, R"({"clipboardImages":{"_0":false}})"},
        {CM::Display{2}, R"({"display":{"_0":2}})"},
        {CM::Audio{128}, R"({"audio":{"kbps":128}})"},
    };
    for (const auto& [message, json] : cases) {
        SCOPED_TRACE(json);
        EXPECT_EQ(WireCoder::encode(message), json);
        auto decoded = WireCoder::decodeReportingError<CM>(json);
        EXPECT_EQ(decoded.value, message) << decoded.error;
    }
}

TEST(WireCoder, EveryServerCaseEncodesAndDecodesAsItsText) {
    const std::vector<TextCase<SM>> cases = {
        {SM::Hello{sampleHostInfo()},
         R"({"hello":{"_0":{"displayWidth":1512,"displayHeight":982,"accessibilityTrusted":true,"keyboard":"us","displays":[{"id":1,"width":1512,"height":982,"isMain":true,"isBuiltIn":true},{"id":2,"width":2560,"height":1440.5,"isMain":false,"isBuiltIn":false}],"displayID":1}}})"},
        {SM::Hello{HostInfo{800, 600, false, KeyboardLayoutKind::jis}},
         R"({"hello":{"_0":{"displayWidth":800,"displayHeight":600,"accessibilityTrusted":false,"keyboard":"jis"}}})"},
        {SM::AuthFailed{}, R"({"authFailed":{}})"},
        {SM::Replaced{}, R"({"replaced":{}})"},
        {SM::Error{"captureFailed"}, R"({"error":{"_0":"captureFailed"}})"},
        {SM::Pong{12.5}, R"({"pong":{"ts":12.5}})"},
        {SM::Cursor{0.5, 0.5}, R"({"cursor":{"x":0.5,"y":0.5}})"},
        {SM::ScreenLocked{true}, R"({"screenLocked":{"_0":true}})"},
        {SM::Clipboard{"text"}, R"({"clipboard":{"_0":"text"}})"},
    };
    for (const auto& [message, json] : cases) {
        SCOPED_TRACE(json);
        EXPECT_EQ(WireCoder::encode(message), json);
        auto decoded = WireCoder::decodeReportingError<SM>(json);
        EXPECT_EQ(decoded.value, message) << decoded.error;
    }
}

TEST(WireCoder, LenientDecodingFollowsTheRules) {
    const std::vector<TextCase<CM>> cases = {
        {CM::Refresh{}, R"({"refresh":{"x":1}})"},
        {CM::Move{1, 2}, R"({"move":{"dx":1,"dy":2},"extra":5})"},
        {CM::Move{1, 2}, R"( { "Move" : 1, "move" : { "dy" : 2, "dx" : 1, "dz": [] } } )"},
        {CM::SetLayout{std::nullopt}, R"({"setLayout":{"_0":null}})"},
        {CM::Hello{ClientHello{"t", StreamConfig{1, 2, 3}}},
         R"({"hello":{"_0":{"token":"t","config":{"maxEdge":1,"bitrateMbps":2,"fps":3},"layout":null,"display":null}}})"},
        // Whole numbers in any JSON form fill integer fields.
        {CM::Ack{5}, R"({"ack":{"seq":5.0}})"},
        {CM::Ack{100}, R"({"ack":{"seq":1e2}})"},
        {CM::Ack{4294967295u}, R"({"ack":{"seq":4294967295}})"},
        {CM::Ack{0}, R"({"ack":{"seq":-0.0}})"},
        {CM::Audio{-9223372036854775807 - 1}, R"({"audio":{"kbps":-9223372036854775808}})"},
        {CM::Key{127, true, false, Modifiers(255)},
         R"({"key":{"code":127,"down":true,"isRepeat":false,"modifiers":255}})"},
        {CM::Key{200, false, true, Modifiers()},
         R"({"key":{"code":200,"down":false,"isRepeat":true,"modifiers":0}})"},
        // A double field takes any number form.
        {CM::Ping{1e300}, R"({"ping":{"ts":1e300}})"},
        {CM::Move{-2, 7}, R"({"move":{"dx":-2,"dy":7.0}})"},
        {CM::Text{"a\"b\\c\n\u00e9\U0001F600"}, R"({"text":{"_0":"a\"b\\c\n\u00e9\ud83d\ude00"}})"},
    };
    for (const auto& [message, json] : cases) {
        SCOPED_TRACE(json);
        auto decoded = WireCoder::decodeReportingError<CM>(json);
        EXPECT_EQ(decoded.value, message) << decoded.error;
    }
}

TEST(WireCoder, RefusesTextsThatBreakTheRules) {
    const std::string keyCount = "Invalid number of keys found, expected one.";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({})", keyCount},
        {R"({"move":{"dx":1,"dy":2},"scroll":{"dx":0,"dy":0}})", keyCount},
        {R"({"extra":{}})", keyCount},
        {R"({"Refresh":{}})", keyCount},
        {R"({"refresh":null})", ""},
        {R"({"refresh":true})", ""},
        {R"({"refresh":[]})", ""},
        {R"({"refresh":5})", ""},
        {R"({"move":{"dx":1}})", ""},
        {R"({"move":{"dx":1,"dy":null}})", ""},
        {R"({"move":{"dx":"1","dy":2}})", ""},
        {R"({"setLayout":{"_0":"fr"}})", ""},
        {R"({"system":{"_0":"launchpad"}})", ""},
        {R"({"key":{"code":70000,"down":true,"isRepeat":false,"modifiers":0}})", ""},
        {R"({"key":{"code":1,"down":true,"isRepeat":false,"modifiers":256}})", ""},
        {R"({"key":{"code":1,"down":1,"isRepeat":false,"modifiers":0}})", ""},
        {R"({"ack":{"seq":-1}})", ""},
        {R"({"ack":{"seq":5.5}})", ""},
        {R"({"ack":{"seq":4294967296}})", ""},
        {R"({"display":{"_0":1e10}})", ""},
        {R"({"audio":{"kbps":9223372036854775808}})", ""},
        {R"({"audio":{"kbps":1e19}})", ""},
        {R"({"text":{"_0":5}})", ""},
        {R"({"ping":{"ts":1e400}})", ""},
        {R"({"move":{"dx":-1e400,"dy":0}})", ""},
        {R"({"hello":{"_0":{"token":"t"}}})", ""},
        {R"({"hello":{"_0":{"token":"t","config":{"maxEdge":1,"bitrateMbps":2}}}})", ""},
        {R"({"hello":{"_0":{"token":"t","config":{"maxEdge":1,"bitrateMbps":2,"fps":3},"display":-1}}})",
         ""},
        {R"([{"refresh":{}}])", ""},
        {R"("refresh")", ""},
        {R"({"refresh":{}} x)", ""},
        {R"({"refresh":{})", ""},
        {"", ""},
        {"{\"text\":{\"_0\":\"\xff\"}}", ""},
    };
    for (const auto& [json, error] : cases) {
        SCOPED_TRACE(json);
        auto decoded = WireCoder::decodeReportingError<CM>(json);
        EXPECT_FALSE(decoded.value.has_value());
        EXPECT_FALSE(decoded.error.empty());
        if (!error.empty()) {
            EXPECT_EQ(decoded.error, error);
        }
    }
}

TEST(WireCoder, HelloRecordsTakeOptionalFieldsAsAbsent) {
    auto hello = WireCoder::decode<CM>(
        R"({"hello":{"_0":{"token":"abc","config":{"maxEdge":1920,"bitrateMbps":6,"fps":30}}}})");
    ASSERT_TRUE(hello);
    const auto& payload = std::get<CM::Hello>(*hello).hello;
    EXPECT_FALSE(payload.layout);
    EXPECT_FALSE(payload.display);

    auto host = WireCoder::decode<SM>(
        R"({"hello":{"_0":{"displayWidth":1,"displayHeight":2,"accessibilityTrusted":true,"keyboard":"jis"}}})");
    ASSERT_TRUE(host);
    EXPECT_EQ(std::get<SM::Hello>(*host).info, (HostInfo{1, 2, true, KeyboardLayoutKind::jis}));

    EXPECT_FALSE(WireCoder::decode<SM>(
        R"({"hello":{"_0":{"displayWidth":1,"displayHeight":2,"accessibilityTrusted":true,"keyboard":"jis","displays":[{"id":1}]}}})"));
}

TEST(WireCoder, NonFiniteDoublesCannotBeEncoded) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(WireCoder::encode(SM{SM::Pong{nan}}));
    EXPECT_FALSE(WireCoder::encode(SM{SM::Cursor{0.5, -inf}}));
    EXPECT_FALSE(WireCoder::encode(CM{CM::Config{StreamConfig{1920, inf, 30}}}));
    HostInfo info{1, 2, true, KeyboardLayoutKind::us, std::vector<DisplayInfo>{{1, nan, 1}}, 1};
    EXPECT_FALSE(WireCoder::encode(SM{SM::Hello{info}}));
}

TEST(WireCoder, DoublesAreShortestRoundTripText) {
    const std::vector<std::pair<double, std::string>> cases = {{6.0, "6"},
                                                               {12.5, "12.5"},
                                                               {0.1, "0.1"},
                                                               {-0.0, "-0"},
                                                               {1e21, "1e+21"},
                                                               {1.0 / 3.0, "0.3333333333333333"},
                                                               {123456789.125, "123456789.125"}};
    for (const auto& [value, text] : cases) {
        auto json = WireCoder::encode(SM{SM::Pong{value}});
        EXPECT_EQ(json, R"({"pong":{"ts":)" + text + "}}");
        auto back = WireCoder::decode<SM>(*json);
        ASSERT_TRUE(back);
        EXPECT_EQ(std::get<SM::Pong>(*back).ts, value);
    }
}

// 17-digit texts that Boost.JSON's own number reading rounds wrongly: each must read back as
// the double whose shortest text it is, and long mantissas round to the nearest double.
TEST(WireCoder, DoublesReadCorrectlyRounded) {
    const std::vector<std::pair<std::string, double>> cases = {
        {"1.6666666666666665", std::nextafter(5.0 / 3.0, 0.0)},
        {"1.6666666666666667", 5.0 / 3.0},
        {"1.66666666666666666666666666666666666666666666666666666666625", 5.0 / 3.0},
        {"0.30000000000000004", 0.1 + 0.2},
        {"-2.2250738585072014e-308", -2.2250738585072014e-308},
        {"1e-400", 0.0},
    };
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(text);
        auto decoded = WireCoder::decode<CM>(R"({"moveTo":{"x":)" + text + R"(,"y":0.5}})");
        ASSERT_TRUE(decoded);
        EXPECT_EQ(std::get<CM::MoveTo>(*decoded).x, value);
        auto again = WireCoder::decode<CM>(*WireCoder::encode(*decoded));
        EXPECT_EQ(again, decoded);
    }
}

TEST(WireCoder, StringsAreEscapedAndStayValidUtf8) {
    std::string controls = "q\"b\\s/\n\r\t\b\f";
    controls.push_back('\0');
    controls += "\x01\x1f\x7f";
    auto json = WireCoder::encode(SM{SM::Clipboard{controls + "日本語\U0001F600"}});
    EXPECT_EQ(json,
              "{\"clipboard\":{\"_0\":\"q\\\"b\\\\s/\\n\\r\\t\\b\\f\\u0000\\u0001\\u001f\x7f"
              "日本語\U0001F600\"}}");
    auto back = WireCoder::decode<SM>(*json);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::get<SM::Clipboard>(*back).text, controls + "日本語\U0001F600");

    // Broken UTF-8 (a stray continuation, a cut sequence, an overlong form, a surrogate)
    // becomes U+FFFD so that the companion can parse the text.
    auto broken =
        WireCoder::encode(SM{SM::Clipboard{"a\x80"
                                           "b\xE6\x97"
                                           "c\xC0\xAF"
                                           "\xED\xA0\x80"}});
    ASSERT_TRUE(broken);
    auto decoded = WireCoder::decode<SM>(*broken);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(std::get<SM::Clipboard>(*decoded).text,
              "a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(WireCoder, RecordsCodeOnTheirOwn) {
    EXPECT_EQ(WireCoder::encode(StreamConfig{2560, 15.0, 30}),
              R"({"maxEdge":2560,"bitrateMbps":15,"fps":30})");
    EXPECT_EQ(WireCoder::decode<StreamConfig>(R"({"fps":30,"maxEdge":2560,"bitrateMbps":15})"),
              (StreamConfig{2560, 15.0, 30}));
    EXPECT_EQ(WireCoder::decode<DisplayInfo>(
                  R"({"id":7,"width":10,"height":20.5,"isMain":false,"isBuiltIn":true})"),
              (DisplayInfo{7, 10, 20.5, false, true}));
    auto hello = sampleHello();
    EXPECT_EQ(WireCoder::decode<ClientHello>(*WireCoder::encode(hello)), hello);
    auto info = sampleHostInfo();
    EXPECT_EQ(WireCoder::decode<HostInfo>(*WireCoder::encode(info)), info);
    const std::uint8_t bytes[] = {'{', '"', 'a', 'c', 'k', '"', ':', '{', '"',
                                  's', 'e', 'q', '"', ':', '3', '}', '}'};
    EXPECT_EQ(WireCoder::decode<CM>(std::span<const std::uint8_t>(bytes)), CM{CM::Ack{3}});
}

}  // namespace
}  // namespace quelm
