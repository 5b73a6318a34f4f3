#include "capture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestrelite {
namespace {

using json = nlohmann::json;

Device preset(Platform platform, bool mobile = true) {
  Device d;
  d.id = "d";
  d.label = "D";
  d.output_width = 1320;
  d.output_height = 2868;
  d.scale = 3;
  d.mobile = mobile;
  d.platform = platform;
  d.requirement = Requirement::Optional;
  return d;
}

std::vector<Command> commands_for(const Device& d) {
  static const std::string url = "http://127.0.0.1:9/page.html";
  static const Determinism determinism{.timezone = "Europe/Paris", .locale = "fr-FR"};
  static const StabilityOptions stability;
  return page_commands(CaptureRequest{url, d, determinism, stability});
}

std::vector<std::string> methods(const std::vector<Command>& commands) {
  std::vector<std::string> out;
  for (const Command& c : commands) out.push_back(c.method);
  return out;
}

const Command& find(const std::vector<Command>& commands, std::string_view method) {
  for (const Command& c : commands)
    if (c.method == method) return c;
  throw std::runtime_error("no command " + std::string(method));
}

struct PlatformCase {
  Platform platform;
  const char* ua_prefix;  // nullptr: the browser's own user agent
  const char* platform_name;
  bool metadata_mobile;
  bool touch;
  int max_touch;
};

const PlatformCase kPlatforms[] = {
    {Platform::IosPhone, "Mozilla/5.0 (iPhone; CPU iPhone OS 17_0", "iOS", true, true, 5},
    {Platform::IosTablet, "Mozilla/5.0 (iPad; CPU OS 17_0", "iOS", true, true, 5},
    {Platform::IosWatch, "Mozilla/5.0 (Apple Watch; CPU WatchOS 10_0", "iOS", true, true, 1},
    {Platform::AndroidPhone, "Mozilla/5.0 (Linux; Android 14; Pixel 8)", "Android", true, true, 5},
    {Platform::AndroidTablet, "Mozilla/5.0 (Linux; Android 14; Pixel Tablet)", "Android", true, true, 5},
    {Platform::Macos, "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7)", "macOS", false, false, 1},
    {Platform::Tv, nullptr, "", false, false, 1},
    {Platform::Web, nullptr, "", false, false, 1},
};

class PlatformTest : public testing::TestWithParam<PlatformCase> {};

TEST_P(PlatformTest, CommandsFollowTheEmulationTable) {
  const PlatformCase& p = GetParam();
  auto commands = commands_for(preset(p.platform));
  std::vector<std::string> expected = {"Page.enable", "Runtime.enable", "Network.enable", "Emulation.setDeviceMetricsOverride",
                                       "Emulation.setUserAgentOverride"};
  for (const char* m : {"Emulation.setTouchEmulationEnabled", "Emulation.setTimezoneOverride",
                        "Emulation.setLocaleOverride", "Page.addScriptToEvaluateOnNewDocument", "Page.navigate",
                        "Runtime.evaluate"})
    expected.push_back(m);
  EXPECT_EQ(methods(commands), expected);

  EXPECT_EQ(find(commands, "Emulation.setTouchEmulationEnabled").params,
            (json{{"enabled", p.touch}, {"maxTouchPoints", p.max_touch}}));
  const Command& ua = find(commands, "Emulation.setUserAgentOverride");
  EXPECT_TRUE(ua.tolerant);
  EXPECT_EQ(ua.params["acceptLanguage"], "fr-FR");
  if (!p.ua_prefix) {
    EXPECT_EQ(ua.params, (json{{"userAgent", ""}, {"acceptLanguage", "fr-FR"}}));
  } else {
    EXPECT_THAT(ua.params["userAgent"].get<std::string>(), testing::StartsWith(p.ua_prefix));
    EXPECT_EQ(ua.params["platform"], p.platform_name);
    EXPECT_EQ(ua.params["userAgentMetadata"],
              (json{{"platform", p.platform_name}, {"platformVersion", ""}, {"architecture", ""}, {"model", ""},
                    {"mobile", p.metadata_mobile}, {"brands", json::array()}}));
    EXPECT_EQ(ua.params.size(), 4u);
  }
}

INSTANTIATE_TEST_SUITE_P(Platforms, PlatformTest, testing::ValuesIn(kPlatforms),
                         [](const auto& info) { return std::string(spelling(info.param.platform)); });

TEST(PageCommandsTest, ExactMembersOfTheFixedCommands) {
  auto commands = commands_for(preset(Platform::IosPhone));
  EXPECT_EQ(commands[0].params, json::object());
  EXPECT_EQ(commands[1].params, json::object());
  EXPECT_EQ(find(commands, "Emulation.setDeviceMetricsOverride").params,
            (json{{"width", 440}, {"height", 956}, {"deviceScaleFactor", 3}, {"mobile", true}}));
  EXPECT_EQ(find(commands, "Emulation.setTimezoneOverride").params, (json{{"timezoneId", "Europe/Paris"}}));
  EXPECT_EQ(find(commands, "Emulation.setLocaleOverride").params, (json{{"locale", "fr-FR"}}));
  EXPECT_EQ(find(commands, "Page.navigate").params, (json{{"url", "http://127.0.0.1:9/page.html"}}));
  const json& script = find(commands, "Page.addScriptToEvaluateOnNewDocument").params;
  EXPECT_EQ(script, (json{{"source", determinism_script(Determinism{.timezone = "Europe/Paris", .locale = "fr-FR"})}}));
  EXPECT_EQ(find(commands, "Runtime.evaluate").params,
            (json{{"expression", stability_script(StabilityOptions{})}, {"awaitPromise", true}, {"returnByValue", true}}));
  for (const Command& c : commands) {
    bool optional = c.method == "Emulation.setUserAgentOverride" || c.method == "Emulation.setTouchEmulationEnabled" ||
                    c.method == "Emulation.setTimezoneOverride" || c.method == "Emulation.setLocaleOverride";
    EXPECT_EQ(c.tolerant, optional) << c.method;
  }
}

TEST(PageCommandsTest, MetricsFollowThePresetWhileMetadataFollowsThePlatform) {
  auto commands = commands_for(preset(Platform::IosPhone, /*mobile=*/false));
  EXPECT_EQ(find(commands, "Emulation.setDeviceMetricsOverride").params["mobile"], false);
  EXPECT_EQ(find(commands, "Emulation.setUserAgentOverride").params["userAgentMetadata"]["mobile"], true);
}

TEST(SwallowUnsupportedTest, OnlyTheTwoPhrasesOfCdpErrorsAreDiscarded) {
  struct Case {
    Error (*make)();
    bool discarded;
  };
  const Case cases[] = {
      {[] { return Error::cdp("Emulation.setLocaleOverride", "'Emulation.setLocaleOverride' wasn't found"); }, true},
      {[] { return Error::cdp("X", "Locale override not supported here"); }, true},
      {[] { return Error::cdp("X", "Not supported"); }, false},
      {[] { return Error::cdp("X", "Wasn't found"); }, false},
      {[] { return Error::cdp("X", "Invalid timezone"); }, false},
      {[] { return Error::protocol("wasn't found"); }, false},
      {[] { return Error::browser("not supported"); }, false},
  };
  for (const Case& c : cases) {
    Error e = c.make();
    std::string text = e.display();
    auto out = swallow_unsupported(fail(std::move(e)));
    EXPECT_EQ(out.has_value(), c.discarded) << text;
    if (out) {
      EXPECT_TRUE(out->is_null());
    } else {
      EXPECT_EQ(out.error().display(), text);
    }
  }
  auto ok = swallow_unsupported(json{{"a", 1}});
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, (json{{"a", 1}}));
}

