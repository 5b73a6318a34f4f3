// The benchmark build's timings listener, compiled into its module only.
//
// When the environment variable KESTRELITE_BENCH_TIMINGS names a file,
// every finished capture appends one JSON line to it: the device id, the
// outcome, the image's size in bytes, the elapsed time and the phases of
// DeviceTimings, all times in milliseconds with fractions. Each line goes
// out in one append-mode write, so concurrent captures (the command line's
// --jobs) do not interleave within a line. A file that cannot be written is
// skipped silently: timings never change a capture's outcome.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "json_text.hpp"
#include "kestrelite/progress.hpp"

namespace kestrelite::bench {

namespace {

void add_ms(std::string& out, std::string_view key, std::chrono::nanoseconds d) {
  char number[32];
  std::snprintf(number, sizeof number, "%.3f", static_cast<double>(d.count()) / 1e6);
  out += ',';
  json_text::append_key(out, key);
  out += number;
}

std::string timings_line(const DeviceEvent& e) {
  const DeviceTimings& t = e.timings;
  std::string out = "{";
  json_text::append_key(out, "device_id");
  json_text::append_string(out, e.device.id);
  out += ',';
  json_text::append_key(out, "outcome");
  json_text::append_string(out, outcome_text(e.outcome));
  out += ',';
  json_text::append_key(out, "bytes");
  json_text::append_uint(out, e.capture ? e.capture->bytes : 0);
  add_ms(out, "elapsed", e.elapsed);
  add_ms(out, "launch", t.launch.spawn_to_port);
  add_ms(out, "attach", t.launch.port_to_attached);
  add_ms(out, "context", t.context);
  add_ms(out, "emulation", t.capture.emulation);
  add_ms(out, "navigate", t.capture.navigate);
  add_ms(out, "settle", t.capture.settle);
  add_ms(out, "probe", t.capture.probe);
  add_ms(out, "screenshot", t.capture.screenshot);
  add_ms(out, "glyphs", t.capture.glyphs);
  add_ms(out, "decode", t.capture.decode);
  add_ms(out, "write", t.write);
  add_ms(out, "shutdown", t.shutdown);
  out += "}\n";
  return out;
}

void record(const DeviceEvent& event) {
  const char* path = std::getenv("KESTRELITE_BENCH_TIMINGS");
  if (path == nullptr || *path == '\0') return;
  const std::string line = timings_line(event);
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  static_cast<void>(::write(fd, line.data(), line.size()));
  ::close(fd);
}

// Registered when the module is loaded.
const bool registered = (set_timings_listener(record), true);

}  // namespace

}  // namespace kestrelite::bench
