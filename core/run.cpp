#include "run.hpp"

#include "files.hpp"
#include "version.hpp"

namespace kestrelite {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::optional<std::string> image_file_name(std::string_view id) {
  if (id.empty() || id == "." || id == ".." || id.find('/') != std::string_view::npos ||
      id.find('\0') != std::string_view::npos)
    return std::nullopt;
  return std::string(id) + ".png";
}

Result<WrittenCapture> capture_and_write(Connection& page, const CaptureRequest& request, std::filesystem::path path,
                                         DeviceTimings& timings) {
  auto image = capture(page, request);
  if (!image) return fail(std::move(image.error()));
  timings.capture = image->timings;

  const auto start = Clock::now();
  auto written = write_file_replacing(path, image->png);
  timings.write = Clock::now() - start;
  if (!written) return fail(std::move(written.error()));
  return WrittenCapture{std::move(image->capture), std::move(path)};
}

DeviceResult device_result(const Device& device, Result<WrittenCapture> attempt, std::chrono::nanoseconds elapsed,
                           std::optional<std::string> teardown) {
  DeviceResult result;
  result.device_id = device.id;
  result.elapsed_ms = whole_millis(elapsed);
  if (attempt) {
    result.outcome = attempt->capture.exact ? Outcome::Exact : Outcome::OffSize;
    result.path = json_text::lossy_utf8(attempt->path.string());
    result.capture = std::move(attempt->capture);
  } else {
    result.outcome = Outcome::Failed;
    result.error = attempt.error().display();
  }
  result.teardown = std::move(teardown);
  return result;
}

std::string teardown_note(pid_t group) {
  return "processes of the browser (process group " + std::to_string(group) + ") still existed " +
         std::to_string(kGroupEndLimit.count() / 1000) +
         " s after it was killed (a process that left the group or joined it from outside)";
}

Result<WrittenCapture> capture_one(const RunOptions& options, const Device& device,
                                   const std::filesystem::path& out_dir, DeviceTimings& timings,
                                   std::optional<std::string>& teardown) {
  std::optional<std::string> name = image_file_name(device.id);
  if (!name)
    return fail(Error::shape("device id \"" + device.id + "\" is not a plain file name, so it cannot name an image"));

  LaunchOptions launch;
  launch.executable = options.browser;
  launch.timeout = options.launch_timeout;
  auto browser = Browser::launch(launch);
  if (!browser) return fail(std::move(browser.error()));
  timings.launch = browser->timings();

  CaptureRequest request{options.url, device, options.determinism, options.stability};
  auto written = capture_and_write(browser->page(), request, out_dir / *name, timings);

  const auto start = Clock::now();
  const pid_t group = browser->pid();
  if (!browser->end()) teardown = teardown_note(group);
  timings.shutdown = Clock::now() - start;
  return written;
}

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
    auto attempt = capture_one(options, device, options.out_dir, timings, teardown);
    const auto elapsed = Clock::now() - start;

    DeviceResult result = device_result(device, std::move(attempt), elapsed, std::move(teardown));
    const bool stop = result.outcome != Outcome::Exact && options.fail_fast;
    switch (result.outcome) {
      case Outcome::Exact: ++report.exact; break;
      case Outcome::OffSize: ++report.off_size; break;
      case Outcome::Failed: ++report.failed; break;
    }
    progress.device_finished(DeviceEvent{elapsed, device, i + 1, total, result.capture ? &*result.capture : nullptr,
                                         result.error ? &*result.error : nullptr, result.outcome, timings});
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
