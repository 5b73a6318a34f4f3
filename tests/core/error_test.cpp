#include "error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace kestrelite {
namespace {

struct DisplayCase {
  const char* name;
  Error (*make)();
  const char* display;
};

const DisplayCase kDisplayCases[] = {
    {"protocol", [] { return Error::protocol("peer sent close"); }, "websocket protocol: peer sent close"},
    {"cdp", [] { return Error::cdp("Page.navigate", "Cannot navigate"); }, "cdp Page.navigate: Cannot navigate"},
    {"browser", [] { return Error::browser("no stderr pipe"); }, "browser: no stderr pipe"},
    {"shape", [] { return Error::shape("png too short: 10 bytes"); }, "unexpected response shape: png too short: 10 bytes"},
    {"empty_browser", [] { return Error::browser(""); }, "browser: "},
    {"empty_shape", [] { return Error::shape(""); }, "unexpected response shape: "},
    {"io_message", [] { return Error::io_message("could not resolve to any addresses"); },
     "io: could not resolve to any addresses"},
    {"json_positioned", [] { return Error::json(JsonError{"data", "missing field `id`", 3, 7}); },
     "json: missing field `id` at line 3 column 7"},
    {"json_unpositioned", [] { return Error::json(JsonError{"syntax", "bad", 0, 0}); }, "json: bad"},
};

class DisplayTest : public testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayTest, ShowsPrefixAndMessage) { EXPECT_EQ(GetParam().make().display(), GetParam().display); }

INSTANTIATE_TEST_SUITE_P(Kinds, DisplayTest, testing::ValuesIn(kDisplayCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorTest, IoCarriesTheOperatingSystemText) {
  Error e = Error::io_errno(ENOENT);
  EXPECT_EQ(e.kind(), Error::Kind::Io);
  EXPECT_EQ(e.display(), std::string("io: ") + std::strerror(ENOENT));
  EXPECT_EQ(e.io_code().value(), ENOENT);
}

TEST(ErrorTest, DebugNamesTheVariant) {
  EXPECT_EQ(Error::browser("x \"y\"").debug(), "Browser(\"x \\\"y\\\"\")");
  EXPECT_EQ(Error::cdp("Page.enable", "gone").debug(), "Cdp { method: \"Page.enable\", message: \"gone\" }");
  EXPECT_EQ(Error::shape("a\nb").debug(), "Shape(\"a\\nb\")");
  EXPECT_EQ(Error::protocol("p").debug(), "Protocol(\"p\")");
  EXPECT_TRUE(Error::io_errno(EPIPE).debug().starts_with("Io("));
  EXPECT_TRUE(Error::json(JsonError{"syntax", "t", 1, 2}).debug().starts_with("Json("));
}

TEST(ErrorTest, SyntaxErrorsArePositionedAtTheByteWhereReadingStopped) {
  std::string_view text = "{\n  \"a\": tru\n}";
  Error e = Error::json_syntax(text, 11, "invalid literal");
  EXPECT_EQ(e.display(), "json: invalid literal at line 2 column 9");
}

TEST(ErrorTest, PositionOfCountsLinesAndColumnsFromOne) {
  EXPECT_EQ(position_of("abc", 0).line, 1u);
  EXPECT_EQ(position_of("abc", 0).column, 0u);
  EXPECT_EQ(position_of("abc", 2).column, 2u);
  EXPECT_EQ(position_of("a\nbc", 4).line, 2u);
  EXPECT_EQ(position_of("a\nbc", 4).column, 2u);
  EXPECT_EQ(position_of("a\n", 99).line, 2u);
}

}  // namespace
}  // namespace kestrelite
