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

const std::string kSilent =
    "websocket protocol: the browser sent nothing for 300ms. It is usually overloaded rather than broken -- "
    "try fewer devices at once, or give the machine more memory.";

std::string url_for(const LoopbackServer& server) {
  return "ws://127.0.0.1:" + std::to_string(server.port()) + "/devtools/page/1";
}

// A frame as a server writes it: `first` holds FIN, reserved and opcode
// bits; `form` forces the 7-, 16- or 64-bit length form (default: shortest).
std::string frame(std::uint8_t first, std::string_view payload, Mask mask = {}, int form = 0) {
  const std::uint64_t n = payload.size();
  if (form == 0) form = n < 126 ? 7 : n <= 65535 ? 16 : 64;
  std::string f(1, static_cast<char>(first));
  const int code = form == 7 ? static_cast<int>(n) : form == 16 ? 126 : 127;
  f += static_cast<char>((mask ? 0x80 : 0) | code);
  for (int shift = form == 16 ? 8 : form == 64 ? 56 : -8; shift >= 0; shift -= 8) f += static_cast<char>(n >> shift);
  std::string body(payload);
  if (mask) {
    f.append(reinterpret_cast<const char*>(mask->data()), 4);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(body[i] ^ (*mask)[i % 4]);
  }
  return f + body;
}

// Only the header of a frame announcing `length` bytes in the 64-bit form.
std::string header64(std::uint8_t first, std::uint64_t length) {
  std::string f{static_cast<char>(first), '\x7f'};
  for (int shift = 56; shift >= 0; shift -= 8) f += static_cast<char>(length >> shift);
  return f;
}

