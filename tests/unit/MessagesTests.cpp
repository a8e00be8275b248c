#include "QuelmCore/Messages.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quelm {
namespace {

using CM = ClientMessage;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string repeated(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

TEST(Validated, BringsValuesIntoRange) {
    const std::vector<std::pair<CM, CM>> cases = {
        {CM::Move{20000, -20000}, CM::Move{10000, -10000}},
        {CM::Move{10000, -10000}, CM::Move{10000, -10000}},
        {CM::Move{-3.5, 2}, CM::Move{-3.5, 2}},
        {CM::Scroll{-1e9, 1e9}, CM::Scroll{-10000, 10000}},
        {CM::MoveTo{-0.2, 1.7}, CM::MoveTo{0, 1}},
        {CM::MoveTo{0, 1}, CM::MoveTo{0, 1}},
        {CM::MoveTo{0.25, 0.75}, CM::MoveTo{0.25, 0.75}},
        {CM::Audio{-5}, CM::Audio{0}},
        {CM::Audio{0}, CM::Audio{0}},
        {CM::Audio{1}, CM::Audio{32}},
        {CM::Audio{128}, CM::Audio{128}},
        {CM::Audio{500}, CM::Audio{256}},
        {CM::Config{StreamConfig{100, 100, 1}}, CM::Config{StreamConfig{640, 50, 5}}},
        {CM::Key{127, true, false, Modifiers(255)}, CM::Key{127, true, false, Modifiers(255)}},
        {CM::Ack{17}, CM::Ack{17}},
        {CM::SetLayout{}, CM::SetLayout{}},
        {CM::Display{3}, CM::Display{3}},
        {CM::Ping{12.5}, CM::Ping{12.5}},
        {CM::Text{"abc"}, CM::Text{"abc"}},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input.caseName());
        auto output = input.validated();
        ASSERT_TRUE(output);
        EXPECT_EQ(*output, expected);
    }
}

TEST(Validated, DropsWhatMustNotReachTheInjector) {
    const std::vector<CM> cases = {
        CM::Move{kNaN, 0},
        CM::Move{0, kInf},
        CM::Scroll{-kInf, 0},
        CM::MoveTo{0.5, kNaN},
        CM::MoveTo{kInf, 0.5},
        CM::Key{128, true, false, Modifiers()},
        CM::Key{200, false, false, Modifiers()},
        CM::Text{repeated("a", 4001)},
        CM::Text{repeated("\U0001F600", 4001)},
        CM::Clipboard{std::string(48001, 'x')},
    };
    for (const auto& message : cases) {
        SCOPED_TRACE(message.caseName());
        EXPECT_FALSE(message.validated());
    }
}

TEST(Validated, TextLengthCountsUserPerceivedCharacters) {
    // 4000 emoji of four bytes, 4000 flags of two code points, 4000 accented letters written as
    // letter plus combining mark: each is 4000 characters.
    for (const char* piece : {"\U0001F600", "\U0001F1EF\U0001F1F5", "e\u0301", "\r\n", "日"}) {
        SCOPED_TRACE(piece);
        EXPECT_TRUE(CM{CM::Text{repeated(piece, 4000)}}.validated());
        EXPECT_FALSE(CM{CM::Text{repeated(piece, 4001)}}.validated());
    }
    EXPECT_TRUE(CM{CM::Text{repeated("a", 4000)}}.validated());
    EXPECT_TRUE(CM{CM::Text{""}}.validated());
}

TEST(Validated, ClipboardLimitIsInUtf8Bytes) {
    EXPECT_TRUE(CM{CM::Clipboard{std::string(48000, 'x')}}.validated());
    EXPECT_TRUE(CM{CM::Clipboard{repeated("日", 16000)}}.validated());
    EXPECT_FALSE(CM{CM::Clipboard{repeated("日", 16000) + "x"}}.validated());
}

TEST(GraphemeCount, CountsClustersAndStopsPastTheLimit) {
    const std::vector<std::pair<std::string, std::size_t>> cases = {
        {"", 0},
        {"abc", 3},
        {"a\r\nb", 3},
        {"\r\r\n\n", 3},
        {"e\u0301x", 2},
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},  // a family: one cluster
        {"\U0001F1EF\U0001F1F5\U0001F1FA\U0001F1F8", 2},    // two flags
        {"한국어", 3},
        {"\x80\x80", 2},  // broken UTF-8 still counts, as replacement characters
    };
    for (const auto& [text, count] : cases) {
        EXPECT_EQ(graphemeCount(text, 100), count) << text;
    }
    EXPECT_GT(graphemeCount(repeated("\U0001F600", 50), 10), 10u);
}

TEST(StreamConfig, ClampedKeepsEveryValueInRange) {
    const std::vector<std::pair<StreamConfig, StreamConfig>> cases = {
        {{100, 100, 1}, {640, 50, 5}},       {{10000, 0.1, 240}, {3840, 0.5, 60}},
        {{1920, 6.0, 30}, {1920, 6.0, 30}},  {{1920, kNaN, 30}, {1920, 6.0, 30}},
        {{1920, kInf, 30}, {1920, 6.0, 30}}, {{1920, -kInf, 30}, {1920, 6.0, 30}},
        {{-5, -1, -30}, {640, 0.5, 5}},      {{640, 0.5, 5}, {640, 0.5, 5}},
        {{3840, 50, 60}, {3840, 50, 60}},    {{641, 50.0000001, 59}, {641, 50, 59}},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(input.clamped(), expected)
            << input.maxEdge << " " << input.bitrateMbps << " " << input.fps;
    }
}

TEST(Messages, CaseNamesFollowTheHeldCase) {
    EXPECT_EQ(CM{CM::MoveTo{}}.caseName(), "moveTo");
    EXPECT_EQ(CM{CM::Audio{}}.caseName(), "audio");
    EXPECT_EQ(ServerMessage{ServerMessage::ScreenLocked{}}.caseName(), "screenLocked");
}

}  // namespace
}  // namespace quelm
