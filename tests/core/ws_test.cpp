// The WebSocket client: URLs and the handshake against a loopback server,
// frames over a socket pair whose other end the test writes and reads.
#include "ws.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <optional>
#include <thread>

#include "loopback.hpp"

namespace kestrelite {
namespace {

using namespace std::chrono_literals;
using testing_loopback::kPatient;
using testing_loopback::kShort;
using testing_loopback::LoopbackServer;
using testing_loopback::Peer;
using Mask = std::optional<std::array<unsigned char, 4>>;

std::string silent(int ms) {
  return "websocket protocol: the browser sent nothing for " + std::to_string(ms) +
         "ms. It is usually overloaded rather than broken -- try fewer devices at once, or give the machine more "
         "memory.";
}

// A frame as a server writes it: `first` holds FIN, reserved and opcode
// bits; `form` forces the 7-, 16- or 64-bit length form (default: shortest);
// `length` is announced instead of the payload's when given.
std::string frame(std::uint8_t first, std::string_view payload, Mask mask = {}, int form = 0,
                  std::optional<std::uint64_t> length = {}) {
  const std::uint64_t n = length.value_or(payload.size());
  if (form == 0) form = n < 126 ? 7 : n <= 65535 ? 16 : 64;
  const std::uint64_t code = form == 7 ? n : form == 16 ? 126 : 127;
  std::string f{static_cast<char>(first), static_cast<char>((mask ? 0x80 : 0) | code)};
  for (int shift = form == 16 ? 8 : form == 64 ? 56 : -8; shift >= 0; shift -= 8) f += static_cast<char>(n >> shift);
  std::string body(payload);
  if (mask) {
    f.append(reinterpret_cast<const char*>(mask->data()), 4);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(body[i] ^ (*mask)[i % 4]);
  }
  return f + body;
}

// Only the header of a frame announcing `length` bytes in the 64-bit form.
std::string header64(std::uint8_t first, std::uint64_t length) { return frame(first, "", {}, 64, length); }

std::string text_of(std::size_t n) {
  std::string s(n, 'a');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

// A client frame as read off the wire: its first two bytes and its payload, unmasked.
std::tuple<int, int, std::string> read_client_frame(int fd) {
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

// A Ws over one end of a socket pair, and the other end, whose reads give
// up after five seconds.
std::pair<Result<Ws>, UniqueFd> connected(std::chrono::milliseconds timeout = kPatient) {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const timeval patience{5, 0};
  ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  return {Ws::over(UniqueFd(fds[0]), timeout), UniqueFd(fds[1])};
}

std::string url_for(const LoopbackServer& server) {
  return "ws://127.0.0.1:" + std::to_string(server.port()) + "/devtools/page/1";
}

std::string response_for(std::string_view request) {
  std::size_t at = request.find("Sec-WebSocket-Key: ");
  std::string key(request.substr(at + 19, request.find("\r\n", at) - at - 19));
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
         ws::accept_for(key) + "\r\n\r\n";
}

TEST(UrlTest, SplitsHostPortAndPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"ws://127.0.0.1:9222/devtools/page/AB", "127.0.0.1 9222 /devtools/page/AB"},
      {"ws://localhost/devtools", "localhost 80 /devtools"},
      {"ws://h:7/a:8/b?c=d:9", "h 7 /a:8/b?c=d:9"},
      {"ws://[::1]:9222/x", "[::1] 9222 /x"},
      {"ws://h:/x", "websocket protocol: bad port in ws://h:/x"},
      {"ws://h:65536/x", "websocket protocol: bad port in ws://h:65536/x"},
      {"ws://h:99999999999999999999", "websocket protocol: bad port in ws://h:99999999999999999999"},
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

TEST(HandshakeTest, RefusedOrUnfinishedHandshakesFailTheConnect) {
  const std::tuple<std::string, bool, std::string> cases[] = {  // response, then close, error
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false,
       "websocket protocol: upgrade refused: HTTP/1.1 404 Not Found"},
      {"HTTP/1.1 101 Switching", true, "websocket protocol: connection closed by peer"},
      {"HTTP/1.1 101\r\nX: " + std::string(ws::kHandshakeLimit, 'p'), false,
       "websocket protocol: handshake headers too large"},
      {"", false, silent(300)},
  };
  for (const auto& [response, then_close, error] : cases) {
    LoopbackServer server([&](Peer& peer) {
      peer.read_until("\r\n\r\n");
      peer.write(response);
      if (!then_close) peer.wait_for_close();
    });
    auto ws = Ws::connect(url_for(server), kShort);
    EXPECT_EQ(ws ? "connected" : ws.error().display(), error);
  }
}

// Frames right behind the response, in one write, and then every byte on
// its own: the client takes each as it comes.
TEST(HandshakeTest, FramesArriveWithTheResponseOrOneByteAtATime) {
  const std::string frames = frame(0x81, text_of(126), std::array<unsigned char, 4>{1, 2, 3, 4}) +
                             frame(0x81, "tiny", {}, 64);
  for (bool bytewise : {false, true}) {
    LoopbackServer server([&](Peer& peer) {
      const std::string bytes = response_for(peer.read_until("\r\n\r\n")) + frames;
      if (!bytewise) peer.write(bytes);
      for (std::size_t i = 0; bytewise && i < bytes.size(); ++i) {
        peer.write(bytes.substr(i, 1));
        std::this_thread::sleep_for(100us);
      }
      peer.wait_for_close();
    });
    auto ws = Ws::connect(url_for(server), kPatient);
    ASSERT_TRUE(ws) << ws.error().display();
    EXPECT_EQ(ws->recv_text().value_or("failed"), text_of(126)) << bytewise;
    EXPECT_EQ(ws->recv_text().value_or("failed"), "tiny") << bytewise;
  }
}

TEST(SendTest, UsesTheShortestLengthFormAndMasks) {
  for (const auto& [size, code] : {std::pair{0, 0}, {125, 125}, {126, 126}, {65535, 126}, {65536, 127}}) {
    auto [ws, end] = connected();
    ASSERT_TRUE(ws && ws->send_frame(ws::kText, text_of(size)));
    EXPECT_EQ(read_client_frame(end.get()), std::tuple(0x81, 0x80 | code, text_of(size))) << size;
  }
}

// The first message read from `frames`, or the error; the peer's end stays
// open unless `then_close`.
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
      {frame(0x81, "hello", {}, 64), "hello", false},
      {frame(0x81, k126, mask), k126, false},
      {frame(0x01, "{\"a\":", mask) + frame(0x00, "12") + frame(0x80, "3}", mask), "{\"a\":123}", false},
      {frame(0x8a, "p") + frame(0x81, "after pong"), "after pong", false},
      {frame(0x01, "dropped") + frame(0x81, "kept"), "kept", false},
      {frame(0x01, "\xe2\x82") + frame(0x80, "\xac"), "\xe2\x82\xac", false},
      {header64(0x81, 1ULL << 63), error + "frame of 9223372036854775808 bytes exceeds limit", false},
      {header64(0x81, 268435457), error + "frame of 268435457 bytes exceeds limit", false},
      {frame(0x01, "x") + header64(0x80, 268435456), error + "message exceeds limit", false},
      // At the limits nothing is refused: the client reads on until the peer goes.
      {header64(0x81, 268435456) + "abc", error + "connection closed by peer", true},
      {frame(0x01, "x") + header64(0x80, 268435455) + "abc", error + "connection closed by peer", true},
      {frame(0x80, "lost"), error + "continuation without start", false},
      {frame(0x01, "a") + frame(0x88, "\x03\xe8"), error + "peer sent close", false},
      {frame(0x81, "ok so\xff"), error + "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 5", false},
      {frame(0x81, "ab\xe2\x82("), error + "invalid utf-8: invalid utf-8 sequence of 2 bytes from index 2", false},
      {frame(0x01, "ab") + frame(0x80, "\xe2\x82"),
       error + "invalid utf-8: incomplete utf-8 byte sequence from index 2", false},
      {frame(0x81, std::string(1000, 'a') + "\xfe"),
       error + "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 1000", false},
      {frame(0x83, "x"), error + "unknown opcode 0x3", false},
  };
  for (const auto& [frames, outcome, then_close] : cases)
    EXPECT_EQ(first_message(frames, then_close), outcome) << outcome.substr(0, 40);
  for (const std::string& cut : {std::string(), std::string("\x81\x7e\x01"), frame(0x81, "complete").substr(0, 5)})
    EXPECT_EQ(first_message(cut, false, 300ms), silent(300));
}

TEST(ReceiveTest, APingBetweenFragmentsIsAnsweredWithItsPayload) {
  auto [ws, end] = connected();
  ASSERT_TRUE(ws && net::send_all(end, frame(0x01, "Hel") +
                                           frame(0x89, "xyz", std::array<unsigned char, 4>{0x55, 0, 0xaa, 3}) +
                                           frame(0x80, "lo")));
  EXPECT_EQ(ws->recv_text().value_or("failed"), "Hello");
  EXPECT_EQ(read_client_frame(end.get()), std::tuple(0x8a, 0x83, "xyz"));
}

TEST(ReceiveTest, APeerThatStopsReadingFailsWithItsMessage) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd ours(fds[0]), peer(fds[1]);
  // The smallest send buffer holds a handful of pongs; the peer reads none.
  int small = 1;
  ASSERT_EQ(::setsockopt(ours.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  std::string pings;
  for (int i = 0; i < 500; ++i) pings += frame(0x89, "");
  ASSERT_TRUE(net::send_all(peer, pings));
  auto ws = Ws::over(std::move(ours), 100ms);
  ASSERT_TRUE(ws) << ws.error().display();
  auto got = ws->recv_text();
  EXPECT_EQ(got ? "received" : got.error().display(),
            "websocket protocol: the browser read nothing for 100ms. It is usually overloaded rather than broken -- "
            "try fewer devices at once, or give the machine more memory.");
}

}  // namespace
}  // namespace kestrelite
