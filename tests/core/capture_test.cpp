// A capture's logic apart from the browser: the commands that set a page
// up, the environment probe, whether the page loaded, the settle record and
// the glyph check's record.
#include "capture.hpp"

#include <gtest/gtest.h>

#include "glyphs.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;

// The commands for a 1320x2868 preset at scale 3 on `platform`: their
// methods in order, and each by method.
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

// The project's emulation table.
struct Emulation {
  Platform platform;
  const char* user_agent;  // none: the browser's own, and neither platform name nor metadata
  const char* platform_name;
  bool metadata_mobile, touch;
  int max_touch_points;
};

const Emulation kEmulations[] = {
    {Platform::IosPhone,
     "Mozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 "
     "Mobile/15E148 Safari/604.1", "iOS", true, true, 5},
    {Platform::IosTablet,
     "Mozilla/5.0 (iPad; CPU OS 17_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 "
     "Mobile/15E148 Safari/604.1", "iOS", true, true, 5},
    {Platform::IosWatch,
     "Mozilla/5.0 (Apple Watch; CPU WatchOS 10_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Mobile/15E148", "iOS", true, true, 1},
    {Platform::AndroidPhone,
     "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0.0.0 "
     "Mobile Safari/537.36", "Android", true, true, 5},
    {Platform::AndroidTablet,
     "Mozilla/5.0 (Linux; Android 14; Pixel Tablet) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0.0.0 "
     "Safari/537.36", "Android", true, true, 5},
    {Platform::Macos,
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 "
     "Safari/605.1.15", "macOS", false, false, 1},
    {Platform::Tv, nullptr, nullptr, false, false, 1},
    {Platform::Web, nullptr, nullptr, false, false, 1},
};

TEST(PageCommandsTest, TheEmulationFollowsThePlatform) {
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
  }
}

TEST(PageCommandsTest, ParametersOfTheOtherCommands) {
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
  // A browser without one of these emulations still captures.
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
      {{{"result", 5}}, "unexpected response shape: environment probe returned nothing"},
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

TEST(PageLoadTest, ANavigationWithAnErrorTextDidNotLoad) {
  const std::string url = "http://127.0.0.1:9/";
  EXPECT_EQ(outcome(check_navigation({{"frameId", "F"}, {"errorText", "net::ERR_CONNECTION_REFUSED"}}, url)),
            "browser: page did not load: net::ERR_CONNECTION_REFUSED (http://127.0.0.1:9/)");
  for (const json& answer : {json{{"frameId", "F"}, {"loaderId", "L"}}, json{{"errorText", ""}},
                             json{{"errorText", 3}}, json(nullptr), json::array()})
    EXPECT_EQ(outcome(check_navigation(answer, url)), "loaded") << answer.dump();
}

TEST(PageLoadTest, AStatusOf400OrAboveIsAFailure) {
  const std::string url = "https://example.test/a?b";
  for (int status : {400, 404, 503})
    EXPECT_EQ(outcome(check_status(evaluated(status), url)),
              "browser: page answered HTTP " + std::to_string(status) + " (https://example.test/a?b)");
  // No status, a success or redirect status, or an answer of another shape.
  for (const json& answer : {evaluated(200), evaluated(399), evaluated(0), evaluated(-404), evaluated(404.5),
                             evaluated("404"), json{{"result", {{"type", "undefined"}}}}, json::object(),
                             json(nullptr)})
    EXPECT_EQ(outcome(check_status(answer, url)), "loaded") << answer.dump();
}

TEST(PageLoadTest, OnlyHttpAndHttpsPagesHaveAStatus) {
  for (const char* url : {"http://a/", "https://a/", "HTTP://A/", "Https://a"})
    EXPECT_TRUE(has_http_status(url)) << url;
  for (const char* url : {"file:///tmp/x.html", "data:text/html,http:", "about:blank", "httpx://a", "http", "",
                          "/http://a"})
    EXPECT_FALSE(has_http_status(url)) << url;
}

// Open waits come out in one fixed order, known names only, each once; the
// capture's own count of requests adds "network".
TEST(ReadSettleTest, AnswerAndOpenWaitsGiveTheRecord) {
  const std::tuple<json, json, bool, const char*, std::vector<std::string>> cases[] = {
      // answer, open waits, requests in flight, settle, open
      {evaluated("quiet"), json(), true, "quiet", {}},
      {json::object(), json(), false, "quiet", {}},
      {evaluated("timeout"), json(), false, "deadline", {}},
      {evaluated("timeout"), evaluated({"DOM", "images", "load", "bogus", "images", 3}), false, "deadline",
       {"load", "images", "DOM"}},
      {evaluated("timeout"), evaluated({"fonts"}), true, "deadline", {"fonts", "network"}},
      {evaluated("timeout"), evaluated("images"), false, "deadline", {}},
  };
  for (const auto& [answer, open, network, settle, settle_open] : cases) {
    Capture capture;
    capture.settle_open = {"stale"};
    read_settle(answer, open, network, capture);
    EXPECT_EQ(capture.settle, settle) << answer.dump() << open.dump();
    EXPECT_EQ(capture.settle_open, settle_open) << answer.dump() << open.dump();
  }
}

json fonts_answer(std::vector<std::pair<std::string, int>> fonts) {
  json list = json::array();
  for (auto& [family, glyphs] : fonts) list.push_back({{"familyName", family}, {"glyphCount", glyphs}});
  return {{"fonts", list}};
}

TEST(GlyphsTest, FontsRankedByGlyphsAndMissingCodePointsBounded) {
  json missing = json::array();
  for (int i = 0; i < 40; ++i) missing.push_back("U+E0" + std::to_string(10 + i));
  auto glyphs = glyphs_from_answers(evaluated({{"missing", missing}, {"count", 41}}),
                                    {fonts_answer({{"Noto Sans", 3}, {"Noto Sans CJK JP", 9}}),
                                     fonts_answer({{"Noto Sans", 4}, {"", 50}}), json::object()});
  ASSERT_TRUE(glyphs) << glyphs.error().display();
  EXPECT_EQ(glyphs->fonts, (std::vector<std::string>{"Noto Sans CJK JP", "Noto Sans"}));
  ASSERT_EQ(glyphs->missing.size(), kMissingGlyphsListed);
  EXPECT_EQ(glyphs->missing.front(), "U+E010");
  EXPECT_EQ(glyphs->missing_count, 41u);
  for (const json& answer : {json::object(), evaluated("quiet"), evaluated({{"missing", json::array()}})}) {
    auto refused = glyphs_from_answers(answer, {});
    EXPECT_EQ(refused ? "read" : refused.error().display(),
              "unexpected response shape: the glyph check returned no result");
  }
}

TEST(GlyphsTest, TheScriptIsSentWithItsLimitsFilledIn) {
  const std::string script = glyph_script();
  EXPECT_EQ(script.find("__"), std::string::npos);
  EXPECT_NE(script.find("slice(0, 32)"), std::string::npos);
  EXPECT_EQ(script.rfind("//", 0), std::string::npos) << "the header comment is not sent";
}

}  // namespace
}  // namespace kestrelite
