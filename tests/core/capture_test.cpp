// A capture's logic apart from the browser: the presets, the commands that set a page up, the environment probe,
// whether the page loaded, the settle record, the glyph check's record, and the run's report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capture.hpp"
#include "glyphs.hpp"
#include "kestrelite/device.hpp"
#include "kestrelite/progress.hpp"
#include "kestrelite/report.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;
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
      {"unknown_platform", doc(device("a", kSmall, R"(,"platform":"iOS_phone")")),
       "json: unknown variant `iOS_phone`, expected one of `ios_phone`, `ios_tablet`, `ios_watch`, `android_phone`, "
       "`android_tablet`, `macos`, `tv`, `web` at line 1"},
      {"enum_object_with_value", doc(device("a", kSmall, R"(,"store":{"web":1})")),
       "json: invalid type: integer `1`, expected unit variant"},
      {"above_u32", doc(device("a", R"("output_width":4294967296,"output_height":3,"scale":1)")),
       "json: invalid value: integer `4294967296`, expected u32"},
      {"null_text", R"({"version":1,"note":null,"devices":[]})", "json: invalid type: null, expected a string"},
      {"device_array_short", doc(R"(["a","L",3,3,1,false,"web"])"),
       "json: invalid length 8, expected struct Device with 11 elements"},
      {"file_array_empty", "[]", "json: invalid length 0, expected struct PresetFile with 4 elements"},
      {"missing_requirement", doc(R"({"id":"a","label":"L","output_width":3,"output_height":3,"scale":1})"),
       "json: missing field `requirement`"},
      {"devices_as_object", R"({"version":1,"devices":{}})", "json: invalid type: map, expected a sequence"},
      {"text_after_value", R"({"version":1,"devices":[]} x)", "json: syntax error while parsing value"},
      {"skipped_values_still_checked", R"({"version":1,"junk":[1,,2],"devices":[]})", "json: syntax error"},
      {"deep_unclosed", R"({"version":1,"devices":[],"x":)" + std::string(100000, '['), "json: syntax error"},
      {"missing_field_says_where", "{\n\"version\": 1,\n\"devices\": [{\"id\": \"a\"}]\n}",
       "json: missing field `label` at line 3 column 23"},
      {"duplicate_key_says_where", "{\"version\": 1,\n  \"devices\": [],\n  \"devices\": []}",
       "json: duplicate field `devices` at line 3 column 11"},
  };
  for (const auto& [name, text, error] : cases) {
    auto result = parse_presets(text);
    EXPECT_THAT(result ? "parsed" : result.error().display(), StartsWith(error)) << name;
  }
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

TEST(DeviceJsonTest, WritesMembersInOrderEscapesOnlyWhatJsonRequiresAndReadsBack) {
  Device d{.id = "q\"b\\s/", .label = "\b\t\n\f\r\x01\x1f caf\xC3\xA9", .output_width = 1170, .output_height = 2532,
           .scale = 3, .mobile = true, .platform = Platform::IosPhone, .requirement = Requirement::RequiredWatch,
           .source = "", .apple_display_type = "", .play_image_type = ""};
  EXPECT_EQ(devices_json(std::span(&d, 1)),
            R"([{"id":"q\"b\\s/","label":"\b\t\n\f\r\u0001\u001f caf)"
            "\xC3\xA9"
            R"(","output_width":1170,"output_height":2532,"scale":3,"mobile":true,"platform":"ios_phone",)"
            R"("store":"web","requirement":"required_watch","verified":false,"source":""}])");
  EXPECT_EQ(devices_json({}), "[]");
  // The built-in list, written, reads back equal; the device JSON leaves the upload tools' places out.
  auto reread = [](const std::string& list) {
    return parse_presets(R"({"version":1,"devices":)" + list + "}").value_or(std::vector<Device>{});
  };
  std::vector<Device> devices = builtin();
  devices[0].label = "tricky \"label\" \\ \x02 \xF0\x9F\x93\xB1";
  EXPECT_EQ(reread(devices_json_with_places(devices)), devices);
  for (Device& each : devices) each.apple_display_type = each.play_image_type = "";
  EXPECT_EQ(reread(devices_json(devices)), devices);
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