std::string text_of(std::size_t n) {
  std::string s(n, 'a');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

// A client frame as read off the wire, payload unmasked.
struct WireFrame {
  std::uint8_t first = 0;
  bool masked = false;
  int length_code = -1;
  std::string payload;
};

WireFrame read_client_frame(Peer& peer) {
  WireFrame f;
  std::string head = peer.read_exact(2);
  if (head.size() < 2) return f;
  f.first = static_cast<std::uint8_t>(head[0]);
  f.masked = (head[1] & 0x80) != 0;
  f.length_code = head[1] & 0x7f;
  std::uint64_t length = static_cast<std::uint64_t>(f.length_code);
  if (length >= 126) {
    length = 0;
    for (unsigned char c : peer.read_exact(f.length_code == 126 ? 2 : 8)) length = length << 8 | c;
  }
  std::string key = f.masked ? peer.read_exact(4) : std::string(4, '\0');
  f.payload = peer.read_exact(static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < f.payload.size(); ++i) f.payload[i] ^= key[i % 4];
  return f;
}

std::string response_for(std::string_view request) {
  std::size_t at = request.find("Sec-WebSocket-Key: ");
  std::string key(request.substr(at + 19, request.find("\r\n", at) - at - 19));
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
         ws::accept_for(key) + "\r\n\r\n";
}

// Answers the upgrade request; `then` follows in the same write.
void accept_upgrade(Peer& peer, std::string_view then = "") {
  peer.write(response_for(peer.read_until("\r\n\r\n")) + std::string(then));
}

// The parsed URL as "host port path", or the error.
std::string parsed(std::string_view url) {
  auto u = ws::parse_url(url);
  return u ? u->host + " " + std::to_string(u->port) + " " + u->path : u.error().display();
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
  for (const auto& [url, expected] : cases) EXPECT_EQ(parsed(url), expected) << url;
}

// ------------------------------------------------------------ handshake

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
      {"", false, kSilent},
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

// -------------------------------------------------------------- sending

TEST(SendTest, UsesTheShortestLengthFormAndMasks) {
  for (const auto& [size, code] : {std::pair{0, 0}, {125, 125}, {126, 126}, {65535, 126}, {65536, 127}}) {
    WireFrame sent;
    LoopbackServer server([&](Peer& peer) {
      accept_upgrade(peer);
      sent = read_client_frame(peer);
      peer.wait_for_close();
    });
    {
      auto ws = Ws::connect(url_for(server), kPatient);
      ASSERT_TRUE(ws && ws->send_frame(ws::kText, text_of(size)));
    }
    server.join();
    EXPECT_EQ(std::tuple(sent.first, sent.masked, sent.length_code), std::tuple(0x81, true, code)) << size;
    EXPECT_EQ(sent.payload, text_of(size)) << size;
  }
}

// ------------------------------------------------------------ receiving

// Connects to a server that answers the handshake and writes `frames`, then
// closes or waits for the client; the first message or the error.
std::string first_message(const std::string& frames, bool then_close = false,
                          std::chrono::milliseconds timeout = kPatient) {
  LoopbackServer server([&](Peer& peer) {
    accept_upgrade(peer, frames);
    if (!then_close) peer.wait_for_close();
  });
  auto ws = Ws::connect(url_for(server), timeout);
  if (!ws) return "connect: " + ws.error().display();
  auto text = ws->recv_text();
  return text ? *text : text.error().display();
}

TEST(ReceiveTest, ReturnsWholeMessages) {
  const std::string k126 = text_of(126), k65535 = text_of(65535), k65536 = text_of(65536);
  const Mask mask = std::array<unsigned char, 4>{1, 2, 3, 0xfe};
  const std::pair<std::string, std::string> cases[] = {
      {frame(0x81, ""), ""},
      {frame(0x81, k126), k126},
      {frame(0xf2, k65535), k65535},  // binary, reserved bits set
      {frame(0x81, k65536), k65536},
      {frame(0x81, "hello", {}, 64), "hello"},
      {frame(0x81, k126, mask), k126},
      {frame(0x01, "{\"a\":", mask) + frame(0x00, "12") + frame(0x80, "3}", mask), "{\"a\":123}"},
      {frame(0x8a, "p") + frame(0x81, "after pong"), "after pong"},
      {frame(0x01, "dropped") + frame(0x81, "kept"), "kept"},
      {frame(0x01, "\xe2\x82") + frame(0x80, "\xac"), "\xe2\x82\xac"},
  };
  for (const auto& [frames, text] : cases) EXPECT_EQ(first_message(frames), text) << text.substr(0, 20);
}

TEST(ReceiveTest, FailsWithItsMessage) {
  const std::tuple<std::string, std::string, bool> cases[] = {  // frames, error, then close
      {header64(0x81, 1ULL << 63), "frame of 9223372036854775808 bytes exceeds limit", false},
      {header64(0x81, 268435457), "frame of 268435457 bytes exceeds limit", false},
      {frame(0x01, "x") + header64(0x80, 268435456), "message exceeds limit", false},
      // At the limits nothing is refused: the client reads on until the peer goes.
      {header64(0x81, 268435456) + "abc", "connection closed by peer", true},
      {frame(0x01, "x") + header64(0x80, 268435455) + "abc", "connection closed by peer", true},
      {frame(0x80, "lost"), "continuation without start", false},
      {frame(0x01, "a") + frame(0x88, "\x03\xe8"), "peer sent close", false},
      {frame(0x81, "ok so\xff"), "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 5", false},
      {frame(0x81, "ab\xe2\x82("), "invalid utf-8: invalid utf-8 sequence of 2 bytes from index 2", false},
      {frame(0x01, "ab") + frame(0x80, "\xe2\x82"), "invalid utf-8: incomplete utf-8 byte sequence from index 2",
       false},
      {frame(0x81, std::string(1000, 'a') + "\xfe"),
       "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 1000", false},
      {frame(0x83, "x"), "unknown opcode 0x3", false},
  };
  for (const auto& [frames, error, then_close] : cases)
    EXPECT_EQ(first_message(frames, then_close), "websocket protocol: " + error);
  for (const std::string& cut : {std::string(), std::string("\x81\x7e\x01"), frame(0x81, "complete").substr(0, 5)})
    EXPECT_EQ(first_message(cut, false, kShort), kSilent);
}

TEST(ReceiveTest, APingBetweenFragmentsIsAnsweredWithItsPayload) {
  WireFrame pong;
  LoopbackServer server([&](Peer& peer) {
    accept_upgrade(peer, frame(0x01, "Hel") + frame(0x89, "xyz", std::array<unsigned char, 4>{0x55, 0, 0xaa, 3}) +
                             frame(0x80, "lo"));
    pong = read_client_frame(peer);
    peer.wait_for_close();
  });
  auto ws = Ws::connect(url_for(server), kPatient);
  ASSERT_TRUE(ws) << ws.error().display();
  EXPECT_EQ(ws->recv_text().value_or("failed"), "Hello");
  server.join();
  EXPECT_EQ(std::tuple(pong.first, pong.masked, pong.payload), std::tuple(0x8a, true, "xyz"));
}

TEST(ReceiveTest, APeerThatStopsReadingFailsWithItsMessage) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd ours(fds[0]);
  UniqueFd peer(fds[1]);
  // The smallest send buffer holds a handful of pongs; the peer reads none.
  int small = 1;
  ASSERT_EQ(::setsockopt(ours.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  std::string pings;
  for (int i = 0; i < 500; ++i) pings += frame(0x89, "");
  ASSERT_TRUE(net::send_all(peer, pings));
  auto ws = Ws::over(std::move(ours), 100ms);
  ASSERT_TRUE(ws) << ws.error().display();
  auto got = ws->recv_text();
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().display(),
            "websocket protocol: the browser read nothing for 100ms. It is usually overloaded rather than broken -- "
            "try fewer devices at once, or give the machine more memory.");
}

TEST(ReceiveTest, HandshakeAndFramesArrivingOneByteAtATime) {
  const std::string frames =
      frame(0x81, text_of(126), std::array<unsigned char, 4>{1, 2, 3, 4}) + frame(0x81, "tiny", {}, 64);
  LoopbackServer server([&](Peer& peer) {
    for (char c : response_for(peer.read_until("\r\n\r\n")) + frames) {
      peer.write(std::string(1, c));
      std::this_thread::sleep_for(100us);
    }
    peer.wait_for_close();
  });
  auto ws = Ws::connect(url_for(server), kPatient);
  ASSERT_TRUE(ws) << ws.error().display();
  EXPECT_EQ(ws->recv_text().value_or("failed"), text_of(126));
  EXPECT_EQ(ws->recv_text().value_or("failed"), "tiny");
}

}  // namespace
}  // namespace kestrelite
