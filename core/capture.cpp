#include "capture.hpp"

#include <cctype>
#include <cmath>
#include <optional>

#include "base64.hpp"

namespace kestrelite {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// How each platform is presented to the page.
struct PlatformEmulation {
  std::optional<std::string_view> user_agent;  // none: no user-agent command
  std::string_view platform_name;
  bool metadata_mobile;
  bool touch;
  std::uint32_t max_touch_points;
};

PlatformEmulation emulation_for(Platform platform) {
  switch (platform) {
    case Platform::IosPhone:
      return {"Mozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
              "Version/17.0 Mobile/15E148 Safari/604.1",
              "iOS", true, true, 5};
    case Platform::IosTablet:
      return {"Mozilla/5.0 (iPad; CPU OS 17_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
              "Version/17.0 Mobile/15E148 Safari/604.1",
              "iOS", true, true, 5};
    case Platform::IosWatch:
      return {"Mozilla/5.0 (Apple Watch; CPU WatchOS 10_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
              "Mobile/15E148",
              "iOS", true, true, 1};
    case Platform::AndroidPhone:
      return {"Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/126.0.0.0 Mobile Safari/537.36",
              "Android", true, true, 5};
    case Platform::AndroidTablet:
      return {"Mozilla/5.0 (Linux; Android 14; Pixel Tablet) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/126.0.0.0 Safari/537.36",
              "Android", true, true, 5};
    case Platform::Macos:
      return {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
              "Version/17.0 Safari/605.1.15",
              "macOS", false, false, 1};
    case Platform::Tv:
    case Platform::Web: break;
  }
  return {std::nullopt, "", false, false, 1};
}

// A page number as an unsigned 32-bit value: the fraction is cut off,
// negative values and NaN give 0, values beyond the range the largest.
std::uint32_t to_u32(const json& value, std::string_view key) {
  auto it = value.find(key);
  if (it == value.end() || !it->is_number()) return 0;
  double d = it->get<double>();
  if (std::isnan(d) || d <= 0) return 0;
  if (d >= 4294967296.0) return 4294967295u;
  return static_cast<std::uint32_t>(d);
}

// Runs one command and adds its time to `spent`.
Result<json> timed_call(Connection& page, std::string_view method, json params, std::chrono::nanoseconds& spent) {
  const auto start = Clock::now();
  auto out = page.call(method, std::move(params));
  spent += Clock::now() - start;
  return out;
}

}  // namespace

Result<json> swallow_unsupported(Result<json> outcome) {
  if (!outcome && outcome.error().kind() == Error::Kind::Cdp) {
    const std::string& message = outcome.error().message();
    if (message.find("wasn't found") != std::string::npos || message.find("not supported") != std::string::npos)
      return json(nullptr);
  }
  return outcome;
}

std::vector<Command> page_commands(const CaptureRequest& r) {
  const Device& d = r.device;
  const PlatformEmulation e = emulation_for(d.platform);
  std::vector<Command> commands;
  commands.push_back({"Page.enable", json::object()});
  commands.push_back({"Runtime.enable", json::object()});
  commands.push_back({"Emulation.setDeviceMetricsOverride",
                      {{"width", d.viewport_width()},
                       {"height", d.viewport_height()},
                       {"deviceScaleFactor", d.scale},
                       {"mobile", d.mobile}}});
  // The locale override reaches Intl only; navigator.language(s) and the
  // Accept-Language header follow acceptLanguage, so every platform sends
  // it. Platforms without a user agent of their own send an empty one,
  // which keeps the browser's.
  json user_agent = {{"userAgent", e.user_agent.value_or("")}, {"acceptLanguage", r.determinism.locale}};
  if (e.user_agent) {
    user_agent["platform"] = e.platform_name;
    user_agent["userAgentMetadata"] = {{"platform", e.platform_name}, {"platformVersion", ""},
                                       {"architecture", ""},          {"model", ""},
                                       {"mobile", e.metadata_mobile}, {"brands", json::array()}};
  }
  commands.push_back({"Emulation.setUserAgentOverride", std::move(user_agent), true});
  commands.push_back(
      {"Emulation.setTouchEmulationEnabled", {{"enabled", e.touch}, {"maxTouchPoints", e.max_touch_points}}, true});
  commands.push_back({"Emulation.setTimezoneOverride", {{"timezoneId", r.determinism.timezone}}, true});
  commands.push_back({"Emulation.setLocaleOverride", {{"locale", r.determinism.locale}}, true});
  commands.push_back({"Page.addScriptToEvaluateOnNewDocument", {{"source", determinism_script(r.determinism)}}});
  commands.push_back({"Page.navigate", {{"url", r.url}}});
  commands.push_back({"Runtime.evaluate",
                      {{"expression", stability_script(r.stability)}, {"awaitPromise", true}, {"returnByValue", true}}});
  return commands;
}