// The commands for a 1320x2868 preset at scale 3 on `platform`: their methods in order, and each by method.
std::pair<std::vector<std::string>, std::map<std::string, Command>> commands_for(Platform platform,
                                                                                  bool barrier = false) {
  CaptureSettings settings;
  settings.determinism.timezone = "Europe/Paris";
  settings.determinism.locale = "fr-FR";
  settings.settle_barrier = barrier;
  const Device d{.id = "d", .label = "D", .output_width = 1320, .output_height = 2868, .scale = 3, .mobile = false,
                 .platform = platform, .source = "", .apple_display_type = "", .play_image_type = ""};
  std::pair<std::vector<std::string>, std::map<std::string, Command>> out;
  for (Command& c : page_commands(CaptureRequest{"http://127.0.0.1:9/page.html", d, settings})) {
    out.first.push_back(c.method);
    out.second[c.method] = std::move(c);
  }
  return out;
}

// The emulation of each platform, with the user agent its browser sends.
struct Emulation {
  Platform platform;
  const char* user_agent;  // none: the browser's own, and neither platform name nor metadata
  const char* platform_name;
  bool metadata_mobile, touch;
  int max_touch_points;
};

const Emulation kEmulations[] = {
    {Platform::IosPhone, "Mozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
                         "Gecko) Version/17.0 Mobile/15E148 Safari/604.1", "iOS", true, true, 5},
    {Platform::IosTablet, "Mozilla/5.0 (iPad; CPU OS 17_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
                          "Version/17.0 Mobile/15E148 Safari/604.1", "iOS", true, true, 5},
    {Platform::IosWatch, "Mozilla/5.0 (Apple Watch; CPU WatchOS 10_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, "
                         "like Gecko) Mobile/15E148", "iOS", true, true, 1},
    {Platform::AndroidPhone, "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) "
                             "Chrome/126.0.0.0 Mobile Safari/537.36", "Android", true, true, 5},
    {Platform::AndroidTablet, "Mozilla/5.0 (Linux; Android 14; Pixel Tablet) AppleWebKit/537.36 (KHTML, like Gecko) "
                              "Chrome/126.0.0.0 Safari/537.36", "Android", true, true, 5},
    {Platform::Macos, "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
                      "Version/17.0 Safari/605.1.15", "macOS", false, false, 1},
    {Platform::Tv, nullptr, nullptr, false, false, 1},
    {Platform::Web, nullptr, nullptr, false, false, 1},
};

