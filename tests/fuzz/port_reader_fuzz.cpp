// The DevTools port reader: the input, as a browser's standard error, is
// written into a pipe that is then closed. The reader hands over the port
// of its first line that has one, unless a line before is not UTF-8.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "fuzz_check.hpp"
#include "port_reader.hpp"
#include "process.hpp"

using namespace kestrelite;
using fuzz::require;

extern "C" const char* __asan_default_options() { return "detect_stack_use_after_return=0"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Below the pipe's capacity: the whole input is written before reading.
  if (size > 4096) return -1;
  std::string_view in = fuzz::as_text(data, size);
  std::optional<std::uint16_t> want;
  for (std::string_view rest = in; !rest.empty() && !want;) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!fuzz::valid_utf8(line)) break;
    want = devtools_port_from_line(line);
  }
  auto pipe = make_pipe();
  require(pipe && ::write(pipe->write.get(), in.data(), in.size()) == static_cast<ssize_t>(in.size()), "pipe");
  pipe->write.reset();
  auto reader = read_devtools_port(std::move(pipe->read));
  require(reader.has_value(), "reader thread");
  require(reader->receive(std::chrono::seconds(10)) == want, "port reader");
  return 0;
}