Result<Environment> environment_from_answer(const json& answer, std::uint32_t vw, std::uint32_t vh) {
  const json* value = nullptr;
  if (answer.is_object())
    if (auto result = answer.find("result"); result != answer.end() && result->is_object())
      if (auto v = result->find("value"); v != result->end()) value = &*v;
  if (!value) return fail(Error::shape("environment probe returned nothing"));
  Environment env;
  if (value->is_object()) {
    env.inner_width = to_u32(*value, "w");
    env.inner_height = to_u32(*value, "h");
    env.device_pixel_ratio = to_u32(*value, "d");
    env.touch_points = to_u32(*value, "t");
  }
  env.viewport_honoured = env.inner_width == vw && env.inner_height == vh;
  return env;
}

Result<Environment> probe_environment(Connection& page, std::uint32_t vw, std::uint32_t vh) {
  auto answer = page.call("Runtime.evaluate", {{"expression", kProbeExpression}, {"returnByValue", true}});
  if (!answer) return fail(std::move(answer.error()));
  return environment_from_answer(*answer, vw, vh);
}

bool has_http_status(std::string_view url) {
  const std::size_t colon = url.find(':');
  if (colon == std::string_view::npos) return false;
  std::string scheme(url.substr(0, colon));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme == "http" || scheme == "https";
}

Result<void> check_navigation(const json& answer, std::string_view url) {
  if (!answer.is_object()) return {};
  auto reason = answer.find("errorText");
  if (reason == answer.end() || !reason->is_string() || reason->get_ref<const std::string&>().empty()) return {};
  return fail(Error::browser("page did not load: " + reason->get<std::string>() + " (" + std::string(url) + ")"));
}

Result<void> check_status(const json& answer, std::string_view url) {
  const json* value = nullptr;
  if (answer.is_object())
    if (auto result = answer.find("result"); result != answer.end() && result->is_object())
      if (auto v = result->find("value"); v != result->end()) value = &*v;
  if (!value || !value->is_number_integer()) return {};
  const bool error_status =
      value->is_number_unsigned() ? value->get<std::uint64_t>() >= 400 : value->get<std::int64_t>() >= 400;
  if (!error_status) return {};
  return fail(Error::browser("page answered HTTP " + value->dump() + " (" + std::string(url) + ")"));
}

Result<CapturedImage> capture(Connection& page, const CaptureRequest& r) {
  const Device& d = r.device;
  if (d.scale == 0) return fail(Error::shape("device " + d.id + ": scale is zero"));
  CapturedImage out;
  CaptureTimings& t = out.timings;

  for (Command& c : page_commands(r)) {
    std::chrono::nanoseconds& phase = c.method == "Page.navigate"       ? t.navigate
                                      : c.method == "Runtime.evaluate" ? t.settle
                                                                        : t.emulation;
    auto outcome = timed_call(page, c.method, std::move(c.params), phase);
    if (c.tolerant) outcome = swallow_unsupported(std::move(outcome));
    if (!outcome) return fail(std::move(outcome.error()));
    if (c.method == "Page.navigate")
      if (auto loaded = check_navigation(*outcome, r.url); !loaded) return fail(std::move(loaded.error()));
  }

  auto start = Clock::now();
  auto environment = probe_environment(page, d.viewport_width(), d.viewport_height());
  t.probe = Clock::now() - start;
  if (environment) out.capture.environment = *environment;

  // Read from the settled document, so that it is the status of the page
  // the screenshot shows.
  if (has_http_status(r.url)) {
    auto status = timed_call(page, "Runtime.evaluate", {{"expression", kStatusExpression}, {"returnByValue", true}},
                             t.probe);
    if (!status) return fail(std::move(status.error()));
    if (auto answered = check_status(*status, r.url); !answered) return fail(std::move(answered.error()));
  }

  auto shot = timed_call(page, "Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", false}},
                         t.screenshot);
  if (!shot) return fail(std::move(shot.error()));

  start = Clock::now();
  auto data = shot->find("data");  // end() for anything but an object
  if (data == shot->end() || !data->is_string())
    return fail(Error::shape("captureScreenshot returned no data"));
  // The image is decoded over its base64 text: megabytes of fresh memory
  // cost more than the decoding itself.
  std::string png = std::move(data->get_ref<std::string&>());
  *shot = nullptr;
  if (auto decoded = base64::decode_in_place(png); !decoded)
    return fail(Error::shape("screenshot was not valid base64: " + decoded.error()));
  auto size = png::dimensions(png);
  if (!size) return fail(std::move(size.error()));

  Capture& c = out.capture;
  c.device_id = d.id;
  c.expected = {d.output_width, d.output_height};
  c.actual = *size;
  c.sha256 = sha256_hex(png);
  c.bytes = png.size();
  c.exact = c.actual == c.expected;
  out.png = std::move(png);
  t.decode = Clock::now() - start;
  return out;
}

}  // namespace kestrelite
