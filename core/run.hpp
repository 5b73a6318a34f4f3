// A run: one URL captured on a list of devices, one after the other.
//
// run() creates the output directory, then for every device starts a fresh
// browser, captures the page, writes <device id>.png into the directory,
// ends the browser, classifies the device (exact, off-size, failed) and
// tells the progress listener. A device that fails is data in the report,
// not an error; with fail_fast the run stops after the first device that is
// not exact, and a listener can end it between two devices in the same way
// (Progress::stop_requested). Only an output directory that cannot be
// created fails the run. A device is finished only once its browser's
// processes are all gone; when some are still there after a bounded wait,
// its result says so.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "capture.hpp"
#include "determinism.hpp"
#include "device.hpp"
#include "error.hpp"
#include "json_text.hpp"
#include "progress.hpp"

namespace kestrelite {

struct RunOptions {
  std::string url;
  std::vector<Device> devices;
  std::filesystem::path out_dir;
  Determinism determinism;
  std::filesystem::path browser;
  StabilityOptions stability;
  bool fail_fast = false;
  // Every launch's timeout; runs from the module keep 30 s, tests shorten it.
  std::chrono::milliseconds launch_timeout{30000};
};

struct DeviceResult {
  std::string device_id;
  Outcome outcome;
  uint128 elapsed_ms = 0;
  std::optional<Capture> capture;   // exact and off-size
  std::optional<std::string> error; // failed
  std::optional<std::string> path;  // exact and off-size
  std::optional<std::string> teardown = std::nullopt;  // browser processes outlived the wait
};

struct RunReport {
  std::string version_text;
  std::string url;
  std::uint64_t seed = 0;
  std::string locale;
  std::size_t exact = 0;
  std::size_t off_size = 0;
  std::size_t failed = 0;
  uint128 elapsed_ms = 0;
  bool ok = false;
  std::vector<DeviceResult> results;
};

struct WrittenCapture {
  Capture capture;
  std::filesystem::path path;
};

Result<RunReport> run(const RunOptions& options, Progress& progress);

// Captures on `page` and writes the image to `path`: a device's work once
// it has a page, whichever browser the page belongs to.
Result<WrittenCapture> capture_and_write(Connection& page, const CaptureRequest& request, std::filesystem::path path,
                                         DeviceTimings& timings);

// The result of one attempted device: classified, with its capture and path
// or its error's text.
DeviceResult device_result(const Device& device, Result<WrittenCapture> attempt, std::chrono::nanoseconds elapsed,
                           std::optional<std::string> teardown);

// The note for a result when processes of an ended browser (process group
// `group`) outlived the wait for them.
std::string teardown_note(pid_t group);

// One device: launch, capture, write the image, end the browser. `timings`
// receives where the time went and `teardown` a note when processes of the
// browser outlived the wait for them, also when the attempt fails.
Result<WrittenCapture> capture_one(const RunOptions& options, const Device& device,
                                   const std::filesystem::path& out_dir, DeviceTimings& timings,
                                   std::optional<std::string>& teardown);

// The image file's name for a device id, or nothing when the id is not a
// plain file name (empty, ".", "..", or holding "/" or a NUL byte) and so
// could write outside the output directory.
std::optional<std::string> image_file_name(std::string_view device_id);

}  // namespace kestrelite
