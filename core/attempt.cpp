#include "attempt.hpp"

#include "files.hpp"
#include "json_text.hpp"
#include "process.hpp"

namespace kestrelite {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::optional<std::string> image_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos)
    return std::nullopt;
  return std::string(name) + ".png";
}

Result<std::filesystem::path> image_path(const std::filesystem::path& folder, std::string_view name,
                                         std::string_view device_id) {
  std::optional<std::string> file = image_file_name(name);
  if (!file) {
    std::string what = name == device_id ? "device id \"" + std::string(device_id) + "\""
                                         : "image name \"" + std::string(name) + "\" of device " + std::string(device_id);
    return fail(Error::shape(what + " is not a plain file name, so it cannot name an image"));
  }
  return folder / *file;
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

}  // namespace kestrelite
