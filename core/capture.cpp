#include "capture.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <optional>

#include "base64.hpp"
#include "glyphs.hpp"
#include "steps.hpp"

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

std::string text_of(const json& object, std::string_view key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The page's requests that the settle wait waits for, by resource type:
// media streams in ranges and is dealt with by the wait itself; pings,
// reports, prefetches, manifests and preflights are not the page's content.
// A worker's own script is requested without a loader, and the page is told
// only of its start (its end goes to the worker), so it is not counted.
bool counted_request(const json& params) {
  static constexpr std::string_view kCounted[] = {"Document", "Stylesheet", "Image", "Font",
                                                  "Script",   "XHR",        "Fetch", "EventSource"};
  auto type = params.find("type");
  if (type == params.end() || !type->is_string()) return false;
  const std::string& name = type->get_ref<const std::string&>();
  if (name == "Script" && params.contains("loaderId") && text_of(params, "loaderId").empty()) return false;
  for (std::string_view t : kCounted)
    if (name == t) return true;
  return false;
}

// The value a Runtime.evaluate answer carries (result.value), if any.
const json* evaluated_value(const json& answer) {
  if (!answer.is_object()) return nullptr;
  auto result = answer.find("result");
  if (result == answer.end() || !result->is_object()) return nullptr;
  auto value = result->find("value");
  return value == result->end() ? nullptr : &*value;
}

// What the page does while it loads and settles, from its events; it
// answers dialogs and tells the settle wait about the network on the way.
class PageWatch {
 public:
  PageWatch(Connection& page, std::string url) : page_(page), url_(std::move(url)) {
    page_.listen([this](const json& event) { on_event(event); });
  }
  ~PageWatch() { page_.listen(nullptr); }
  PageWatch(const PageWatch&) = delete;
  PageWatch& operator=(const PageWatch&) = delete;

  // Starts watching for a new document, and tells the document about the
  // requests in flight: its own count starts at none.
  void begin_wait() {
    navigated_ = false;
    waiting_ = true;
    if (!requests_.empty()) tell_network();
  }
  void end_wait() { waiting_ = false; }

  bool navigated() const { return navigated_; }
  // Whether the page was still moving from document to document at
  // `deadline`: after at least one new document, a request for the next
  // was in flight, or the last came within a second before the deadline.
  bool navigating_at(Clock::time_point deadline) const {
    return navigations_ > 1 && (navigating() || deadline - last_commit_ < std::chrono::seconds(1));
  }
  bool network_busy() const { return !requests_.empty(); }
  // Whether a request for a main-frame document is in flight.
  bool navigating() const {
    return std::ranges::any_of(requests_, [](const auto& r) { return r.second.main_document; });
  }
  const std::string& url() const { return url_; }
  // Whether the document shown is not the first one the request led to
  // directly: an HTTP redirect, or a later document in the main frame.
  bool moved() const { return redirected_ || navigations_ > 1; }
  std::vector<Dialog>& dialogs() { return dialogs_; }

 private:
  struct Request {
    std::string loader;
    bool main_document = false;
  };

  void on_event(const json& event) {
    const std::string method = text_of(event, "method");
    auto it = event.find("params");
    if (it == event.end() || !it->is_object()) return;
    const json& params = *it;
    const std::size_t before = requests_.size();
    if (method == "Page.javascriptDialogOpening") {
      Dialog dialog{text_of(params, "type"), text_of(params, "message")};
      // Leaving the page is what a beforeunload dialog asks about, and the
      // page the user means is the one it goes to.
      (void)page_.post("Page.handleJavaScriptDialog", {{"accept", dialog.type == "beforeunload"}});
      dialogs_.push_back(std::move(dialog));
    } else if (method == "Page.frameNavigated") {
      auto frame = params.find("frame");
      if (frame == params.end() || !frame->is_object() || frame->contains("parentId")) return;
      url_ = text_of(*frame, "url") + text_of(*frame, "urlFragment");
      main_frame_ = text_of(*frame, "id");
      // Requests of the documents the new one replaced will not finish.
      const std::string loader = text_of(*frame, "loaderId");
      std::erase_if(requests_, [&](const auto& r) { return r.second.loader != loader; });
      ++navigations_;
      last_commit_ = Clock::now();
      navigated_ = true;
    } else if (method == "Network.requestWillBeSent") {
      if (!counted_request(params)) return;
      // Until the first document commits, the only document requested is
      // the main frame's.
      const bool main = text_of(params, "type") == "Document" &&
                        (main_frame_.empty() || text_of(params, "frameId") == main_frame_);
      if (main && navigations_ == 0 && params.contains("redirectResponse")) redirected_ = true;
      requests_.insert_or_assign(text_of(params, "requestId"), Request{text_of(params, "loaderId"), main});
    } else if (method == "Network.loadingFinished" || method == "Network.loadingFailed") {
      requests_.erase(text_of(params, "requestId"));
    } else if (method == "Runtime.bindingCalled") {
      answer_barrier(params);
      return;
    } else {
      return;
    }
    if (waiting_ && (before == 0) != requests_.empty()) tell_network();
  }

  void tell_network() { (void)page_.post("Runtime.evaluate", {{"expression", network_expression(requests_.size())}}); }

  // The settle wait asks before it counts the page as quiet: the browser
  // sends a page's events in order, so the answer counts every request the
  // page started before it asked, however late their events came here. The
  // question's number is read as a number, so no text of the page's gets
  // into the answer.
  void answer_barrier(const json& params) {
    if (text_of(params, "name") != kBarrierBinding) return;
    const std::string payload = text_of(params, "payload");
    std::uint64_t question = 0;
    auto [end, ec] = std::from_chars(payload.data(), payload.data() + payload.size(), question);
    if (ec != std::errc() || end != payload.data() + payload.size()) return;
    json answer = {{"expression", barrier_expression(question, requests_.size())}};
    auto context = params.find("executionContextId");
    if (context != params.end() && context->is_number_integer()) answer["contextId"] = *context;
    (void)page_.post("Runtime.evaluate", std::move(answer));
  }

  Connection& page_;
  std::string url_;
  std::vector<Dialog> dialogs_;
  std::map<std::string, Request> requests_;
  std::string main_frame_;
  std::size_t navigations_ = 0;
  Clock::time_point last_commit_;
  bool redirected_ = false;
  bool navigated_ = false;
  bool waiting_ = false;
};

// Errors a settle wait's command gets when the document it ran in went
// away under it, or the new one has no script context yet.
bool lost_document(const Error& error) {
  if (error.kind() != Error::Kind::Cdp) return false;
  const std::string& m = error.message();
  return m.find("navigated or closed") != std::string::npos ||
         m.find("Execution context was destroyed") != std::string::npos ||
         m.find("Cannot find default execution context") != std::string::npos ||
         m.find("Cannot find context with specified id") != std::string::npos;
}

Error still_navigating(std::uint32_t timeout_ms, std::string_view url) {
  return Error::browser("the page was still navigating when the settle deadline (" + std::to_string(timeout_ms) +
                        " ms) passed; its last address was " + std::string(url));
}

// The settle wait, started again on every new document of the main frame
// until one settles or the deadline passes.
Result<void> settle(Connection& page, PageWatch& watch, const CaptureRequest& r, json params, Capture& out) {
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(r.settings.stability.timeout_ms);
  for (bool first = true;; first = false) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!first) {
      if (left.count() <= 0) return fail(still_navigating(r.settings.stability.timeout_ms, watch.url()));
      StabilityOptions rest = r.settings.stability;
      rest.timeout_ms = static_cast<std::uint32_t>(left.count());
      params["expression"] = stability_script(rest);
    }
    watch.begin_wait();
    auto answer = page.call("Runtime.evaluate", params);
    watch.end_wait();
    // A command sent while a navigation is under way runs in the new
    // document; one that ran in a document that went away fails. So an
    // answer is always that of the document the page holds.
    if (answer) {
      read_settle(*answer, json(), watch.network_busy(), out);
      if (out.settle == "deadline") {
        auto open = page.call("Runtime.evaluate", {{"expression", kOpenWaitsExpression}, {"returnByValue", true}});
        if (open) read_settle(*answer, *open, watch.network_busy(), out);
      }
      if (out.settle == "deadline" && watch.navigating_at(deadline))
        return fail(still_navigating(r.settings.stability.timeout_ms, watch.url()));
      return {};
    }
    if (!lost_document(answer.error())) return fail(std::move(answer.error()));
    if (!watch.navigated()) {
      // The event of the new document may come after this error: one more
      // reply from the page is waited for, and with it every event before.
      watch.begin_wait();
      (void)page.call("Page.getFrameTree", json::object());
      watch.end_wait();
      if (!watch.navigated()) return fail(std::move(answer.error()));
    }
  }
}

