// The screenshot reply path: parse_devtools_message must give exactly what
// the general JSON parser gives (values and faults), whether or not it
// lifts long strings out first, and decode_in_place exactly what decode
// gives.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base64.hpp"
#include "cdp.hpp"

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

struct Message {
  const char* name;
  std::string text;
};

// Valid messages: where long strings sit, and long strings that must go
// through the general parser (escapes, non-ASCII, keys).
const Message kValid[] = {
    {"screenshot_reply", "{\"id\":12,\"result\":{\"data\":" + quoted(kLong) + "}}"},
    {"root_string", quoted(kLong)},
    {"among_short_strings",
     "[\"\",\"x\"," + quoted(kLong) + ",\"\"," + quoted(kOther) + ",{\"k\":" + quoted(kLong) + "},\"y\"]"},
    {"whitespace_around", "{ \"a\" :\n\t" + quoted(kLong) + " \r\n, \"b\" : [ 1 , \"z\" ] }"},
    {"long_key", "{" + quoted(kOther) + ":" + quoted(kLong) + "," + quoted(kLong) + " : \"v\"}"},
    {"escapes_inside", "{\"a\":\"" + kOther + "\\\"\\\\\\u00e9\\n" + kOther + "\",\"b\":" + quoted(kLong) + "}"},
    {"escaped_quote_then_long", "[\"\\\"\"," + quoted(kLong) + "]"},
    {"non_ascii_inside", "[\"" + kOther + "\xc3\xa9\xe2\x82\xac" + kOther + "\"," + quoted(kOther) + "]"},
    {"del_inside", "[\"" + kOther + "\x7f" + "\"]"},
    {"just_below_threshold", "[" + quoted(base64_text(4095, 3)) + "," + quoted(base64_text(4096, 4)) + "]"},
    {"short_only", "{\"id\":3,\"method\":\"Page.loadEventFired\",\"params\":{\"timestamp\":1.5}}"},
    {"numbers_and_literals_after", "{\"d\":" + quoted(kLong) + ",\"n\":-1.5e3,\"t\":true,\"f\":false,\"z\":null}"},
};

class ValidMessageTest : public testing::TestWithParam<Message> {};

TEST_P(ValidMessageTest, MatchesTheGeneralParser) {
  auto parsed = parse_devtools_message(GetParam().text);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_TRUE(*parsed == json::parse(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(DevtoolsMessage, ValidMessageTest, testing::ValuesIn(kValid),
                         [](const auto& info) { return std::string(info.param.name); });

// Faults inside and around long strings, found where the general parser
// finds them.
const Message kInvalid[] = {
    {"control_byte_inside", "{\"d\":\"" + kOther + "\t" + kOther + "\"}"},
    {"unterminated", "{\"d\":\"" + kLong},
    {"unclosed_object", "{\"d\":" + quoted(kLong)},
    {"garbage_after", "{\"d\":" + quoted(kLong) + "}x"},
    {"value_as_key_in_array", "[" + quoted(kLong) + ":1]"},
    {"missing_comma", "[" + quoted(kLong) + quoted(kLong) + "]"},
    {"invalid_utf8_inside", "[\"" + kOther + "\xff" + kOther + "\"]"},
    {"fault_before_long", "{\"a\":tru," + quoted(kLong) + "}"},
    {"bad_escape_inside_long", "[\"" + kOther + "\\q" + kOther + "\"]"},
    {"bad_escape_then_long", "[\"\\x\"," + quoted(kLong) + "]"},
    {"empty", ""},
};

class InvalidMessageTest : public testing::TestWithParam<Message> {};

TEST_P(InvalidMessageTest, FailsAsTheGeneralParserDoes) {
  const std::string& text = GetParam().text;
  std::string expected;
  try {
    json accepted = json::parse(text);
    FAIL() << "the general parser accepted it as " << accepted.type_name();
  } catch (const json::parse_error& e) {
    expected = Error::json_syntax(text, e.byte, json_parser_message(e.what())).display();
  }
  auto parsed = parse_devtools_message(text);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().display(), expected);
}

INSTANTIATE_TEST_SUITE_P(DevtoolsMessage, InvalidMessageTest, testing::ValuesIn(kInvalid),
                         [](const auto& info) { return std::string(info.param.name); });

// In place or into a new buffer, the bytes and the faults are the same.
TEST(DecodeInPlaceTest, AgreesWithDecode) {
  std::vector<std::string> texts = {"", "Zg==", "Zm8=", "Zm9v", "+/+/", "Zg=", "Zm9v*mFy", "Zh==", "Zm9=",
                                    "Z===", "Zg==Zg==", "Zm9vYmF\x80", std::string(3001, 'A') + "!AAA"};
  std::mt19937 random(5);
  for (std::size_t n : {1u, 2u, 3u, 299u, 300u, 301u, 100000u}) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    texts.push_back(base64::encode(bytes));
  }
  for (const std::string& text : texts) {
    auto copied = base64::decode(text);
    std::string in_place = text;
    auto done = base64::decode_in_place(in_place);
    ASSERT_EQ(done.has_value(), copied.has_value()) << text.substr(0, 40);
    if (copied)
      EXPECT_EQ(in_place, *copied) << text.substr(0, 40);
    else
      EXPECT_EQ(done.error(), copied.error());
  }
}

}  // namespace
}  // namespace kestrelite