struct ProbeCase {
  const char* name;
  json answer;
  Environment expected;
};

const ProbeCase kProbes[] = {
    {"phone", {{"result", {{"value", {{"w", 440}, {"h", 956}, {"d", 3}, {"t", 5}}}}}}, {440, 956, 3, 5, true}},
    {"fraction_cut", {{"result", {{"value", {{"w", 440}, {"h", 956}, {"d", 2.625}, {"t", 0}}}}}}, {440, 956, 2, 0, true}},
    {"negative_and_huge", {{"result", {{"value", {{"w", -1}, {"h", 10000000000.0}, {"d", 1e300}, {"t", -0.5}}}}}},
     {0, 4294967295u, 4294967295u, 0, false}},
    {"text_and_missing", {{"result", {{"value", {{"w", "440"}, {"h", nullptr}}}}}}, {0, 0, 0, 0, false}},
    {"null_value", {{"result", {{"value", nullptr}}}}, {0, 0, 0, 0, false}},
    {"unsigned_exact", {{"result", {{"value", {{"w", 4294967295u}, {"h", 956}, {"d", 1}, {"t", 1}}}}}},
     {4294967295u, 956, 1, 1, false}},
};

class ProbeTest : public testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTest, NumbersAreCutToUnsigned32) {
  auto env = environment_from_answer(GetParam().answer, 440, 956);
  ASSERT_TRUE(env) << env.error().display();
  EXPECT_EQ(*env, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Answers, ProbeTest, testing::ValuesIn(kProbes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProbeTest, ViewportIsJudgedAgainstTheRequest) {
  json answer = {{"result", {{"value", {{"w", 440}, {"h", 956}, {"d", 3}, {"t", 5}}}}}};
  EXPECT_FALSE(environment_from_answer(answer, 430, 932)->viewport_honoured);
}

TEST(ProbeTest, AnswerWithoutValueIsAnError) {
  for (const json& answer : {json::object(), json{{"result", json::object()}}, json{{"result", 5}}, json(nullptr),
                             json{{"value", {{"w", 1}}}}}) {
    auto env = environment_from_answer(answer, 1, 1);
    ASSERT_FALSE(env) << answer.dump();
    EXPECT_EQ(env.error().display(), "unexpected response shape: environment probe returned nothing");
  }
}

}  // namespace
}  // namespace kestrelite
