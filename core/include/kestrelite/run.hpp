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
#include <filesystem>
#include <string>
#include <vector>

#include "kestrelite/device.hpp"
#include "kestrelite/error.hpp"
#include "kestrelite/progress.hpp"
#include "kestrelite/report.hpp"
#include "kestrelite/settings.hpp"

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

Result<RunReport> run(const RunOptions& options, Progress& progress);

}  // namespace kestrelite
