#include "http.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "loopback.hpp"

namespace kestrelite {
namespace {

using namespace std::chrono_literals;
using testing_loopback::kPatient;
using testing_loopback::kShort;
using testing_loopback::LoopbackServer;
using testing_loopback::Peer;

TEST(HttpHeadTest, TheFirstContentLengthLineCounts) {
  const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 512", 512},
      {"HTTP/1.1 200 OK\r\n  content-LENGTH \t:  +7  ", 7},
      {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615", 18446744073709551615ULL},
      {"HTTP/1.1 200 OK\r\nContent-Length: x\r\nContent-Length: 6", std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616", std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1 2", std::nullopt},
      {"HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\nContent-Length-X: 5", std::nullopt},
  };
  for (const auto& [head, length] : cases) EXPECT_EQ(http::content_length(head), length) << head;
}

struct ResponseCase {
  std::vector<std::string> pieces;  // sent 20 ms apart
  bool keep_open;                   // until the client goes, instead of closing
  std::string outcome;              // the body, or the error
};

const char* const kBodyTimeout = "unexpected response shape: timed out reading http body";
const char* const kEndedInHeaders = "unexpected response shape: http response ended in headers";

TEST(HttpGetTest, SendsOneRequestAndReadsTheBody) {
  const std::string large(1 << 20, 'x');
  const ResponseCase cases[] = {
      {{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"}, true, "hello"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}, true, ""},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "hel", "lo"}, true, "hello"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 2\r", "\n", "\r", "\nhi"}, true, "hi"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello"}, false, "hello"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello"}, true, kBodyTimeout},
      {{"HTTP/1.1 200 OK\r\n\r\n" + large}, false, large},
      {{"HTTP/1.1 200 OK\r\n\r\n[]"}, true, "[]"},
      {{"HTTP/1.1 200 OK\r\n\r\n"}, true, kBodyTimeout},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 9x\r\n\r\nhello"}, false, "hello"},
      {{"HTTP/1.1 500 Internal Server Error\r\n\r\n<html>oops</html>"}, false, "<html>oops</html>"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\na\xff\xc3z"}, false, "a\xEF\xBF\xBD\xEF\xBF\xBDz"},
      {{"HTTP/1.1 200 OK\r\nX-Big: " + std::string(200000, 'h') + "\r\nContent-Length: 2\r\n\r\nok"}, true, "ok"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"}, false, kEndedInHeaders},
      {{}, false, kEndedInHeaders},
  };
  for (const ResponseCase& c : cases) {
    std::string request;
    LoopbackServer server([&](Peer& peer) {
      request = peer.read_until("\r\n\r\n");
      for (const std::string& piece : c.pieces) {
        peer.write(piece);
        std::this_thread::sleep_for(20ms);
      }
      if (c.keep_open) peer.wait_for_close();
    });
    auto body = http_get(server.port(), "/json/list?t=1", c.keep_open ? kShort : kPatient);
    server.join();
    EXPECT_EQ(body ? *body : body.error().display(), c.outcome) << (c.pieces.empty() ? "" : c.pieces[0].substr(0, 60));
    EXPECT_EQ(request, "GET /json/list?t=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                           "\r\nConnection: close\r\n\r\n");
  }
}

}  // namespace
}  // namespace kestrelite
