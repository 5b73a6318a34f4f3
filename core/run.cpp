#include "kestrelite/run.hpp"

#include "attempt.hpp"
#include "cdp.hpp"
#include "files.hpp"
#include "kestrelite/version.hpp"

namespace kestrelite {

namespace {

using Clock = std::chrono::steady_clock;

// One device: launch, capture, write the image, end the browser. `timings`
// receives where the time went and `teardown` a note when processes of the
// browser outlived the wait for them, also when the attempt fails.
Result<WrittenCapture> capture_one(const RunOptions& options, const Device& device, DeviceTimings& timings,
                                   std::optional<std::string>& teardown) {
  auto path = image_path(options.out_dir, device.id, device.id);
  if (!path) return fail(std::move(path.error()));

  LaunchOptions launch;
  launch.executable = options.browser;
  launch.timeout = options.launch_timeout;
  auto browser = Browser::launch(launch);
  if (!browser) return fail(std::move(browser.error()));
  timings.launch = browser->timings();

  CaptureSettings settings;
  settings.determinism = options.determinism;
  settings.stability = options.stability;
  CaptureRequest request{options.url, device, settings};
  auto written = capture_and_write(browser->page(), request, std::move(*path), timings);

  const auto start = Clock::now();
  const pid_t group = browser->pid();
  if (!browser->end()) teardown = teardown_note(group);
  timings.shutdown = Clock::now() - start;
  return written;
}

}  // namespace

Result<RunReport> run(const RunOptions& options, Progress& progress) {
  const auto run_start = Clock::now();
  if (auto made = create_directory_tree(options.out_dir); !made) return fail(std::move(made.error()));

  RunReport report;
  report.results.reserve(options.devices.size());
  const std::size_t total = options.devices.size();
  for (std::size_t i = 0; i < total; ++i) {
    const Device& device = options.devices[i];
    DeviceTimings timings;
    const auto start = Clock::now();
    std::optional<std::string> teardown;
    auto attempt = capture_one(options, device, timings, teardown);
    const auto elapsed = Clock::now() - start;

    DeviceResult result = device_result(device, std::move(attempt), elapsed, std::move(teardown));
    const bool stop = result.outcome != Outcome::Exact && options.fail_fast;
    switch (result.outcome) {
      case Outcome::Exact: ++report.exact; break;
      case Outcome::OffSize: ++report.off_size; break;
      case Outcome::Failed: ++report.failed; break;
    }
    const DeviceEvent event{elapsed, device, i + 1, total, result.capture ? &*result.capture : nullptr,
                            result.error ? &*result.error : nullptr, result.outcome, timings};
    notify_timings(event);
    progress.device_finished(event);
    report.results.push_back(std::move(result));
    if (stop || progress.stop_requested()) break;
  }

  report.version_text = std::string(kVersionText);
  report.url = options.url;
  report.seed = options.determinism.seed;
  report.locale = options.determinism.locale;
  report.elapsed_ms = whole_millis(Clock::now() - run_start);
  report.ok = !report.results.empty() && report.off_size == 0 && report.failed == 0;
  return report;
}

}  // namespace kestrelite