json settle_params(const CaptureRequest& r) {
  return {{"expression", stability_script(r.settings.stability)}, {"awaitPromise", true}, {"returnByValue", true}};
}

// How a step is named in its error: the screen, its number and what it does.
std::string step_label(const CaptureRequest& r, std::size_t index) {
  const Step& step = r.settings.steps[index];
  std::string what(step_name(step.kind));
  if (!step.target.empty()) what += " " + json(step.target).dump();
  if (step.kind == Step::Kind::ScrollBy) what += " " + shortest_decimal(step.pixels);
  for (const std::string& target : step.targets) what += " " + json(target).dump();
  return (r.settings.screen.empty() ? "" : "screen " + r.settings.screen + ", ") + "step " +
         std::to_string(index + 1) + " of " + std::to_string(r.settings.steps.size()) + " (" + what + ")";
}

// The steps before the picture, each followed by a settle wait on the page
// clocks it released; a step that cannot be done fails the capture.
Result<void> run_steps(Connection& page, PageWatch& watch, const CaptureRequest& r, Capture& out) {
  const std::chrono::milliseconds deadline(r.settings.stability.timeout_ms);
  for (std::size_t i = 0; i < r.settings.steps.size(); ++i) {
    auto failed = [&](Error error) {
      return fail(Error::browser(step_label(r, i) + ": " +
                                 (error.kind() == Error::Kind::Browser ? error.message() : error.display())));
    };
    if (auto released = page.call("Runtime.evaluate", {{"expression", kReleaseClocks}}); !released)
      return failed(std::move(released.error()));
    if (auto done = run_step(page, r.settings.steps[i], deadline); !done) return failed(std::move(done.error()));
    Capture after;
    if (auto settled = settle(page, watch, r, settle_params(r), after); !settled)
      return failed(std::move(settled.error()));
    out.steps.push_back({std::string(step_name(r.settings.steps[i].kind)), after.settle, after.settle_open});
  }
  return {};
}

