#include "device.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestrelite {
namespace {

using testing::HasSubstr;
using testing::StartsWith;

// A document with the given device texts and version 1.
std::string doc(const std::string& devices, const std::string& version = "1") {
  return R"({"version":)" + version + R"(,"devices":[)" + devices + "]}";
}

// A complete device object; `extra` is spliced in before the closing brace.
std::string device(const std::string& id, const std::string& size = R"("output_width":1080,"output_height":1920,"scale":3)",
                   const std::string& extra = "") {
  return R"({"id":")" + id + R"(","label":"L",)" + size + R"(,"requirement":"optional")" + extra + "}";
}

const std::string kStoreList = "`apple`, `play`, `web`";

struct RejectCase {
  const char* name;
  std::string text;
  std::string display_prefix;
};

const RejectCase kRejectCases[] = {
    {"version_two_before_device_checks", doc(device("a", R"("output_width":0,"output_height":0,"scale":0)"), "2"),
     "unexpected response shape: preset schema version 2 is not supported by this build"},
    {"json_error_before_version", doc(R"({"label":"x"})", "2"), "json: missing field `id`"},
    {"scale_checked_before_size", doc(device("a", R"("output_width":0,"output_height":5,"scale":0)")),
     "unexpected response shape: device a: scale is zero"},
    {"zero_height", doc(device("b", R"("output_width":10,"output_height":0,"scale":1)")),
     "unexpected response shape: device b: zero output dimension"},
    {"not_divisible", doc(device("p", R"("output_width":1080,"output_height":1921,"scale":3)")),
     "unexpected response shape: device p: output 1080x1921 does not divide by scale 3, so no integer viewport can "
     "produce it"},
    {"duplicate_id", doc(device("a") + "," + device("b") + "," + device("a")),
     "unexpected response shape: duplicate device id in preset file"},
    {"scale_error_wins_over_later_duplicate",
     doc(device("a") + "," + device("a") + "," + device("z", R"("output_width":1,"output_height":1,"scale":0)")),
     "unexpected response shape: device z: scale is zero"},
    {"duplicate_devices_key", R"({"version":1,"devices":[],"devices":[]})", "json: duplicate field `devices`"},
    {"duplicate_device_key", doc(device("a", R"("output_width":3,"output_width":3,"output_height":3,"scale":1)")),
     "json: duplicate field `output_width`"},
    {"platform_case_sensitive", doc(device("a", R"("output_width":3,"output_height":3,"scale":1)", R"(,"platform":"iOS_phone")")),
     "json: unknown variant `iOS_phone`, expected one of `ios_phone`, `ios_tablet`, `ios_watch`, `android_phone`, "
     "`android_tablet`, `macos`, `tv`, `web` at line 1"},
    {"unknown_store", doc(device("a", R"("output_width":3,"output_height":3,"scale":1)", R"(,"store":"amazon")")),
     "json: unknown variant `amazon`, expected one of " + kStoreList},
    {"unknown_requirement", doc(R"({"id":"a","label":"L","output_width":1,"output_height":1,"scale":1,"requirement":"must"})"),
     "json: unknown variant `must`, expected one of `required`, `conditional`, `recommended`, `optional`, "
     "`required_ipad`, `required_mac`, `required_tv`, `required_vision`, `required_watch`"},
    {"enum_object_with_value", doc(device("a", R"("output_width":3,"output_height":3,"scale":1)", R"(,"store":{"web":1})")),
     "json: invalid type: integer `1`, expected unit variant"},
    {"enum_object_two_keys", doc(device("a", R"("output_width":3,"output_height":3,"scale":1)", R"(,"store":{"web":null,"play":null})")),
     "json: invalid type: map with more than one entry"},
    {"enum_object_unknown", doc(device("a", R"("output_width":3,"output_height":3,"scale":1)", R"(,"store":{"Web":null})")),
     "json: unknown variant `Web`"},
    {"negative_scale", doc(device("a", R"("output_width":3,"output_height":3,"scale":-1)")),
     "json: invalid value: integer `-1`, expected u32"},
    {"fractional_width", doc(device("a", R"("output_width":1.5,"output_height":3,"scale":1)")),
     "json: invalid type: floating point `1.5`, expected u32"},
    {"width_above_u32", doc(device("a", R"("output_width":4294967296,"output_height":3,"scale":1)")),
     "json: invalid value: integer `4294967296`, expected u32"},
    {"huge_integer", doc(device("a", R"("output_width":123456789012345678901234567890,"output_height":3,"scale":1)")),
     "json: invalid type: floating point"},
    {"null_note", R"({"version":1,"note":null,"devices":[]})", "json: invalid type: null, expected a string"},
    {"null_source", doc(device("a", R"("output_width":3,"output_height":3,"scale":1)", R"(,"source":null)")),
     "json: invalid type: null, expected a string"},
    {"mobile_as_number", doc(device("a", R"("output_width":3,"output_height":3,"scale":1)", R"(,"mobile":1)")),
     "json: invalid type: integer `1`, expected a boolean"},
    {"id_as_number", doc(R"({"id":7})"), "json: invalid type: integer `7`, expected a string"},
    {"device_array_short", doc(R"(["a","L",3,3,1,false,"web"])"),
     "json: invalid length 8, expected struct Device with 11 elements"},
    {"device_array_missing_scale", doc(R"(["a","L",3,3])"),
     "json: invalid length 4, expected struct Device with 11 elements"},
    {"device_array_too_long", doc(R"(["a","L",3,3,1,false,"web","web","optional",false,"",0])"),
     "json: invalid length 12, expected struct Device with 11 elements"},
    {"file_array_empty", "[]", "json: invalid length 0, expected struct PresetFile with 4 elements"},
    {"file_array_without_devices", R"([1,"note"])", "json: invalid length 3, expected struct PresetFile with 4 elements"},
    {"missing_version", R"({"devices":[]})", "json: missing field `version`"},
    {"missing_devices", R"({"version":1})", "json: missing field `devices`"},
    {"missing_requirement", doc(R"({"id":"a","label":"L","output_width":3,"output_height":3,"scale":1})"),
     "json: missing field `requirement`"},
    {"devices_as_object", R"({"version":1,"devices":{}})", "json: invalid type: map, expected a sequence"},
    {"top_level_string", R"("presets")", "json: invalid type: string \"presets\", expected struct PresetFile"},
    {"text_after_value", R"({"version":1,"devices":[]} x)", "json: syntax error while parsing value"},
    {"not_json", "{version: 1}", "json: syntax error"},
    {"empty_text", "", "json: syntax error"},
    {"truncated", R"({"version":1,"devices":[)", "json: syntax error"},
};

class RejectTest : public testing::TestWithParam<RejectCase> {};

TEST_P(RejectTest, ReportsTheFirstFault) {
  auto result = parse_presets(GetParam().text);
  ASSERT_FALSE(result) << "parsed " << result->size() << " devices";
  EXPECT_THAT(result.error().display(), StartsWith(GetParam().display_prefix));
  if (result.error().kind() == Error::Kind::Json) {
    EXPECT_THAT(result.error().display(), HasSubstr(" at line "));
  }
}

INSTANTIATE_TEST_SUITE_P(PresetFiles, RejectTest, testing::ValuesIn(kRejectCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParsePresetsTest, PositionIsWhereReadingStopped) {
  auto result = parse_presets("{\n\"version\": 1,\n\"devices\": [{\"id\": \"a\"}]\n}");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "json: missing field `label` at line 3 column 23");
  auto duplicate = parse_presets("{\"version\": 1,\n  \"devices\": [],\n  \"devices\": []}");
  ASSERT_FALSE(duplicate);
  EXPECT_EQ(duplicate.error().display(), "json: duplicate field `devices` at line 3 column 11");
}

TEST(ParsePresetsTest, EmptyDeviceListIsValid) {
  auto result = parse_presets(R"({"version":1,"devices":[]})");
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->empty());
}