TEST(PageCommandsTest, TheCommandsFollowThePlatformAndTheSettings) {
  for (const Emulation& e : kEmulations) {
    SCOPED_TRACE(spelling(e.platform));
    auto [order, commands] = commands_for(e.platform);
    EXPECT_EQ(order, (std::vector<std::string>{
                         "Page.enable", "Runtime.enable", "Network.enable", "Emulation.setDeviceMetricsOverride",
                         "Emulation.setUserAgentOverride", "Emulation.setTouchEmulationEnabled",
                         "Emulation.setTimezoneOverride", "Emulation.setLocaleOverride",
                         "Page.addScriptToEvaluateOnNewDocument", "Page.navigate", "Runtime.evaluate"}));
    EXPECT_EQ(commands["Emulation.setTouchEmulationEnabled"].params,
              (json{{"enabled", e.touch}, {"maxTouchPoints", e.max_touch_points}}));
    // Every platform sends the locale: navigator.language and the Accept-Language header follow it.
    json user_agent = {{"userAgent", e.user_agent ? e.user_agent : ""}, {"acceptLanguage", "fr-FR"}};
    if (e.user_agent) {
      user_agent["platform"] = e.platform_name;
      user_agent["userAgentMetadata"] = {{"platform", e.platform_name}, {"platformVersion", ""},
                                         {"architecture", ""},          {"model", ""},
                                         {"mobile", e.metadata_mobile}, {"brands", json::array()}};
    }
    EXPECT_EQ(commands["Emulation.setUserAgentOverride"].params, user_agent);
    EXPECT_EQ(commands["Emulation.setDeviceMetricsOverride"].params,
              (json{{"width", 440}, {"height", 956}, {"deviceScaleFactor", 3}, {"mobile", false}}));
    EXPECT_EQ(commands["Emulation.setTimezoneOverride"].params, (json{{"timezoneId", "Europe/Paris"}}));
    EXPECT_EQ(commands["Emulation.setLocaleOverride"].params, (json{{"locale", "fr-FR"}}));
    EXPECT_EQ(commands["Page.navigate"].params, (json{{"url", "http://127.0.0.1:9/page.html"}}));
    EXPECT_EQ(commands["Page.addScriptToEvaluateOnNewDocument"].params["source"],
              determinism_script(Determinism{.timezone = "Europe/Paris", .locale = "fr-FR"}));
    EXPECT_EQ(commands["Runtime.evaluate"].params,
              (json{{"expression", stability_script({})}, {"awaitPromise", true}, {"returnByValue", true}}));
    // A browser without one of the emulations but the metrics still captures.
    for (const auto& [method, c] : commands)
      EXPECT_EQ(c.tolerant, method.starts_with("Emulation.") && !method.ends_with("MetricsOverride")) << method;
  }
}

TEST(PageCommandsTest, TheSettleBarrierIsBoundBeforeTheScriptThatKeepsIt) {
  auto [order, commands] = commands_for(Platform::Web, true);
  auto at = [&](std::string_view method) { return std::ranges::find(order, method) - order.begin(); };
  EXPECT_EQ(at("Runtime.addBinding") + 1, at("Page.addScriptToEvaluateOnNewDocument"));
  EXPECT_EQ(commands["Runtime.addBinding"].params, (json{{"name", "kestreliteSettleBarrier"}}));
  // A browser without bindings still captures, with the page's own count.
  EXPECT_TRUE(commands["Runtime.addBinding"].tolerant);
  EXPECT_FALSE(commands_for(Platform::Web, false).second.contains("Runtime.addBinding"));
}

// What Runtime.evaluate answers with `value`.
json evaluated(json value) { return {{"result", {{"type", "object"}, {"value", std::move(value)}}}}; }

TEST(ProbeTest, NumbersAreCutToUnsigned32AndJudgedAgainstTheViewport) {
  const std::pair<json, std::string> cases[] = {
      {evaluated({{"w", 440}, {"h", 956}, {"d", 3}, {"t", 5}}), "440 956 3 5 ok"},
      {evaluated({{"w", 440}, {"h", 956}, {"d", 2.625}, {"t", 0}}), "440 956 2 0 ok"},
      {evaluated({{"w", 430}, {"h", 956}}), "430 956 0 0"},
      {evaluated({{"w", -1}, {"h", 1e10}, {"d", "3"}, {"t", -0.5}}), "0 4294967295 0 0"},
      {evaluated(nullptr), "0 0 0 0"},
      {{{"result", json::object()}}, "unexpected response shape: environment probe returned nothing"},
  };
  for (const auto& [answer, expected] : cases) {
    auto e = environment_from_answer(answer, 440, 956);
    std::ostringstream got;
    if (e)
      got << e->inner_width << " " << e->inner_height << " " << e->device_pixel_ratio << " " << e->touch_points
          << (e->viewport_honoured ? " ok" : "");
    EXPECT_EQ(e ? got.str() : e.error().display(), expected) << answer.dump();
  }
}

std::string outcome(const Result<void>& checked) { return checked ? "loaded" : checked.error().display(); }

