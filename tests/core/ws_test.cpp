// The transport to the browser: the HTTP fetch of the target list and the WebSocket handshake against a loopback
// server, WebSocket frames over a socket pair whose other end the test writes and reads.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <functional>
#include <optional>
#include <thread>

#include "http.hpp"
#include "ws.hpp"

namespace kestrelite {
namespace {

using namespace std::chrono_literals;
using Mask = std::optional<std::array<unsigned char, 4>>;

// The client's waits: those meant to expire are short, the others end as soon as the bytes arrive.
constexpr std::chrono::milliseconds kShort = 300ms, kPatient = 3s;

// The server's end of a connection: its reads and writes give up after five seconds, reads also when the client goes.
class Peer {
 public:
  explicit Peer(const UniqueFd& fd) : fd_(fd) {
    const timeval patience{5, 0};
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO})
      ::setsockopt(fd.get(), SOL_SOCKET, option, &patience, sizeof patience);
  }
  // Everything up to and including `marker`; later bytes stay for the next read.
  std::string read_until(std::string_view marker) {
    while (pending_.find(marker) == std::string::npos && read_some()) {
    }
    const std::size_t at = pending_.find(marker);
    return take(at == std::string::npos ? pending_.size() : at + marker.size());
  }
  std::string read_exact(std::size_t n) {
    while (pending_.size() < n && read_some()) {
    }
    return take(std::min(n, pending_.size()));
  }
  void write(std::string_view bytes) { static_cast<void>(net::send_all(fd_, bytes)); }
  // Keeps the connection open until the client closes its end.
  void wait_for_close() {
    while (read_some()) pending_.clear();
  }

 private:
  bool read_some() {
    char chunk[65536];
    auto n = net::recv_some(fd_, chunk, sizeof chunk);
    if (n && *n > 0) pending_.append(chunk, *n);
    return n && *n > 0;
  }
  std::string take(std::size_t n) {
    std::string out = pending_.substr(0, n);
    pending_.erase(0, n);
    return out;
  }

  const UniqueFd& fd_;
  std::string pending_;
};

// Runs `script` against its one client on a thread of its own, then closes the connection; it waits 5 s for the client.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(Peer&)> script)
      : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t size = sizeof address;
    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), size);
    ::listen(listener_.get(), 1);
    const timeval patience{5, 0};
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::jthread([this, script = std::move(script)] {
      const UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!fd) return;
      Peer peer(fd);
      script(peer);
    });
  }
  std::uint16_t port() const { return port_; }
  // Waits for the script to end; what it recorded may be read afterwards.
  void join() { thread_.join(); }

 private:
  UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::jthread thread_;  // last, so that it is joined before the listener closes
};

