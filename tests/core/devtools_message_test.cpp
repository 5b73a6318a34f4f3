// parse_devtools_message must give exactly what the general JSON parser
// gives, values and faults, whether or not it lifts long strings out first.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cdp.hpp"
#include "kestrelite/device.hpp"
#include "json_text.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;

// `n` characters of the base64 alphabet.
std::string base64_text(std::size_t n, unsigned seed) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::mt19937 random(seed);
  std::string s(n, 'A');
  for (char& c : s) c = kAlphabet[random() % 64];
  return s;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

const std::string kLong = base64_text(70000, 1);
const std::string kOther = base64_text(5000, 2);

// Where long strings sit, long strings the general parser must handle
// (escapes, non-ASCII, keys), and faults inside and around them.
const std::pair<const char*, std::string> kMessages[] = {
    {"screenshot_reply", "{\"id\":12,\"result\":{\"data\":" + quoted(kLong) + "}}"},
    {"among_short_strings",
     "[\"\",\"x\"," + quoted(kLong) + ",\"\"," + quoted(kOther) + ",{\"k\":" + quoted(kLong) + "},\"y\"]"},
    {"long_key", "{" + quoted(kOther) + ":" + quoted(kLong) + "}"},
    {"escapes_inside", "{\"a\":\"" + kOther + "\\\"\\\\\\u00e9\\n" + kOther + "\",\"b\":" + quoted(kLong) + "}"},
    {"non_ascii_inside", "[\"" + kOther + "\xc3\xa9" + kOther + "\"," + quoted(kOther) + "]"},
    {"around_the_threshold", "[" + quoted(base64_text(4095, 3)) + "," + quoted(base64_text(4096, 4)) + "]"},
    {"control_byte_inside", "{\"d\":\"" + kOther + "\t" + kOther + "\"}"},
    {"invalid_utf8_inside", "[\"" + kOther + "\xff" + kOther + "\"]"},
    {"fault_before_long", "{\"a\":tru," + quoted(kLong) + "}"},
    {"bad_escape_then_long", "[\"\\x\"," + quoted(kLong) + "]"},
};

TEST(DevtoolsMessageTest, ValuesAndFaultsMatchTheGeneralParser) {
  for (const auto& [name, text] : kMessages) {
    std::string expected;
    try {
      expected = json::parse(text).dump();
    } catch (const json::parse_error& e) {
      expected = Error::json_syntax(text, e.byte, json_parser_message(e.what())).display();
    }
    auto parsed = parse_devtools_message(text);
    EXPECT_EQ(parsed ? parsed->dump() : parsed.error().display(), expected) << name;
  }
}

// Found by fuzzing: a syntax error quotes the bytes where reading stopped,
// which need not be UTF-8, yet the error text must be (it becomes a Python
// str); and a number beyond a double's range threw past the parser.
TEST(DevtoolsMessageTest, ErrorTextsAreUtf8AndOverflowIsAnError) {
  for (std::string text : {"\xf0", "{\"version\":1,\"devices\":[\xff]}", "{\"note\":\"\xed\xa0\x80\"}"}) {
    for (auto shown : {parse_presets(text).error().display(), parse_devtools_message(text).error().display()}) {
      EXPECT_EQ(json_text::valid_utf8_prefix(shown), shown.size()) << shown;
      EXPECT_NE(shown.find("\xEF\xBF\xBD"), std::string::npos) << shown;
    }
  }
  auto overflow = parse_devtools_message("{\"id\":1,\"result\":-2E+400}");
  EXPECT_EQ(overflow ? "parsed" : overflow.error().display(), "json: number overflow parsing '-2E+400'");
}

}  // namespace
}  // namespace kestrelite
