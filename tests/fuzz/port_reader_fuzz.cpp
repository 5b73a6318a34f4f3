// The DevTools port reader: a pipe holds the input as a browser's standard
// error, closed after it, and the reader thread's answer is compared with a
// line-by-line model. devtools_port_fuzz checks the line parser itself; here
// the line parser is trusted and the lines around it are checked.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "fuzz_check.hpp"
#include "port_reader.hpp"
#include "process.hpp"

using namespace kestrelite;
using namespace std::chrono_literals;
using fuzz::require;

// Every input starts a thread; the fake stacks that catch use after return
// make that cost more than the rest of the input's work together.
extern "C" const char* __asan_default_options() { return "detect_stack_use_after_return=0"; }

namespace {

// Below the reader's longest line and the pipe's capacity, so that the
// whole input is written before the reader starts.
constexpr std::size_t kMaxInput = 4096;

// Lines end at "\n" and lose one trailing "\r"; reading stops at the first
// port or at the first line that is not UTF-8.
std::optional<std::uint16_t> model(std::string_view in) {
  while (!in.empty()) {
    const std::size_t end = in.find('\n');
    std::string_view line = in.substr(0, end);
    in = end == std::string_view::npos ? std::string_view() : in.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!fuzz::valid_utf8(line)) return std::nullopt;
    if (auto port = devtools_port_from_line(line)) return port;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;
  std::string_view in = fuzz::as_text(data, size);
  const auto want = model(in);

  auto pipe = make_pipe();
  require(pipe.has_value(), "pipe");
  while (!in.empty()) {
    const ssize_t n = ::write(pipe->write.get(), in.data(), in.size());
    require(n > 0, "writing the pipe failed");
    in.remove_prefix(static_cast<std::size_t>(n));
  }
  pipe->write.reset();
  auto reader = read_devtools_port(std::move(pipe->read));
  require(reader.has_value(), "reader thread");
  // The reader stops at the end of the pipe at the latest, so the wait ends
  // as soon as it has read everything.
  require(reader->receive(10s) == want, "port reader");
  return 0;
}