TEST(PageLoadTest, ANavigationWithAnErrorTextOrAnHttpStatusOf400OrAboveIsAFailure) {
  std::string url = "http://127.0.0.1:9/";
  EXPECT_EQ(outcome(check_navigation({{"frameId", "F"}, {"errorText", "net::ERR_CONNECTION_REFUSED"}}, url)),
            "browser: page did not load: net::ERR_CONNECTION_REFUSED (http://127.0.0.1:9/)");
  for (const json& answer : {json{{"frameId", "F"}, {"loaderId", "L"}}, json{{"errorText", ""}},
                             json{{"errorText", 3}}, json(nullptr), json::array()})
    EXPECT_EQ(outcome(check_navigation(answer, url)), "loaded") << answer.dump();
  url = "https://example.test/a?b";
  for (int status : {400, 404, 503})
    EXPECT_EQ(outcome(check_status(evaluated(status), url)),
              "browser: page answered HTTP " + std::to_string(status) + " (https://example.test/a?b)");
  // No status, a success or redirect status, or an answer of another shape.
  for (const json& answer : {evaluated(200), evaluated(399), evaluated(0), evaluated(-404), evaluated(404.5),
                             evaluated("404"), json{{"result", {{"type", "undefined"}}}}, json::object(),
                             json(nullptr)})
    EXPECT_EQ(outcome(check_status(answer, url)), "loaded") << answer.dump();
  // Only HTTP and HTTPS pages have a status.
  for (const char* url : {"http://a/", "https://a/", "HTTP://A/", "Https://a"})
    EXPECT_TRUE(has_http_status(url)) << url;
  for (const char* url : {"file:///tmp/x.html", "data:text/html,http:", "about:blank", "httpx://a", "http", "",
                          "/http://a"})
    EXPECT_FALSE(has_http_status(url)) << url;
}

// Open waits come out in one fixed order, known names only, each once; the capture's count of requests adds "network".
TEST(ReadSettleTest, AnswerAndOpenWaitsGiveTheRecord) {
  const std::tuple<json, json, bool, const char*, std::vector<std::string>> cases[] = {
      // answer, open waits, requests in flight, settle, open
      {evaluated("quiet"), json(), true, "quiet", {}},
      {json::object(), json(), false, "quiet", {}},
      {evaluated("timeout"), json(), false, "deadline", {}},
      {evaluated("timeout"), evaluated({"DOM", "images", "load", "bogus", "images", 3}), false, "deadline",
       {"load", "images", "DOM"}},
      {evaluated("timeout"), evaluated({"fonts"}), true, "deadline", {"fonts", "network"}},
  };
  for (const auto& [answer, open, network, settle, settle_open] : cases) {
    Capture capture;
    capture.settle_open = {"stale"};
    read_settle(answer, open, network, capture);
    EXPECT_EQ(std::tie(capture.settle, capture.settle_open), std::tuple(settle, settle_open)) << answer.dump() << open;
  }
}

TEST(GlyphsTest, FontsRankedByGlyphsAndMissingCodePointsBounded) {
  auto fonts_answer = [](std::vector<std::pair<std::string, int>> fonts) {
    json list = json::array();
    for (auto& [family, glyphs] : fonts) list.push_back({{"familyName", family}, {"glyphCount", glyphs}});
    return json{{"fonts", list}};
  };
  json missing = json::array();
  for (int i = 0; i < 40; ++i) missing.push_back("U+E0" + std::to_string(10 + i));
  auto glyphs = glyphs_from_answers(evaluated({{"missing", missing}, {"count", 41}}),
                                    {fonts_answer({{"Noto Sans", 3}, {"Noto Sans CJK JP", 9}}),
                                     fonts_answer({{"Noto Sans", 4}, {"", 50}}), json::object()});
  ASSERT_TRUE(glyphs) << glyphs.error().display();
  EXPECT_EQ(glyphs->fonts, (std::vector<std::string>{"Noto Sans CJK JP", "Noto Sans"}));
  EXPECT_EQ(std::tuple(glyphs->missing.size(), glyphs->missing.front(), glyphs->missing_count),
            std::tuple(kMissingGlyphsListed, "U+E010", 41u));
  for (const json& answer : {json::object(), evaluated("quiet"), evaluated({{"missing", json::array()}})}) {
    auto refused = glyphs_from_answers(answer, {});
    EXPECT_EQ(refused ? "read" : refused.error().display(),
              "unexpected response shape: the glyph check returned no result");
  }
}