TEST(ParsePresetsTest, AbsentOptionalKeysTakeTheirDefaults) {
  auto result = parse_presets(doc(R"({"id":"a","label":"L","output_width":1080,"output_height":1920,"scale":3,"requirement":"optional"})"));
  ASSERT_TRUE(result) << result.error().display();
  const Device& d = result->at(0);
  EXPECT_EQ(d.platform, Platform::Web);
  EXPECT_EQ(d.store, Store::Web);
  EXPECT_FALSE(d.mobile);
  EXPECT_FALSE(d.verified);
  EXPECT_EQ(d.source, "");
  EXPECT_EQ(d.viewport_width(), 360u);
  EXPECT_EQ(d.viewport_height(), 640u);
}

TEST(ParsePresetsTest, UnknownKeysAreSkippedWhateverTheirValue) {
  auto result = parse_presets(
      R"({"sources":{"apple":[1,{"x":[null]}]},"version":1,"x":true,"x":"again","devices":[)" +
      device("a", R"("output_width":3,"output_height":3,"scale":1)", R"(,"extra":{"deep":[[[]]]},"extra":0)") + "]}  \n\t");
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_EQ(result->size(), 1u);
}

TEST(ParsePresetsTest, SkippedValuesAreStillSyntaxChecked) {
  auto result = parse_presets(R"({"version":1,"junk":[1,,2],"devices":[]})");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::Json);
}

TEST(ParsePresetsTest, ArrayFormsAndEnumObjectsRead) {
  auto result = parse_presets(
      R"([1,"n","d",[["a","L",1320,2868,3,true,{"ios_phone":null},"apple","required",true,"s"],)"
      R"(["b","M",3,3,1,false,"tv","play","optional"]]])");
  ASSERT_TRUE(result) << result.error().display();
  ASSERT_EQ(result->size(), 2u);
  EXPECT_EQ((*result)[0].platform, Platform::IosPhone);
  EXPECT_EQ((*result)[0].store, Store::Apple);
  EXPECT_TRUE((*result)[0].verified);
  EXPECT_EQ((*result)[1].requirement, Requirement::Optional);
  EXPECT_FALSE((*result)[1].verified);
  EXPECT_EQ((*result)[1].source, "");
}

TEST(ParsePresetsTest, IdsDifferingOnlyInCaseAreDistinct) {
  auto result = parse_presets(doc(device("Phone") + "," + device("phone")));
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_EQ(result->size(), 2u);
}

TEST(ParsePresetsTest, LargestU32IsAccepted) {
  auto result = parse_presets(doc(device("a", R"("output_width":4294967295,"output_height":1,"scale":1)")));
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_EQ(result->at(0).output_width, 4294967295u);
}

TEST(ParsePresetsTest, DeepNestingIsAnErrorNotACrash) {
  std::string deep = R"({"version":1,"devices":[],"x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_TRUE(parse_presets(deep));
  std::string unclosed = R"({"version":1,"devices":[],"x":)" + std::string(100000, '[');
  EXPECT_FALSE(parse_presets(unclosed));
}

TEST(DeviceJsonTest, WritesTheLastBuiltinPresetExactly) {
  auto devices = builtin();
  EXPECT_EQ(devices_json(std::span(devices).last(1)),
            R"([{"id":"web-mobile-390","label":"Mobile 390x844 @3x","output_width":1170,"output_height":2532,)"
            R"("scale":3,"mobile":true,"platform":"ios_phone","store":"web","requirement":"optional",)"
            R"("verified":false,"source":""}])");
  EXPECT_EQ(devices_json({}), "[]");
}

TEST(DeviceJsonTest, EscapesOnlyWhatJsonRequires) {
  Device d{.id = "q\"b\\s/", .label = "\b\t\n\f\r\x01\x1f caf\xC3\xA9 \xE2\x80\x9D", .output_width = 2, .output_height = 2,
           .scale = 1, .requirement = Requirement::RequiredWatch, .source = ""};
  std::string out;
  append_device_json(out, d);
  EXPECT_THAT(out, StartsWith(R"({"id":"q\"b\\s/","label":"\b\t\n\f\r\u0001\u001f caf)"
                              "\xC3\xA9 \xE2\x80\x9D\""));
}

TEST(DeviceJsonTest, WrittenListReadsBackEqual) {
  std::vector<Device> devices = builtin();
  devices[0].label = "tricky \"label\" \\ \x02 \xF0\x9F\x93\xB1";
  std::string text = R"({"version":1,"devices":)" + devices_json(devices) + "}";
  auto back = parse_presets(text);
  ASSERT_TRUE(back) << back.error().display();
  EXPECT_EQ(*back, devices);
}

TEST(BuiltinTest, HoldsTheFortySixPresetsInTableOrder) {
  std::vector<Device> devices = builtin();
  ASSERT_EQ(devices.size(), 46u);
  EXPECT_EQ(devices.front().id, "apple-iphone-6-9-1320");
  EXPECT_EQ(devices.back().id, "web-mobile-390");
  EXPECT_EQ(for_store(devices, Store::Apple).size(), 33u);
  EXPECT_EQ(for_store(devices, Store::Play).size(), 11u);
  for (std::size_t i = 0; i < 33; ++i) EXPECT_EQ(devices[i].store, Store::Apple) << i;
  for (std::size_t i = 33; i < 44; ++i) EXPECT_EQ(devices[i].store, Store::Play) << i;
  auto web = for_store(devices, Store::Web);
  ASSERT_EQ(web.size(), 2u);
  EXPECT_EQ(web[0].id, "web-desktop-1440");
  EXPECT_EQ(web[1].id, "web-mobile-390");
  for (const Device& d : devices) {
    EXPECT_EQ(d.verified, d.store != Store::Web) << d.id;
    EXPECT_EQ(d.source.empty(), d.store == Store::Web) << d.id;
    if (d.store == Store::Apple) {
      EXPECT_THAT(d.source, HasSubstr("developer.apple.com")) << d.id;
    }
    if (d.store == Store::Play) {
      EXPECT_THAT(d.source, HasSubstr("support.google.com")) << d.id;
    }
  }
}

TEST(BuiltinTest, TextIsPrettyPrintedWithAFinalLineBreak) {
  std::string_view text = builtin_text();
  EXPECT_TRUE(text.starts_with("{\n  \"version\": 1,\n  \"note\": "));
  EXPECT_TRUE(text.ends_with("]\n}\n"));
  EXPECT_NE(text.find("\"sources\": {"), std::string_view::npos);
  EXPECT_NE(text.find("\"id\": \"apple-iphone-6-9-1320\",\n      \"platform\": \"ios_phone\",\n      \"label\""),
            std::string_view::npos);
}

TEST(SelectionTest, ByIdMatchesBytesExactly) {
  std::vector<Device> devices = builtin();
  auto ipad = by_id(devices, "apple-ipad-13-2064");
  ASSERT_TRUE(ipad);
  EXPECT_EQ(ipad->output_width, 2064u);
  EXPECT_EQ(ipad->output_height, 2752u);
  EXPECT_EQ(ipad->scale, 2u);
  EXPECT_EQ(ipad->requirement, Requirement::RequiredIpad);
  for (const char* miss : {"APPLE-IPAD-13-2064", " apple-ipad-13-2064", "", "apple-ipad-13"})
    EXPECT_FALSE(by_id(devices, miss)) << miss;
}

TEST(SelectionTest, ResultsAreIndependentCopies) {
  std::vector<Device> devices = builtin();
  auto first = by_id(devices, "apple-iphone-6-9-1320");
  first->label = "changed";
  auto apple = for_store(devices, Store::Apple);
  apple[0].scale = 9;
  EXPECT_EQ(devices[0].label, "iPhone 6.9\" (1320x2868)");
  EXPECT_EQ(devices[0].scale, 3u);
  EXPECT_EQ(builtin(), builtin());
  EXPECT_TRUE(for_store({}, Store::Apple).empty());
}

TEST(SpellingTest, RoundTripsEveryValue) {
  for (std::string_view name : Spellings<Platform>::names) EXPECT_EQ(spelling(*from_spelling<Platform>(name)), name);
  for (std::string_view name : Spellings<Requirement>::names)
    EXPECT_EQ(spelling(*from_spelling<Requirement>(name)), name);
  EXPECT_FALSE(from_spelling<Store>("Apple"));
}

}  // namespace
}  // namespace kestrelite
