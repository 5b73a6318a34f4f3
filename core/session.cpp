#include "session.hpp"

#include <algorithm>
#include <utility>

namespace kestrelite {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// The text member `key` of a Target command's result.
Result<std::string> text_member(const json& result, std::string_view method, std::string_view key) {
  auto it = result.find(key);  // end() for anything but an object
  if (it == result.end() || !it->is_string())
    return fail(Error::shape(std::string(method) + " returned no " + std::string(key)));
  return it->get<std::string>();
}

}  // namespace

Result<void> Session::start(DeviceTimings& timings) {
  LaunchOptions launch;
  launch.executable = options_.executable;
  launch.timeout = options_.timeout;
  ++launches_;
  auto browser = Browser::launch(launch);
  if (!browser) return fail(std::move(browser.error()));
  // Every return before live_ holds it drops the browser, which ends it.
  const auto started = Clock::now();
  auto url = browser_endpoint(browser->port(), options_.timeout);
  if (!url) return fail(std::move(url.error()));
  auto control = Connection::open(*url, options_.timeout);
  if (!control) return fail(std::move(control.error()));
  timings.launch = browser->timings();
  timings.launch.port_to_attached += Clock::now() - started;
  live_.emplace(Live{std::move(*browser), std::move(*control)});
  return {};
}

Result<void> Session::open_context(Context& context) {
  Connection& control = live_->control;
  auto made = control.call("Target.createBrowserContext", json::object());
  if (!made) return fail(std::move(made.error()));
  auto id = text_member(*made, "Target.createBrowserContext", "browserContextId");
  if (!id) return fail(std::move(id.error()));
  context.id = std::move(*id);
  auto target = control.call("Target.createTarget", {{"url", "about:blank"}, {"browserContextId", context.id}});
  if (!target) return fail(std::move(target.error()));
  auto target_id = text_member(*target, "Target.createTarget", "targetId");
  if (!target_id) return fail(std::move(target_id.error()));
  auto page = Connection::open(page_endpoint(live_->browser.port(), *target_id), options_.timeout);
  if (!page) return fail(std::move(page.error()));
  context.page.emplace(std::move(*page));
  return {};
}

void Session::end_within(DeviceTimings& timings, std::optional<std::string>& teardown) {
  const auto start = Clock::now();
  const pid_t group = live_ ? live_->browser.pid() : -1;
  if (!end()) teardown = teardown_note(group);
  timings.shutdown += Clock::now() - start;
}

bool Session::end() {
  if (!live_) return true;
  live_->control.close();
  const bool ended = live_->browser.end();
  live_.reset();
  return ended;
}

Result<WrittenCapture> Session::capture(const CaptureRequest& request, std::filesystem::path path,
                                        DeviceTimings& timings, std::optional<std::string>& teardown) {
  if (!live_)
    if (auto started = start(timings); !started) return fail(std::move(started.error()));
  ++live_->captures;

  auto start = Clock::now();
  Context context;
  auto opened = open_context(context);
  timings.context = Clock::now() - start;
  if (!opened) {
    end_within(timings, teardown);
    return fail(std::move(opened.error()));
  }

  auto written = capture_and_write(*context.page, request, std::move(path), timings);

  start = Clock::now();
  const bool page_broken = context.page->broken();
  context.page->close();
  context.page.reset();
  bool keep = !page_broken && live_->captures < std::max<std::size_t>(options_.captures_per_browser, 1);
  if (keep) {
    // Disposing the context closes its page and drops everything the page
    // stored; a browser that cannot do that is not trusted with the next.
    // A browser about to end takes its contexts with it.
    keep = live_->control.call("Target.disposeBrowserContext", {{"browserContextId", context.id}}).has_value();
  }
  timings.shutdown = Clock::now() - start;
  if (!keep) end_within(timings, teardown);
  return written;
}

}  // namespace kestrelite