// The media features the settings ask the page to see; empty when none.
json media_features(const CaptureSettings& s) {
  json features = json::array();
  if (!s.appearance.empty()) features.push_back({{"name", "prefers-color-scheme"}, {"value", s.appearance}});
  if (s.reduced_motion) features.push_back({{"name", "prefers-reduced-motion"}, {"value", "reduce"}});
  if (!s.contrast.empty()) features.push_back({{"name", "prefers-contrast"}, {"value", s.contrast}});
  if (s.forced_colors) features.push_back({{"name", "forced-colors"}, {"value", "active"}});
  return features;
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
  // For the settle wait, which waits for the page's requests.
  commands.push_back({"Network.enable", json::object()});
  commands.push_back({"Emulation.setDeviceMetricsOverride",
                      {{"width", d.viewport_width()},
                       {"height", d.viewport_height()},
                       {"deviceScaleFactor", d.scale},
                       {"mobile", d.mobile}}});
  // The locale override reaches Intl only; navigator.language(s) and the
  // Accept-Language header follow acceptLanguage, so every platform sends
  // it. Platforms without a user agent of their own send an empty one,
  // which keeps the browser's.
  json user_agent = {{"userAgent", e.user_agent.value_or("")}, {"acceptLanguage", r.settings.determinism.locale}};
  if (e.user_agent) {
    user_agent["platform"] = e.platform_name;
    user_agent["userAgentMetadata"] = {{"platform", e.platform_name}, {"platformVersion", ""},
                                       {"architecture", ""},          {"model", ""},
                                       {"mobile", e.metadata_mobile}, {"brands", json::array()}};
  }
  commands.push_back({"Emulation.setUserAgentOverride", std::move(user_agent), true});
  commands.push_back(
      {"Emulation.setTouchEmulationEnabled", {{"enabled", e.touch}, {"maxTouchPoints", e.max_touch_points}}, true});
  commands.push_back({"Emulation.setTimezoneOverride", {{"timezoneId", r.settings.determinism.timezone}}, true});
  commands.push_back({"Emulation.setLocaleOverride", {{"locale", r.settings.determinism.locale}}, true});
  if (json features = media_features(r.settings); !features.empty())
    commands.push_back({"Emulation.setEmulatedMedia", {{"features", std::move(features)}}});
  // The settle wait's question to the capture (barrier_expression).
  if (r.settings.settle_barrier) commands.push_back({"Runtime.addBinding", {{"name", kBarrierBinding}}, true});
  commands.push_back({"Page.addScriptToEvaluateOnNewDocument", {{"source", determinism_script(r.settings.determinism)}}});
  commands.push_back({"Page.navigate", {{"url", r.url}}});
  commands.push_back({"Runtime.evaluate", settle_params(r)});
  return commands;
}

Result<Environment> environment_from_answer(const json& answer, std::uint32_t vw, std::uint32_t vh) {
  const json* value = evaluated_value(answer);
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
  const json* value = evaluated_value(answer);
  if (!value || !value->is_number_integer()) return {};
  const bool error_status =
      value->is_number_unsigned() ? value->get<std::uint64_t>() >= 400 : value->get<std::int64_t>() >= 400;
  if (!error_status) return {};
  return fail(Error::browser("page answered HTTP " + value->dump() + " (" + std::string(url) + ")"));
}

std::string network_expression(std::size_t in_flight) {
  return "window[Symbol.for('kestrelite.network')] = " + std::to_string(in_flight);
}

std::string barrier_expression(std::uint64_t question, std::size_t in_flight) {
  return "(() => { const c = window[Symbol.for('kestrelite.clock')]; if (c && c.answer) c.answer(" +
         std::to_string(question) + ", " + std::to_string(in_flight) + "); })()";
}

void read_settle(const json& answer, const json& open, bool network, Capture& c) {
  const json* value = evaluated_value(answer);
  c.settle_open.clear();
  if (!value || *value != "timeout") {
    c.settle = "quiet";
    return;
  }
  c.settle = "deadline";
  const json* names = evaluated_value(open);
  if (names && !names->is_array()) names = nullptr;
  auto add = [&](std::string_view name) {
    if (std::ranges::find(c.settle_open, name) == c.settle_open.end()) c.settle_open.emplace_back(name);
  };
  for (std::string_view known : kSettleWaits) {
    if (known == "network" && network) add(known);
    if (names)
      for (const json& n : *names)
        if (n == known) add(known);
  }
}