TEST(HttpTest, TheFirstContentLengthLineCountsAndGetSendsOneRequestAndReadsTheBody) {
  const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 512", 512},
      {"HTTP/1.1 200 OK\r\n  content-LENGTH \t:  +7  ", 7},
      {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615", 18446744073709551615ULL},
      {"HTTP/1.1 200 OK\r\nContent-Length: x\r\nContent-Length: 6", std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616", std::nullopt},
  };
  for (const auto& [head, length] : cases) EXPECT_EQ(http::content_length(head), length) << head;
  const std::string large(1 << 20, 'x'), timeout = "unexpected response shape: timed out reading http body";
  const std::tuple<std::vector<std::string>, bool, std::string> responses[] = {
      // Pieces sent 20 ms apart, whether the server then waits for the client to go, the body or the error.
      {{"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}, true, ""},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "hel", "lo"}, true, "hello"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 2\r", "\n", "\r", "\nhi"}, true, "hi"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello"}, false, "hello"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello"}, true, timeout},
      {{"HTTP/1.1 200 OK\r\n\r\n" + large}, false, large},
      {{"HTTP/1.1 200 OK\r\n\r\n[]"}, true, "[]"},
      {{"HTTP/1.1 200 OK\r\n\r\n"}, true, timeout},
      {{"HTTP/1.1 500 Internal Server Error\r\n\r\n<html>oops</html>"}, false, "<html>oops</html>"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\na\xff\xc3z"}, false, "a\xEF\xBF\xBD\xEF\xBF\xBDz"},
      {{"HTTP/1.1 200 OK\r\nX-Big: " + std::string(200000, 'h') + "\r\nContent-Length: 2\r\n\r\nok"}, true, "ok"},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"}, false,
       "unexpected response shape: http response ended in headers"},
  };
  for (const auto& [pieces, keep_open, outcome] : responses) {
    std::string request;
    LoopbackServer server([&](Peer& peer) {
      request = peer.read_until("\r\n\r\n");
      for (const std::string& piece : pieces) {
        peer.write(piece);
        std::this_thread::sleep_for(20ms);
      }
      if (keep_open) peer.wait_for_close();
    });
    auto body = http_get(server.port(), "/json/list?t=1", keep_open ? kShort : kPatient);
    server.join();
    EXPECT_EQ(body ? *body : body.error().display(), outcome) << pieces[0].substr(0, 60);
    EXPECT_EQ(request, "GET /json/list?t=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                           "\r\nConnection: close\r\n\r\n");
  }
}

// The error of a browser that `did` ("sent" or "read") nothing for `ms`.
std::string stalled(const char* did, int ms) {
  return std::string("websocket protocol: the browser ") + did + " nothing for " + std::to_string(ms) +
         "ms. It is usually overloaded rather than broken -- try fewer devices at once, or give the machine more "
         "memory.";
}

// A frame as a server writes it: `first` holds FIN, reserved and opcode bits; the length takes its shortest form,
// or the 64-bit form announcing `length64` instead of the payload's size.
std::string frame(std::uint8_t first, std::string_view payload, Mask mask = {},
                  std::optional<std::uint64_t> length64 = {}) {
  const std::uint64_t n = length64.value_or(payload.size());
  const int form = length64 || n > 65535 ? 64 : n < 126 ? 8 : 16;
  std::string f{static_cast<char>(first), static_cast<char>((mask ? 0x80 : 0) | (form == 8 ? n : 126 + (form == 64)))};
  for (int shift = form - 8; form > 8 && shift >= 0; shift -= 8) f += static_cast<char>(n >> shift);
  std::string body(payload);
  if (mask) {
    f.append(reinterpret_cast<const char*>(mask->data()), 4);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(body[i] ^ (*mask)[i % 4]);
  }
  return f + body;
}

// `n` letters that repeat every 26 bytes only, so that a payload read from the wrong offset shows.
std::string text_of(std::size_t n) {
  std::string s(n, 'a');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

// A client frame as read off the wire: its first two bytes and its payload, unmasked.
std::tuple<int, int, std::string> read_client_frame(const UniqueFd& fd) {
  Peer peer(fd);
  const std::string head = peer.read_exact(2) + std::string(2, '\0');
  const int code = head[1] & 0x7f;
  std::uint64_t length = static_cast<std::uint64_t>(code);
  if (code >= 126) {
    length = 0;
    for (unsigned char c : peer.read_exact(code == 126 ? 2 : 8)) length = length << 8 | c;
  }
  const std::string key = head[1] & 0x80 ? peer.read_exact(4) : std::string(4, '\0');
  std::string payload = peer.read_exact(static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= key[i % 4];
  return {static_cast<unsigned char>(head[0]), static_cast<unsigned char>(head[1]), payload};
}

// A Ws over one end of a socket pair, and the other end; `send_buffer` shrinks the Ws end's when given.
std::pair<Result<Ws>, UniqueFd> connected(std::chrono::milliseconds timeout = kPatient, int send_buffer = 0) {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  EXPECT_EQ(send_buffer ? ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer) : 0, 0);
  return {Ws::over(UniqueFd(fds[0]), timeout), UniqueFd(fds[1])};
}

TEST(UrlTest, SplitsHostPortAndPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"ws://127.0.0.1:9222/devtools/page/AB", "127.0.0.1 9222 /devtools/page/AB"},
      {"ws://localhost/devtools", "localhost 80 /devtools"},
      {"ws://h:7/a:8/b?c=d:9", "h 7 /a:8/b?c=d:9"},
      {"ws://[::1]:9222/x", "[::1] 9222 /x"},
      {"ws://h:/x", "websocket protocol: bad port in ws://h:/x"},
      {"ws://h:65536/x", "websocket protocol: bad port in ws://h:65536/x"},
      {"ws://[::1]/x", "websocket protocol: bad port in ws://[::1]/x"},
      {"wss://h:1/x", "websocket protocol: only ws:// is supported, got wss://h:1/x"},
  };
  for (const auto& [url, expected] : cases) {
    auto u = ws::parse_url(url);
    EXPECT_EQ(u ? u->host + " " + std::to_string(u->port) + " " + u->path : u.error().display(), expected);
  }
}

