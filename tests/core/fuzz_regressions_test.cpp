// Inputs on which the fuzz targets (tests/fuzz) caught a reader breaking its
// promise, kept so that the faults stay fixed. Grouped by reader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "cdp.hpp"
#include "device.hpp"
#include "json_text.hpp"

namespace kestrelite {
namespace {

using testing::HasSubstr;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool is_utf8(const std::string& text) { return json_text::valid_utf8_prefix(text) == text.size(); }

struct Text {
  const char* name;
  std::string text;
};

std::string case_name(const testing::TestParamInfo<Text>& info) { return info.param.name; }

// A syntax error quotes the bytes at which reading stopped. They need not
// be UTF-8, but the error text must be: it becomes a Python str.
const Text kNotUtf8[] = {
    {"lone_lead_byte", "\xf0"},
    {"byte_ff_as_value", "{\"version\":1,\"devices\":[\xff]}"},
    {"sequence_cut_by_the_end", "{\"version\":1,\"note\":\"\xe2\x82"},
    {"surrogate_in_string", "{\"note\":\"\xed\xa0\x80\"}"},
};

class PresetSyntaxErrorTest : public testing::TestWithParam<Text> {};

TEST_P(PresetSyntaxErrorTest, QuotesBadBytesAsReplacementCharacters) {
  auto devices = parse_presets(GetParam().text);
  ASSERT_FALSE(devices);
  const std::string shown = devices.error().display();
  EXPECT_TRUE(is_utf8(shown)) << shown;
  EXPECT_THAT(shown, HasSubstr(kReplacement));
}

INSTANTIATE_TEST_SUITE_P(FuzzFindings, PresetSyntaxErrorTest, testing::ValuesIn(kNotUtf8), case_name);

class DevtoolsSyntaxErrorTest : public testing::TestWithParam<Text> {};

TEST_P(DevtoolsSyntaxErrorTest, QuotesBadBytesAsReplacementCharacters) {
  auto message = parse_devtools_message(std::string(GetParam().text));
  ASSERT_FALSE(message);
  const std::string shown = message.error().display();
  EXPECT_TRUE(is_utf8(shown)) << shown;
  EXPECT_THAT(shown, HasSubstr(kReplacement));
}

INSTANTIATE_TEST_SUITE_P(FuzzFindings, DevtoolsSyntaxErrorTest, testing::ValuesIn(kNotUtf8), case_name);

// A number beyond a double's range made the JSON parser throw an exception
// of another family than syntax errors, which went through the whole capture.
struct Overflow {
  const char* name;
  std::string text;
  std::string token;
};

const Overflow kOverflows[] = {
    {"reply_result", "{\"id\":1,\"result\":1e999}", "1e999"},
    {"negative_in_event", "{\"method\":\"Page.x\",\"params\":{\"t\":-2E+400}}", "-2E+400"},
    {"long_mantissa", "[" + std::string(400, '9') + "]", std::string(400, '9')},
};

class DevtoolsNumberOverflowTest : public testing::TestWithParam<Overflow> {};

TEST_P(DevtoolsNumberOverflowTest, IsAJsonErrorWithoutPosition) {
  auto message = parse_devtools_message(std::string(GetParam().text));
  ASSERT_FALSE(message);
  EXPECT_EQ(message.error().kind(), Error::Kind::Json);
  EXPECT_EQ(message.error().display(), "json: number overflow parsing '" + GetParam().token + "'");
}

INSTANTIATE_TEST_SUITE_P(FuzzFindings, DevtoolsNumberOverflowTest, testing::ValuesIn(kOverflows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrelite
