#include "kestrelite/device.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestrelite {
namespace {

using testing::StartsWith;

// A version 1 document holding the device texts.
std::string doc(const std::string& devices, const std::string& version = "1") {
  return R"({"version":)" + version + R"(,"devices":[)" + devices + "]}";
}

const std::string kSmall = R"("output_width":3,"output_height":3,"scale":1)";

// A device object of size `size`; `extra` goes before the closing brace.
std::string device(const std::string& id, const std::string& size = kSmall, const std::string& extra = "") {
  return R"({"id":")" + id + R"(","label":"L",)" + size + R"(,"requirement":"optional")" + extra + "}";
}

std::string refusal(const std::string& text) {
  auto result = parse_presets(text);
  return result ? "parsed" : result.error().display();
}

TEST(ParsePresetsTest, RefusesWithTheFirstFault) {
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"version_before_device_checks", doc(device("a", R"("output_width":0,"output_height":0,"scale":0)"), "2"),
       "unexpected response shape: preset schema version 2 is not supported by this build"},
      {"json_before_version", doc(R"({"label":"x"})", "2"), "json: missing field `id`"},
      {"scale_zero", doc(device("a", R"("output_width":0,"output_height":5,"scale":0)")),
       "unexpected response shape: device a: scale is zero"},
      {"zero_height", doc(device("b", R"("output_width":10,"output_height":0,"scale":1)")),
       "unexpected response shape: device b: zero output dimension"},
      {"height_not_divisible", doc(device("p", R"("output_width":1080,"output_height":1921,"scale":3)")),
       "unexpected response shape: device p: output 1080x1921 does not divide by scale 3, so no integer viewport can "
       "produce it"},
      {"duplicate_id", doc(device("a") + "," + device("b") + "," + device("a")),
       "unexpected response shape: duplicate device id in preset file"},
      {"duplicate_key", R"({"version":1,"devices":[],"devices":[]})", "json: duplicate field `devices`"},
      {"unknown_platform", doc(device("a", kSmall, R"(,"platform":"iOS_phone")")),
       "json: unknown variant `iOS_phone`, expected one of `ios_phone`, `ios_tablet`, `ios_watch`, `android_phone`, "
       "`android_tablet`, `macos`, `tv`, `web` at line 1"},
      {"enum_object_with_value", doc(device("a", kSmall, R"(,"store":{"web":1})")),
       "json: invalid type: integer `1`, expected unit variant"},
      {"negative", doc(device("a", R"("output_width":3,"output_height":3,"scale":-1)")),
       "json: invalid value: integer `-1`, expected u32"},
      {"fraction", doc(device("a", R"("output_width":1.5,"output_height":3,"scale":1)")),
       "json: invalid type: floating point `1.5`, expected u32"},
      {"above_u32", doc(device("a", R"("output_width":4294967296,"output_height":3,"scale":1)")),
       "json: invalid value: integer `4294967296`, expected u32"},
      {"null_text", R"({"version":1,"note":null,"devices":[]})", "json: invalid type: null, expected a string"},
      {"number_as_bool", doc(device("a", kSmall, R"(,"mobile":1)")),
       "json: invalid type: integer `1`, expected a boolean"},
      {"device_array_short", doc(R"(["a","L",3,3,1,false,"web"])"),
       "json: invalid length 8, expected struct Device with 11 elements"},
      {"file_array_empty", "[]", "json: invalid length 0, expected struct PresetFile with 4 elements"},
      {"missing_requirement", doc(R"({"id":"a","label":"L","output_width":3,"output_height":3,"scale":1})"),
       "json: missing field `requirement`"},
      {"devices_as_object", R"({"version":1,"devices":{}})", "json: invalid type: map, expected a sequence"},
      {"text_after_value", R"({"version":1,"devices":[]} x)", "json: syntax error while parsing value"},
      {"skipped_values_still_checked", R"({"version":1,"junk":[1,,2],"devices":[]})", "json: syntax error"},
      {"truncated", R"({"version":1,"devices":[)", "json: syntax error"},
      {"deep_unclosed", R"({"version":1,"devices":[],"x":)" + std::string(100000, '['), "json: syntax error"},
  };
  for (const auto& [name, text, error] : cases) EXPECT_THAT(refusal(text), StartsWith(error)) << name;
}

TEST(ParsePresetsTest, ErrorsSayWhereReadingStopped) {
  EXPECT_EQ(refusal("{\n\"version\": 1,\n\"devices\": [{\"id\": \"a\"}]\n}"),
            "json: missing field `label` at line 3 column 23");
  EXPECT_EQ(refusal("{\"version\": 1,\n  \"devices\": [],\n  \"devices\": []}"),
            "json: duplicate field `devices` at line 3 column 11");
}

TEST(ParsePresetsTest, DefaultsUnknownKeysArrayFormsAndEnumObjects) {
  auto result = parse_presets(
      R"({"sources":{"x":[1,{"y":[null]}]},"version":1,"x":true,"x":"again","devices":[)" +
      device("a", R"("output_width":1080,"output_height":1920,"scale":3)", R"(,"extra":{"deep":[[[]]]})") +
      R"(,["b","M",4294967295,1,1,true,{"ios_phone":null},"apple","required_ipad",true,"s"]],"deep":)" +
      std::string(100000, '[') + std::string(100000, ']') + "}");
  ASSERT_TRUE(result) << result.error().display();
  ASSERT_EQ(result->size(), 2u);
  const Device& a = (*result)[0];
  EXPECT_EQ(a, (Device{.id = "a", .label = "L", .output_width = 1080, .output_height = 1920, .scale = 3,
                       .requirement = Requirement::Optional, .source = "", .apple_display_type = "",
                       .play_image_type = ""}));
  EXPECT_EQ(std::pair(a.viewport_width(), a.viewport_height()), std::pair(360u, 640u));
  EXPECT_EQ((*result)[1], (Device{.id = "b", .label = "M", .output_width = 4294967295u, .output_height = 1, .scale = 1,
                                  .mobile = true, .platform = Platform::IosPhone, .store = Store::Apple,
                                  .requirement = Requirement::RequiredIpad, .verified = true, .source = "s",
                                  .apple_display_type = "", .play_image_type = ""}));
}

TEST(DeviceJsonTest, WritesMembersInOrderAndEscapesOnlyWhatJsonRequires) {
  Device d{.id = "q\"b\\s/", .label = "\b\t\n\f\r\x01\x1f caf\xC3\xA9", .output_width = 1170, .output_height = 2532,
           .scale = 3, .mobile = true, .platform = Platform::IosPhone, .requirement = Requirement::RequiredWatch,
           .source = "", .apple_display_type = "", .play_image_type = ""};
  EXPECT_EQ(devices_json(std::span(&d, 1)),
            R"([{"id":"q\"b\\s/","label":"\b\t\n\f\r\u0001\u001f caf)"
            "\xC3\xA9"
            R"(","output_width":1170,"output_height":2532,"scale":3,"mobile":true,"platform":"ios_phone",)"
            R"("store":"web","requirement":"required_watch","verified":false,"source":""}])");
  EXPECT_EQ(devices_json({}), "[]");
}

TEST(DeviceJsonTest, WrittenBuiltinListReadsBackEqual) {
  std::vector<Device> devices = builtin();
  devices[0].label = "tricky \"label\" \\ \x02 \xF0\x9F\x93\xB1";
  auto whole = parse_presets(R"({"version":1,"devices":)" + devices_json_with_places(devices) + "}");
  ASSERT_TRUE(whole) << whole.error().display();
  EXPECT_EQ(*whole, devices);
  // The device JSON leaves the upload tools' places out.
  for (Device& d : devices) d.apple_display_type = d.play_image_type = "";
  auto plain = parse_presets(R"({"version":1,"devices":)" + devices_json(devices) + "}");
  ASSERT_TRUE(plain) << plain.error().display();
  EXPECT_EQ(*plain, devices);
}

// The stores' counts and first presets are checked through the module.
TEST(BuiltinTest, FortySixPresetsFoundByTheirExactId) {
  const std::vector<Device> devices = builtin();
  EXPECT_EQ(devices.size(), 46u);
  auto ipad = by_id(devices, "apple-ipad-13-2064");
  ASSERT_TRUE(ipad);
  EXPECT_EQ(std::tuple(ipad->output_width, ipad->output_height, ipad->requirement),
            std::tuple(2064u, 2752u, Requirement::RequiredIpad));  // Apple's 13-inch iPad size
  EXPECT_FALSE(by_id(devices, "APPLE-IPAD-13-2064"));
}

}  // namespace
}  // namespace kestrelite
