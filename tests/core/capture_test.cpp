#include "capture.hpp"

#include <gtest/gtest.h>

namespace kestrelite {
namespace {

using json = nlohmann::json;

// The commands for a 1320x2868 preset at scale 3 on `platform`: their
// methods in order, and each by method.
std::pair<std::vector<std::string>, std::map<std::string, Command>> commands_for(Platform platform,
                                                                                  bool barrier = false) {
  static const std::string url = "http://127.0.0.1:9/page.html";
  CaptureSettings settings;
  settings.determinism.timezone = "Europe/Paris";
  settings.determinism.locale = "fr-FR";
  settings.settle_barrier = barrier;
  const Device d{.id = "d", .label = "D", .output_width = 1320, .output_height = 2868, .scale = 3, .mobile = false,
                 .platform = platform, .source = "", .apple_display_type = "", .play_image_type = ""};
  std::pair<std::vector<std::string>, std::map<std::string, Command>> out;
  for (Command& c : page_commands(CaptureRequest{url, d, settings})) {
    out.first.push_back(c.method);
    out.second[c.method] = std::move(c);
  }
  return out;
}

TEST(PageCommandsTest, TheEmulationFollowsThePlatform) {
  // User agent start (none: the browser's own), platform name, touch.
  const std::tuple<Platform, const char*, const char*, bool, int> cases[] = {
      {Platform::IosPhone, "Mozilla/5.0 (iPhone; CPU iPhone OS 17_0", "iOS", true, 5},
      {Platform::IosTablet, "Mozilla/5.0 (iPad; CPU OS 17_0", "iOS", true, 5},
      {Platform::IosWatch, "Mozilla/5.0 (Apple Watch; CPU WatchOS 10_0", "iOS", true, 1},
      {Platform::AndroidPhone, "Mozilla/5.0 (Linux; Android 14; Pixel 8)", "Android", true, 5},
      {Platform::AndroidTablet, "Mozilla/5.0 (Linux; Android 14; Pixel Tablet)", "Android", true, 5},
      {Platform::Macos, "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7)", "macOS", false, 1},
      {Platform::Tv, nullptr, "", false, 1},
      {Platform::Web, nullptr, "", false, 1},
  };
  for (const auto& [platform, ua_start, name, touch, max_touch] : cases) {
    SCOPED_TRACE(spelling(platform));
    auto [order, commands] = commands_for(platform);
    std::vector<std::string> expected = {"Page.enable", "Runtime.enable", "Network.enable",
                                         "Emulation.setDeviceMetricsOverride", "Emulation.setUserAgentOverride",
                                         "Emulation.setTouchEmulationEnabled", "Emulation.setTimezoneOverride",
                                         "Emulation.setLocaleOverride", "Page.addScriptToEvaluateOnNewDocument",
                                         "Page.navigate", "Runtime.evaluate"};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(commands["Emulation.setTouchEmulationEnabled"].params,
              (json{{"enabled", touch}, {"maxTouchPoints", max_touch}}));
    const json& ua = commands["Emulation.setUserAgentOverride"].params;
    if (!ua_start) {
      EXPECT_EQ(ua, (json{{"userAgent", ""}, {"acceptLanguage", "fr-FR"}}));
      continue;
    }
    EXPECT_EQ(ua["acceptLanguage"], "fr-FR");
    EXPECT_TRUE(ua["userAgent"].get<std::string>().starts_with(ua_start));
    EXPECT_EQ(ua["platform"], name);
    // The metadata says mobile for every phone, tablet and watch, whatever the preset says.
    EXPECT_EQ(ua["userAgentMetadata"], (json{{"platform", name}, {"platformVersion", ""}, {"architecture", ""},
                                             {"model", ""}, {"mobile", touch}, {"brands", json::array()}}));
  }
}

TEST(PageCommandsTest, ParametersOfTheFixedCommands) {
  auto commands = commands_for(Platform::IosPhone).second;
  EXPECT_EQ(commands["Emulation.setDeviceMetricsOverride"].params,
            (json{{"width", 440}, {"height", 956}, {"deviceScaleFactor", 3}, {"mobile", false}}));
  EXPECT_EQ(commands["Emulation.setTimezoneOverride"].params, (json{{"timezoneId", "Europe/Paris"}}));
  EXPECT_EQ(commands["Emulation.setLocaleOverride"].params, (json{{"locale", "fr-FR"}}));
  EXPECT_EQ(commands["Page.navigate"].params, (json{{"url", "http://127.0.0.1:9/page.html"}}));
  EXPECT_EQ(commands["Page.addScriptToEvaluateOnNewDocument"].params["source"],
            determinism_script(Determinism{.timezone = "Europe/Paris", .locale = "fr-FR"}));
  EXPECT_EQ(commands["Runtime.evaluate"].params,
            (json{{"expression", stability_script(StabilityOptions{})}, {"awaitPromise", true},
                  {"returnByValue", true}}));
  for (const auto& [method, c] : commands)
    EXPECT_EQ(c.tolerant, method == "Emulation.setUserAgentOverride" || method == "Emulation.setLocaleOverride" ||
                              method == "Emulation.setTimezoneOverride" ||
                              method == "Emulation.setTouchEmulationEnabled")
        << method;
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

TEST(SwallowUnsupportedTest, OnlyCdpErrorsWithTheTwoPhrasesBecomeNull) {
  const std::pair<Error (*)(), bool> cases[] = {
      {[] { return Error::cdp("X", "'Emulation.setLocaleOverride' wasn't found"); }, true},
      {[] { return Error::cdp("X", "Touch emulation not supported here"); }, true},
      {[] { return Error::cdp("X", "Not supported"); }, false},
      {[] { return Error::cdp("X", "Invalid timezone"); }, false},
      {[] { return Error::protocol("wasn't found"); }, false},
  };
  for (const auto& [make, swallowed] : cases) {
    auto out = swallow_unsupported(fail(make()));
    EXPECT_EQ(out ? out->dump() : out.error().display(), swallowed ? "null" : make().display());
  }
  EXPECT_EQ(swallow_unsupported(json{{"a", 1}}).value_or(nullptr), (json{{"a", 1}}));
}

TEST(ProbeTest, NumbersAreCutToUnsigned32AndJudgedAgainstTheViewport) {
  auto env = [](const json& value) {
    auto e = environment_from_answer(value, 440, 956);
    if (!e) return e.error().display();
    return std::to_string(e->inner_width) + " " + std::to_string(e->inner_height) + " " +
           std::to_string(e->device_pixel_ratio) + " " + std::to_string(e->touch_points) +
           (e->viewport_honoured ? " ok" : "");
  };
  const std::pair<json, std::string> cases[] = {
      {{{"result", {{"value", {{"w", 440}, {"h", 956}, {"d", 3}, {"t", 5}}}}}}, "440 956 3 5 ok"},
      {{{"result", {{"value", {{"w", 440}, {"h", 956}, {"d", 2.625}, {"t", 0}}}}}}, "440 956 2 0 ok"},
      {{{"result", {{"value", {{"w", 430}, {"h", 956}}}}}}, "430 956 0 0"},
      {{{"result", {{"value", {{"w", -1}, {"h", 1e10}, {"d", "3"}, {"t", -0.5}}}}}}, "0 4294967295 0 0"},
      {{{"result", {{"value", nullptr}}}}, "0 0 0 0"},
      {{{"result", json::object()}}, "unexpected response shape: environment probe returned nothing"},
      {{{"result", 5}}, "unexpected response shape: environment probe returned nothing"},
  };
  for (const auto& [answer, expected] : cases) EXPECT_EQ(env(answer), expected) << answer.dump();
}

}  // namespace
}  // namespace kestrelite