Result<CapturedImage> capture(Connection& page, const CaptureRequest& r) {
  const Device& d = r.device;
  if (d.scale == 0) return fail(Error::shape("device " + d.id + ": scale is zero"));
  CapturedImage out;
  CaptureTimings& t = out.timings;

  PageWatch watch(page, r.url);
  std::vector<Command> commands = page_commands(r);
  if (r.settings.pipelined) {
    // The commands before the navigation go out together; the first that
    // fails (in their order) fails the capture, as one at a time would.
    const auto at = std::ranges::find(commands, "Page.navigate", &Command::method);
    std::vector<Connection::Request> batch;
    for (auto c = commands.begin(); c != at; ++c) batch.push_back({c->method, std::move(c->params)});
    const auto start = Clock::now();
    auto outcomes = page.call_all(std::move(batch));
    t.emulation += Clock::now() - start;
    if (!outcomes) return fail(std::move(outcomes.error()));
    for (std::size_t i = 0; i < outcomes->size(); ++i) {
      auto outcome = commands[i].tolerant ? swallow_unsupported(std::move((*outcomes)[i])) : std::move((*outcomes)[i]);
      if (!outcome) return fail(std::move(outcome.error()));
    }
    commands.erase(commands.begin(), at);
  }
  for (Command& c : commands) {
    if (c.method == "Runtime.evaluate") {
      const auto start = Clock::now();
      auto settled = settle(page, watch, r, std::move(c.params), out.capture);
      t.settle += Clock::now() - start;
      if (!settled) return fail(std::move(settled.error()));
      continue;
    }
    std::chrono::nanoseconds& phase = c.method == "Page.navigate" ? t.navigate : t.emulation;
    auto outcome = timed_call(page, c.method, std::move(c.params), phase);
    if (c.tolerant) outcome = swallow_unsupported(std::move(outcome));
    if (!outcome) return fail(std::move(outcome.error()));
    if (c.method == "Page.navigate")
      if (auto loaded = check_navigation(*outcome, r.url); !loaded) return fail(std::move(loaded.error()));
  }
  if (!r.settings.steps.empty()) {
    const auto start = Clock::now();
    auto stepped = run_steps(page, watch, r, out.capture);
    t.settle += Clock::now() - start;
    if (!stepped) return fail(std::move(stepped.error()));
  }
  if (watch.moved()) out.capture.final_url = watch.url();
  out.capture.dialogs = std::move(watch.dialogs());

  auto start = Clock::now();
  auto environment = probe_environment(page, d.viewport_width(), d.viewport_height());
  t.probe = Clock::now() - start;
  if (environment) out.capture.environment = *environment;

  // Read from the settled document, so that it is the status of the page
  // the screenshot shows.
  const std::string& shown = out.capture.final_url ? *out.capture.final_url : r.url;
  if (has_http_status(shown)) {
    auto status = timed_call(page, "Runtime.evaluate", {{"expression", kStatusExpression}, {"returnByValue", true}},
                             t.probe);
    if (!status) return fail(std::move(status.error()));
    if (auto answered = check_status(*status, shown); !answered) return fail(std::move(answered.error()));
  }

  if (!r.settings.masks.empty()) {
    auto masks = mask_boxes(page, r.settings.masks, d.scale);
    if (!masks) return fail(Error::browser("masks: " + masks.error().message()));
    out.capture.masks = std::move(*masks);
  }

  json shot_params = {{"format", "png"}, {"captureBeyondViewport", false}};
  if (r.settings.fast_png) shot_params["optimizeForSpeed"] = true;
  auto shot = timed_call(page, "Page.captureScreenshot", std::move(shot_params), t.screenshot);
  if (!shot) return fail(std::move(shot.error()));

  if (r.settings.check_glyphs) {
    start = Clock::now();
    auto glyphs = check_glyphs(page);
    t.glyphs = Clock::now() - start;
    if (!glyphs) return fail(std::move(glyphs.error()));
    out.capture.glyphs = std::move(*glyphs);
  }

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
  // Dialogs opened after the settle wait, during the probe or the
  // screenshot, are noted too.
  for (Dialog& late : watch.dialogs()) c.dialogs.push_back(std::move(late));
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
