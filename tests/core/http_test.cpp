#include "http.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <thread>

#include "loopback.hpp"

namespace kestrelite {
namespace {

using namespace std::chrono_literals;
using testing_loopback::kPatient;
using testing_loopback::kShort;
using testing_loopback::LoopbackServer;
using testing_loopback::Peer;


// --------------------------------------------------- Content-Length

struct LengthCase {
  const char* name;
  const char* head;
  std::optional<std::uint64_t> length;
};

const LengthCase kLengthCases[] = {
    {"usual", "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 512", 512},
    {"lower_case_no_blank", "HTTP/1.1 200 OK\r\ncontent-length:5", 5},
    {"capitals_and_blanks", "HTTP/1.1 200 OK\r\n  CONTENT-LENGTH \t:  +7  ", 7},
    {"zero", "HTTP/1.1 200 OK\r\nContent-Length: 0", 0},
    {"leading_zeros", "HTTP/1.1 200 OK\r\nContent-Length: 000000000000000000000012", 12},
    {"largest", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615", 18446744073709551615ULL},
    {"first_line_counts", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6", 5},
    {"no_status_line", "Content-Length: 3", 3},
    {"too_large", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616", std::nullopt},
    {"empty_value", "HTTP/1.1 200 OK\r\nContent-Length: ", std::nullopt},
    {"lone_plus", "HTTP/1.1 200 OK\r\nContent-Length: +", std::nullopt},
    {"letter", "HTTP/1.1 200 OK\r\nContent-Length: 12x", std::nullopt},
    {"negative", "HTTP/1.1 200 OK\r\nContent-Length: -1", std::nullopt},
    {"hex", "HTTP/1.1 200 OK\r\nContent-Length: 0x10", std::nullopt},
    {"two_numbers", "HTTP/1.1 200 OK\r\nContent-Length: 1 2", std::nullopt},
    {"colon_in_value", "HTTP/1.1 200 OK\r\nContent-Length: 5:6", std::nullopt},
    {"first_unreadable_line_counts", "HTTP/1.1 200 OK\r\nContent-Length: x\r\nContent-Length: 6", std::nullopt},
    {"other_header", "HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\nContent-Length-X: 5", std::nullopt},
    {"no_colon", "HTTP/1.1 200 OK\r\nContent-Length 5", std::nullopt},
    {"status_only", "HTTP/1.1 200 OK", std::nullopt},
    {"empty_head", "", std::nullopt},
};

class LengthTest : public testing::TestWithParam<LengthCase> {};

TEST_P(LengthTest, ReadsTheFirstContentLengthLine) {
  EXPECT_EQ(http::content_length(GetParam().head), GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(Heads, LengthTest, testing::ValuesIn(kLengthCases),
                         [](const auto& info) { return std::string(info.param.name); });

// -------------------------------------------------------- responses

// Each script reads the request first, so that closing sends a clean end
// of stream rather than a reset.
struct ResponseCase {
  const char* name;
  LoopbackServer::Script script;
  std::string body;   // expected body, when `error` is empty
  std::string error;  // expected display text of the failure
  bool ends_at_timeout = false;
};

LoopbackServer::Script sends(std::string response, bool keep_open) {
  return [response, keep_open](Peer& peer) {
    peer.read_until("\r\n\r\n");
    peer.write(response);
    if (keep_open) peer.wait_for_close();
  };
}

LoopbackServer::Script sends_in_pieces(std::vector<std::string> pieces) {
  return [pieces](Peer& peer) {
    peer.read_until("\r\n\r\n");
    for (const std::string& piece : pieces) {
      peer.write(piece);
      std::this_thread::sleep_for(20ms);
    }
    peer.wait_for_close();
  };
}

constexpr bool kKeepOpen = true;
constexpr bool kClose = false;
const char* const kBodyTimeout = "unexpected response shape: timed out reading http body";
const char* const kEndedInHeaders = "unexpected response shape: http response ended in headers";
const std::string kLargeBody(1 << 20, 'x');

const ResponseCase kResponseCases[] = {
    {"length_zero", sends("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", kKeepOpen), "", ""},
    {"length", sends("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", kKeepOpen), "hello", ""},
    {"length_in_pieces", sends_in_pieces({"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "hel", "lo"}), "hello", ""},
    {"terminator_split", sends_in_pieces({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r", "\nhi"}), "hi", ""},
    {"terminator_split_early", sends_in_pieces({"HTTP/1.1 200 OK\r\nContent-Length: 2\r", "\n", "\r", "\nhi"}), "hi",
     ""},
    {"bytes_beyond_length_kept", sends("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhello", kKeepOpen), "hello", ""},
    {"shorter_than_length_then_close", sends("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", kClose), "hello",
     ""},
    {"shorter_than_length_kept_open", sends("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", kKeepOpen), "",
     kBodyTimeout, true},
    {"until_close", sends("HTTP/1.1 200 OK\r\n\r\n[{\"id\":\"A\"}]", kClose), "[{\"id\":\"A\"}]", ""},
    {"until_close_large", sends("HTTP/1.1 200 OK\r\n\r\n" + kLargeBody, kClose), kLargeBody, ""},
    {"until_close_kept_open", sends("HTTP/1.1 200 OK\r\n\r\n[]", kKeepOpen), "[]", "", true},
    {"until_close_no_body_kept_open", sends("HTTP/1.1 200 OK\r\n\r\n", kKeepOpen), "", kBodyTimeout, true},
    {"until_close_no_body_then_close", sends("HTTP/1.1 200 OK\r\n\r\n", kClose), "", ""},
    // Length mode shows by failing on a body shorter than announced.
    {"capitalised_header_with_blanks", sends("HTTP/1.1 200 OK\r\n CONTENT-LENGTH \t:  10  \r\n\r\nhello", kKeepOpen),
     "", kBodyTimeout, true},
    // Until-close mode shows by returning such a body at the timeout.
    {"letter_in_value", sends("HTTP/1.1 200 OK\r\nContent-Length: 9x\r\n\r\nhello", kKeepOpen), "hello", "", true},
    {"first_length_line_counts",
     sends("HTTP/1.1 200 OK\r\nContent-Length: abc\r\nContent-Length: 9\r\n\r\nhello", kKeepOpen), "hello", "", true},
    {"not_found_json", sends("HTTP/1.1 404 Not Found\r\nContent-Length: 21\r\n\r\n{\"error\":\"not found\"}", kClose),
     "{\"error\":\"not found\"}", ""},
    {"server_error_html", sends("HTTP/1.1 500 Internal Server Error\r\n\r\n<html>oops</html>", kClose),
     "<html>oops</html>", ""},
    {"invalid_utf8_replaced", sends("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\na\xff\xc3z", kClose),
     "a\xEF\xBF\xBD\xEF\xBF\xBDz", ""},
    {"large_head",
     sends("HTTP/1.1 200 OK\r\nX-Big: " + std::string(200000, 'h') + "\r\nContent-Length: 2\r\n\r\nok", kKeepOpen),
     "ok", ""},
    {"ended_in_headers", sends("HTTP/1.1 200 OK\r\nContent-Le", kClose), "", kEndedInHeaders},
    {"ended_before_blank_line", sends("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n", kClose), "", kEndedInHeaders},
    {"nothing_at_all", sends("", kClose), "", kEndedInHeaders},
};

class ResponseTest : public testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseTest, ReturnsTheBodyOrFails) {
  LoopbackServer server(GetParam().script);
  auto body = http_get(server.port(), "/json/list", GetParam().ends_at_timeout ? kShort : kPatient);
  if (GetParam().error.empty()) {
    ASSERT_TRUE(body) << body.error().display();
    EXPECT_EQ(*body, GetParam().body);
  } else {
    ASSERT_FALSE(body) << *body;
    EXPECT_EQ(body.error().display(), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(Responses, ResponseTest, testing::ValuesIn(kResponseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HttpGetTest, SendsTheRequestAndHoldsOnlyCloseOnExecSockets) {
  std::string request;
  bool all_close_on_exec = true;
  int sockets = 0;
  LoopbackServer server([&](Peer& peer) {
    request = peer.read_until("\r\n\r\n");
    // The client's socket is open while it waits for this answer.
    for (int fd = 0; fd < 4096; ++fd) {
      struct stat st;
      if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
      ++sockets;
      if ((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) all_close_on_exec = false;
    }
    peer.write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n[]");
  });
  auto body = http_get(server.port(), "/json/list?t=1", kPatient);
  server.join();
  ASSERT_TRUE(body) << body.error().display();
  EXPECT_EQ(request, "GET /json/list?t=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                         "\r\nConnection: close\r\n\r\n");
  EXPECT_GE(sockets, 3);  // listener, accepted and client
  EXPECT_TRUE(all_close_on_exec);
}

TEST(HttpGetTest, SilentHeadIsAnIoTimeout) {
  LoopbackServer server([](Peer& peer) {
    peer.read_until("\r\n\r\n");
    peer.wait_for_close();
  });
  auto body = http_get(server.port(), "/json/list", kShort);
  ASSERT_FALSE(body);
  EXPECT_EQ(body.error().kind(), Error::Kind::Io);
  EXPECT_TRUE(body.error().io_code().value() == EAGAIN || body.error().io_code().value() == EWOULDBLOCK)
      << body.error().display();
}

TEST(HttpGetTest, NothingListeningIsAnIoError) {
  int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), size), 0);
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
  auto body = http_get(ntohs(address.sin_port), "/json/list", kPatient);
  ::close(holder);
  ASSERT_FALSE(body);
  EXPECT_EQ(body.error().kind(), Error::Kind::Io);
  EXPECT_EQ(body.error().io_code().value(), ECONNREFUSED);
}

TEST(HttpGetTest, ZeroTimeoutIsRefusedRatherThanWaitingForever) {
  LoopbackServer server(sends("HTTP/1.1 200 OK\r\n\r\n", kKeepOpen));
  auto body = http_get(server.port(), "/json/list", 0ms);
  ASSERT_FALSE(body);
  EXPECT_EQ(body.error().kind(), Error::Kind::Io);
  EXPECT_EQ(body.error().io_code().value(), EINVAL);
}

}  // namespace
}  // namespace kestrelite
