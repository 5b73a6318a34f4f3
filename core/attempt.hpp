// One attempted capture of a device once it has a page, whichever browser
// the page belongs to: the steps a run and a session share.
//
// capture_and_write() captures on the page and writes the image;
// device_result() classifies the attempt (exact, off-size, failed) into the
// record of the report. The image's file name is made from a name (the
// device id, unless the caller gives another) by image_file_name(), which
// refuses a name that is not a plain file name, so that no caller can write
// outside its folder.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "capture.hpp"
#include "kestrelite/progress.hpp"
#include "kestrelite/report.hpp"

namespace kestrelite {

struct WrittenCapture {
  Capture capture;
  std::filesystem::path path;
};

// `name` + ".png", or nothing when `name` is not a plain file name (empty,
// ".", "..", or holding "/" or a NUL byte).
std::optional<std::string> image_file_name(std::string_view name);

// folder/<name>.png, or Error::Shape naming the device when `name` is not a
// plain file name.
Result<std::filesystem::path> image_path(const std::filesystem::path& folder, std::string_view name,
                                         std::string_view device_id);

// Captures on `page` and writes the image to `path`.
Result<WrittenCapture> capture_and_write(Connection& page, const CaptureRequest& request, std::filesystem::path path,
                                         DeviceTimings& timings);

// The result of one attempted device: classified, with its capture and path
// or its error's text.
DeviceResult device_result(const Device& device, Result<WrittenCapture> attempt, std::chrono::nanoseconds elapsed,
                           std::optional<std::string> teardown);

// The note for a result when processes of an ended browser (process group
// `group`) outlived the wait for them.
std::string teardown_note(pid_t group);

}  // namespace kestrelite