TEST(HandshakeTest, ChecksStatusAndAcceptOfTheResponseHead) {
  const std::string key = "dGhlIHNhbXBsZSBub25jZQ==", accept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";  // RFC 6455, 1.3
  EXPECT_EQ(ws::accept_for(key), accept);
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: " + accept, "ok"},
      {"HTTP/1.1 101 OK\r\n \tsec-websocket-ACCEPT\t :  " + accept + "  ", "ok"},
      {"HTTP/1.1 101\r\ngarbage\r\nSec-WebSocket-Accept: " + accept, "ok"},
      {"HTTP/1.1 403 Forbidden\r\nSec-WebSocket-Accept: " + accept, "upgrade refused: HTTP/1.1 403 Forbidden"},
      {"HTTP/1.1 4\xff", "upgrade refused: HTTP/1.1 4\xEF\xBF\xBD"},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket", "no Sec-WebSocket-Accept header"},
      {"Sec-WebSocket-Accept: " + accept + " 101", "no Sec-WebSocket-Accept header"},
      {"HTTP/1.1 101\r\nSec-WebSocket-Accept: S3PPLMBITXAQ9KYGZZHZRBK+XOO=",
       "accept mismatch: got S3PPLMBITXAQ9KYGZZHZRBK+XOO=, want " + accept},
      {"HTTP/1.1 101\r\nSec-WebSocket-Accept: wrong\r\nSec-WebSocket-Accept: " + accept,
       "accept mismatch: got wrong, want " + accept},
  };
  for (const auto& [head, expected] : cases) {
    auto r = ws::check_response_head(head, key);
    EXPECT_EQ(r ? "ok" : r.error().message(), expected) << head;
  }
}

// The server answers the upgrade with `response`, or by default accepts it and sends two messages right behind, in
// one write or one byte at a time; the client takes each as it comes.
TEST(HandshakeTest, TheConnectReadsTheResponseAndTheFramesBehindIt) {
  const std::string frames =
      frame(0x81, text_of(126), std::array<unsigned char, 4>{1, 2, 3, 4}) + frame(0x81, "tiny", {}, 4);
  const std::tuple<std::optional<std::string>, bool, bool, std::string> cases[] = {
      // response, bytewise, then close, the messages or the error
      {std::nullopt, false, false, text_of(126) + " tiny"},
      {std::nullopt, true, false, text_of(126) + " tiny"},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false, false,
       "websocket protocol: upgrade refused: HTTP/1.1 404 Not Found"},
      {"HTTP/1.1 101 Switching", false, true, "websocket protocol: connection closed by peer"},
      {"HTTP/1.1 101\r\nX: " + std::string(ws::kHandshakeLimit, 'p'), false, false,
       "websocket protocol: handshake headers too large"},
      {"", false, false, stalled("sent", 300)},
  };
  for (const auto& [response, bytewise, then_close, outcome] : cases) {
    LoopbackServer server([&](Peer& peer) {
      const std::string request = peer.read_until("\r\n\r\n");
      const std::size_t at = request.find("Sec-WebSocket-Key: ") + 19;
      const std::string bytes = response ? *response
                                         : "HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: " +
                                               ws::accept_for(request.substr(at, request.find("\r\n", at) - at)) +
                                               "\r\n\r\n" + frames;
      for (std::size_t i = 0; i < bytes.size(); i += bytewise ? 1 : bytes.size()) {
        peer.write(bytes.substr(i, bytewise ? 1 : bytes.size()));
        if (bytewise) std::this_thread::sleep_for(100us);
      }
      if (!then_close) peer.wait_for_close();
    });
    auto ws = Ws::connect("ws://127.0.0.1:" + std::to_string(server.port()) + "/devtools/page/1",
                          response == "" ? kShort : kPatient);
    std::string got = ws ? ws->recv_text().value_or("failed") : ws.error().display();
    if (ws) got += " " + ws->recv_text().value_or("failed");
    EXPECT_EQ(got, outcome) << bytewise;
  }
}

TEST(SendTest, UsesTheShortestLengthFormAndMasks) {
  for (const auto& [size, code] : {std::pair{0, 0}, {125, 125}, {126, 126}, {65535, 126}, {65536, 127}}) {
    auto [ws, end] = connected();
    ASSERT_TRUE(ws && ws->send_frame(ws::kText, text_of(size)));
    EXPECT_EQ(read_client_frame(end), std::tuple(0x81, 0x80 | code, text_of(size))) << size;
  }
}

