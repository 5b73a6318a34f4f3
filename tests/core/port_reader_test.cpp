#include "port_reader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

namespace kestrelite {
namespace {

using namespace std::chrono_literals;

TEST(PortReaderTest, TheNumberAfterTheLastColonOfTheFirstUrlsAuthority) {
  const std::pair<const char*, std::optional<std::uint16_t>> lines[] = {
      {"DevTools listening on ws://127.0.0.1:9222/devtools/browser/abc", 9222},
      {"ws://[::1]:+65535/devtools", 65535},
      {"ws://a:1/ws://b:2/", 1},
      {"ws://a/ws://b:2/", std::nullopt},  // the first URL ends where the second starts
      {"ws://127.0.0.1:65536/", std::nullopt},
      {"ws://127.0.0.1:92x2/", std::nullopt},
      {"http://127.0.0.1:9222/", std::nullopt},
  };
  for (const auto& [line, port] : lines) EXPECT_EQ(devtools_port_from_line(line), port) << line;
}

// What a reader hands over within `wait`, from `chunks` written to its pipe,
// which is closed afterwards unless `keep_open`.
std::optional<std::uint16_t> read_from(const std::vector<std::string>& chunks, bool keep_open,
                                       std::chrono::milliseconds wait = 5s) {
  auto pipe = make_pipe();
  auto reader = read_devtools_port(std::move(pipe->read));
  for (const std::string& chunk : chunks)
    if (::write(pipe->write.get(), chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return 0;
  if (!keep_open) pipe->write.reset();
  return reader->receive(wait);
}

TEST(PortReaderTest, ReadsLinesUntilTheFirstPortOrTheEnd) {
  EXPECT_EQ(read_from({"[1:2] Failed to connect\n\nDevTools listening on ws://127.0.0.1:4",
                       "1234/devtools/browser/x\r\nws://127.0.0.1:5555/\n"}, true), 41234);
  EXPECT_EQ(read_from({"ws://h:99999/\n", std::string(200000, 'x') + "ws://h:1/\n", "ws://h:2/\n"}, true), 2);
  EXPECT_EQ(read_from({"ws://h:7/"}, false), 7);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_from({"noise\n"}, false, 60s), std::nullopt);
  EXPECT_EQ(read_from({"bad \xff line\nws://h:7/\n"}, true, 60s), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(read_from({"noise\n"}, true, 100ms), std::nullopt);
}

}  // namespace
}  // namespace kestrelite