// Exact: settled quietly; off-size: at the deadline, with dialogs, on another address.
Capture phone_capture(bool exact) {
  Capture c;
  c.device_id = "phone", c.expected = {1320, 2868}, c.actual = {1320, exact ? 2868u : 2867u};
  c.sha256 = std::string(64, 'a'), c.bytes = 123456, c.exact = exact, c.settle = "quiet";
  if (exact) return c.environment = Environment{440, 956, 3, 5, true}, c;
  return c.settle = "deadline", c.settle_open = {"images", "network"}, c.dialogs = {{"alert", "a\"b"}},
         c.final_url = "https://example.test/next", c;
}

TEST(ReportJsonTest, MembersInOrderOnlyThoseOfEachOutcomeEscapedAndInFull) {
  RunReport r{.version_text = "0.1.14", .url = "https://example.test/", .seed = 42, .locale = "en-US", .exact = 1,
              .off_size = 1, .failed = 1, .elapsed_ms = 7, .results = {}};
  r.results.push_back({"phone", Outcome::Exact, 812, phone_capture(true), std::nullopt, "/out/phone.png"});
  r.results.push_back({"phone", Outcome::OffSize, 5, phone_capture(false), std::nullopt, "/out/phone.png"});
  r.results.push_back({"x", Outcome::Failed, 0, std::nullopt, "browser: no page", std::nullopt});
  const std::string sha(64, 'a');
  EXPECT_EQ(report_json(r),
            R"({"kestrelite":"0.1.14","url":"https://example.test/","seed":42,"locale":"en-US","exact":1,)"
            R"("off_size":1,"failed":1,"elapsed_ms":7,"ok":false,"results":[)"
            R"({"device_id":"phone","outcome":"exact","elapsed_ms":812,"capture":{"device_id":"phone",)"
            R"("expected":[1320,2868],"actual":[1320,2868],"sha256":")" + sha + R"(","bytes":123456,"exact":true,)"
            R"("environment":{"inner_width":440,"inner_height":956,"device_pixel_ratio":3,"touch_points":5,)"
            R"("viewport_honoured":true},"settle":"quiet"},"path":"/out/phone.png"},)"
            R"({"device_id":"phone","outcome":"off-size","elapsed_ms":5,"capture":{"device_id":"phone",)"
            R"("expected":[1320,2868],"actual":[1320,2867],"sha256":")" + sha + R"(","bytes":123456,"exact":false,)"
            R"("settle":"deadline","settle_open":["images","network"],"dialogs":[{"type":"alert","message":"a\"b"}],)"
            R"("final_url":"https://example.test/next"},"path":"/out/phone.png"},)"
            R"({"device_id":"x","outcome":"failed","elapsed_ms":0,"error":"browser: no page"}]})");
  // Strings escaped, numbers in full.
  r = RunReport{};
  r.url = "http://h/\"q\"\\p\n\xC3\xA9";
  r.seed = 18446744073709551615u;
  r.elapsed_ms = (static_cast<uint128>(1) << 100) + 5;
  r.results.push_back({"d", Outcome::Failed, 1, std::nullopt, std::string("a\x01" "b\x1f\tc\xff", 7), std::nullopt});
  std::string text = report_json(r);
  EXPECT_NE(text.find(R"("url":"http://h/\"q\"\\p\n)" "\xC3\xA9\",\"seed\":18446744073709551615,"), std::string::npos);
  EXPECT_NE(text.find(R"("elapsed_ms":1267650600228229401496703205381,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("error":"a\u0001b\u001f\tc)" "\xEF\xBF\xBD\""), std::string::npos) << text;
  EXPECT_EQ(whole_millis(std::chrono::nanoseconds(2'999'900'000)), 2999u);
}

}  // namespace
}  // namespace kestrelite