// The first message read from `frames`, or the error; the peer's end stays open unless `then_close`.
std::string first_message(const std::string& frames, bool then_close = false,
                          std::chrono::milliseconds timeout = kPatient) {
  auto [ws, end] = connected(timeout);
  if (!ws || !net::send_all(end, frames)) return "no connection";
  if (then_close) end.reset();
  auto text = ws->recv_text();
  return text ? *text : text.error().display();
}

TEST(ReceiveTest, ReturnsWholeMessagesOrFailsWithItsMessage) {
  const std::string k126 = text_of(126), k65535 = text_of(65535), k65536 = text_of(65536);
  const Mask mask = std::array<unsigned char, 4>{1, 2, 3, 0xfe};
  const std::string error = "websocket protocol: ";
  const std::tuple<std::string, std::string, bool> cases[] = {  // frames, message or error, then close
      {frame(0x81, ""), "", false},
      {frame(0x81, k126), k126, false},
      {frame(0xf2, k65535), k65535, false},  // binary, reserved bits set
      {frame(0x81, k65536), k65536, false},
      {frame(0x01, "{\"a\":", mask) + frame(0x00, "12") + frame(0x80, "3}", mask), "{\"a\":123}", false},
      {frame(0x8a, "p") + frame(0x81, "after pong"), "after pong", false},
      {frame(0x01, "dropped") + frame(0x81, "kept"), "kept", false},
      {frame(0x01, "\xe2\x82") + frame(0x80, "\xac"), "\xe2\x82\xac", false},
      {frame(0x81, "", {}, 268435457), error + "frame of 268435457 bytes exceeds limit", false},
      {frame(0x01, "x") + frame(0x80, "", {}, 268435456), error + "message exceeds limit", false},
      // At the limits nothing is refused: the client reads on until the peer goes.
      {frame(0x81, "abc", {}, 268435456), error + "connection closed by peer", true},
      {frame(0x01, "x") + frame(0x80, "abc", {}, 268435455), error + "connection closed by peer", true},
      {frame(0x80, "lost"), error + "continuation without start", false},
      {frame(0x01, "a") + frame(0x88, "\x03\xe8"), error + "peer sent close", false},
      {frame(0x81, "ok so\xff"), error + "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 5", false},
      {frame(0x81, "ab\xe2\x82("), error + "invalid utf-8: invalid utf-8 sequence of 2 bytes from index 2", false},
      {frame(0x01, "ab") + frame(0x80, "\xe2\x82"),
       error + "invalid utf-8: incomplete utf-8 byte sequence from index 2", false},
      // Past the check of plain ASCII eight bytes at a time.
      {frame(0x81, std::string(1000, 'a') + "\xfe"),
       error + "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 1000", false},
      {frame(0x83, "x"), error + "unknown opcode 0x3", false},
  };
  for (const auto& [frames, outcome, then_close] : cases)
    EXPECT_EQ(first_message(frames, then_close), outcome) << outcome.substr(0, 40);
  // Nothing, or a frame cut in its length or its payload, and then silence.
  for (const std::string& cut : {std::string(), std::string("\x81\x7e\x01"), frame(0x81, "complete").substr(0, 5)})
    EXPECT_EQ(first_message(cut, false, 300ms), stalled("sent", 300));
}

TEST(ReceiveTest, APingBetweenFragmentsIsAnsweredWithItsPayload) {
  auto [ws, end] = connected();
  ASSERT_TRUE(ws && net::send_all(end, frame(0x01, "Hel") +
                                           frame(0x89, "xyz", std::array<unsigned char, 4>{0x55, 0, 0xaa, 3}) +
                                           frame(0x80, "lo")));
  EXPECT_EQ(ws->recv_text().value_or("failed"), "Hello");
  EXPECT_EQ(read_client_frame(end), std::tuple(0x8a, 0x83, "xyz"));
}

TEST(ReceiveTest, APeerThatStopsReadingFailsWithItsMessage) {
  // The smallest send buffer holds a handful of pongs; the peer reads none.
  auto [ws, end] = connected(100ms, 1);
  std::string pings;
  for (int i = 0; i < 500; ++i) pings += frame(0x89, "");
  ASSERT_TRUE(ws && net::send_all(end, pings));
  auto got = ws->recv_text();
  EXPECT_EQ(got ? "received" : got.error().display(), stalled("read", 100));
}

}  // namespace
}  // namespace kestrelite
