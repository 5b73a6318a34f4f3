#include "port_reader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace kestrelite {
namespace {

using namespace std::chrono_literals;

struct LineCase {
  const char* line;
  std::optional<std::uint16_t> port;
};

const LineCase kLines[] = {
    {"DevTools listening on ws://127.0.0.1:9222/devtools/browser/abc", 9222},
    {"ws://127.0.0.1:+80/x", 80},
    {"ws://[::1]:65535/devtools", 65535},
    {"prefix ws://host:0", 0},
    {"ws://a:1/ws://b:2/", 1},
    {"ws://a/ws://b:2/", std::nullopt},  // the text after the first ws:// stops at the second
    {"ws://127.0.0.1:65536/", std::nullopt},
    {"ws://127.0.0.1:92x2/", std::nullopt},
    {"ws://127.0.0.1:/", std::nullopt},
    {"ws://127.0.0.1:-1/", std::nullopt},
    {"ws://no-port/devtools", std::nullopt},
    {"http://127.0.0.1:9222/", std::nullopt},
    {"", std::nullopt},
};

TEST(DevtoolsPortFromLineTest, TakesTheNumberAfterTheLastColonOfTheAuthority) {
  for (const LineCase& c : kLines) EXPECT_EQ(devtools_port_from_line(c.line), c.port) << c.line;
}

// Feeds `chunks` into a pipe the reader reads, then closes it unless `keep_open`.
std::optional<std::uint16_t> read_from(const std::vector<std::string>& chunks, bool keep_open = false,
                                       std::chrono::milliseconds wait = 5s) {
  auto pipe = make_pipe();
  if (!pipe) throw std::runtime_error(pipe.error().display());
  auto reader = read_devtools_port(std::move(pipe->read));
  if (!reader) throw std::runtime_error(reader.error().display());
  for (const std::string& chunk : chunks)
    if (::write(pipe->write.get(), chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
      throw std::runtime_error("short write");
  if (!keep_open) pipe->write.reset();
  return reader->receive(wait);
}

TEST(PortReaderTest, FindsTheFirstEndpointLine) {
  EXPECT_EQ(read_from({"[1:2] Failed to connect to the bus\n\nDevTools listening on ws://127.0.0.1:4",
                       "1234/devtools/browser/x\r\nws://127.0.0.1:5555/\n"},
                      true),
            41234);
}

TEST(PortReaderTest, SkipsBadPortsAndOverlongLines) {
  EXPECT_EQ(read_from({"ws://h:99999/\n", std::string(200000, 'x') + "ws://h:1/\n", "ws://h:2/\n"}), 2);
}

TEST(PortReaderTest, LastLineWithoutLineBreakCounts) { EXPECT_EQ(read_from({"ws://h:7/"}), 7); }

TEST(PortReaderTest, StopsAtALineThatIsNotUtf8) {
  EXPECT_EQ(read_from({"bad \xff line\nws://h:7/\n"}, true, 2s), std::nullopt);
}

TEST(PortReaderTest, EndOfStreamWithoutPortEndsTheWaitAtOnce) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_from({"noise\n"}, false, 60s), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

TEST(PortReaderTest, SilenceTimesOutAndTheReaderStopsWhenDropped) {
  EXPECT_EQ(read_from({"noise\n"}, true, 100ms), std::nullopt);
}

}  // namespace
}  // namespace kestrelite
