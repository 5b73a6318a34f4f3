#include "kestrelite/session.hpp"

#include <algorithm>
#include <optional>
#include <thread>
#include <utility>

#include "attempt.hpp"
#include "cdp.hpp"
#include "files.hpp"

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

struct Context {
  std::string id;
  std::optional<Connection> page;
};

}  // namespace

struct Session::Live {
  Live(Browser b, Connection c) : browser(std::move(b)), control(std::move(c)) {}
  Live(const Live&) = delete;
  Live& operator=(const Live&) = delete;
  // The spare's thread is joined before the connection it uses goes.
  ~Live() { finish_spare(); }

  Browser browser;
  Connection control;  // to the browser target; while the spare's thread runs, it alone uses it
  std::size_t captures = 0;

  // The next capture's context, made on a thread of its own while this
  // capture runs: the browser starts the page's renderer meanwhile, which
  // the next capture would otherwise wait for.
  void prepare_spare(std::chrono::milliseconds timeout) {
    spare_thread_ = std::thread([this, timeout] {
      Context context;
      if (open_context(context, timeout)) spare_ = std::move(context);
    });
  }

  // Waits until the spare's thread is done with the browser's connection.
  void finish_spare() {
    if (spare_thread_.joinable()) spare_thread_.join();
  }

  // The spare, or nothing when it could not be made (a context it made is
  // left to the browser's end).
  std::optional<Context> take_spare() {
    finish_spare();
    return std::exchange(spare_, std::nullopt);
  }

  // Makes the context and its page; on failure the context may exist.
  Result<void> open_context(Context& context, std::chrono::milliseconds timeout) {
    auto made = control.call("Target.createBrowserContext", json::object());
    if (!made) return fail(std::move(made.error()));
    auto id = text_member(*made, "Target.createBrowserContext", "browserContextId");
    if (!id) return fail(std::move(id.error()));
    context.id = std::move(*id);
    auto target = control.call("Target.createTarget", {{"url", "about:blank"}, {"browserContextId", context.id}});
    if (!target) return fail(std::move(target.error()));
    auto target_id = text_member(*target, "Target.createTarget", "targetId");
    if (!target_id) return fail(std::move(target_id.error()));
    auto page = Connection::open(page_endpoint(browser.port(), *target_id), timeout);
    if (!page) return fail(std::move(page.error()));
    context.page.emplace(std::move(*page));
    return {};
  }

 private:
  std::thread spare_thread_;
  std::optional<Context> spare_;
};

Session::Session(SessionOptions options) : options_(std::move(options)) {}

Session::~Session() { end(); }

bool Session::end() {
  if (!live_) return true;
  live_->finish_spare();
  live_->control.close();
  const bool ended = live_->browser.end();
  live_.reset();
  return ended;
}

DeviceResult Session::capture_into(const std::string& url, const Device& device, const CaptureSettings& settings,
                                   const std::filesystem::path& folder, std::string_view name) {
  auto path = image_path(folder, name, device.id);
  if (!path) return device_result(device, fail(std::move(path.error())), {}, std::nullopt);
  return capture(url, device, settings, *path);
}

DeviceResult Session::capture(const std::string& url, const Device& device, const CaptureSettings& settings,
                              const std::filesystem::path& path) {
  DeviceTimings timings;
  std::optional<std::string> teardown;
  const auto start = Clock::now();

  // Ends the browser within this capture, noting leftover processes.
  auto end_here = [&] {
    const auto at = Clock::now();
    const pid_t group = live_ ? live_->browser.pid() : -1;
    if (!end()) teardown = teardown_note(group);
    timings.shutdown += Clock::now() - at;
  };

  auto attempt = [&]() -> Result<WrittenCapture> {
    if (path.has_parent_path())
      if (auto made = create_directory_tree(path.parent_path()); !made) return fail(std::move(made.error()));
    if (!live_) {
      LaunchOptions launch;
      launch.executable = options_.executable;
      launch.timeout = options_.timeout;
      ++launches_;
      auto browser = Browser::launch(launch);
      if (!browser) return fail(std::move(browser.error()));
      // Every return before live_ holds it drops the browser, which ends it.
      const auto started = Clock::now();
      auto endpoint = browser_endpoint(browser->port(), options_.timeout);
      if (!endpoint) return fail(std::move(endpoint.error()));
      auto control = Connection::open(*endpoint, options_.timeout);
      if (!control) return fail(std::move(control.error()));
      timings.launch = browser->timings();
      timings.launch.port_to_attached += Clock::now() - started;
      live_ = std::make_unique<Live>(std::move(*browser), std::move(*control));
    }
    ++live_->captures;
    const bool last = live_->captures >= std::max<std::size_t>(options_.captures_per_browser, 1);

    auto at = Clock::now();
    Context context;
    Result<void> opened;
    if (auto spare = live_->take_spare())
      context = std::move(*spare);
    else
      opened = live_->open_context(context, options_.timeout);
    timings.context = Clock::now() - at;
    if (!opened) {
      end_here();
      return fail(std::move(opened.error()));
    }
    if (!last) live_->prepare_spare(options_.timeout);

    const CaptureRequest request{url, device, settings};
    auto written = capture_and_write(*context.page, request, path, timings);

    at = Clock::now();
    const bool page_broken = context.page->broken();
    context.page->close();
    context.page.reset();
    bool keep = !page_broken && !last;
    if (keep) {
      live_->finish_spare();
      // Disposing the context closes its page and drops everything the page
      // stored; a browser that cannot do that is not trusted with the next.
      // A browser about to end takes its contexts with it.
      keep = live_->control.call("Target.disposeBrowserContext", {{"browserContextId", context.id}}).has_value();
    }
    timings.shutdown = Clock::now() - at;
    if (!keep) end_here();
    return written;
  }();

  const auto elapsed = Clock::now() - start;
  DeviceResult result = device_result(device, std::move(attempt), elapsed, std::move(teardown));
  notify_timings(DeviceEvent{elapsed, device, 1, 1, result.capture ? &*result.capture : nullptr,
                             result.error ? &*result.error : nullptr, result.outcome, timings});
  return result;
}

}  // namespace kestrelite
