#include "ws.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base64.hpp"
#include "loopback.hpp"

namespace kestrelite {
namespace {

using namespace std::chrono_literals;
using testing_loopback::kPatient;
using testing_loopback::kShort;
using testing_loopback::LoopbackServer;
using testing_loopback::Peer;

const std::string kSilentMessage =
    "websocket protocol: the browser sent nothing for 300ms. It is usually overloaded rather than broken -- "
    "try fewer devices at once, or give the machine more memory.";

std::string url_for(const LoopbackServer& server, std::string_view path = "/devtools/page/1") {
  return "ws://127.0.0.1:" + std::to_string(server.port()) + std::string(path);
}

std::string display(const Error& e) { return e.display(); }

// Connects to `server` and receives one message; the connection closes on
// return.
Result<std::string> receive_one(const LoopbackServer& server) {
  auto ws = Ws::connect(url_for(server), kPatient);
  if (!ws) return fail(std::move(ws.error()));
  return ws->recv_text();
}

// A frame as a server writes it: `first` is the FIN, reserved and opcode
// bits. `form` forces the 7-, 16- or 64-bit length form; by default the
// shortest one is used.
std::string server_frame(std::uint8_t first, std::string_view payload,
                         std::optional<std::array<unsigned char, 4>> mask = {}, int form = 0) {
  const std::uint64_t n = payload.size();
  if (form == 0) form = n < 126 ? 7 : n <= 65535 ? 16 : 64;
  std::string f(1, static_cast<char>(first));
  const char mask_bit = mask ? '\x80' : '\0';
  if (form == 7) {
    f += static_cast<char>(mask_bit | static_cast<char>(n));
  } else if (form == 16) {
    f += static_cast<char>(mask_bit | 126);
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n);
  } else {
    f += static_cast<char>(mask_bit | 127);
    for (int shift = 56; shift >= 0; shift -= 8) f += static_cast<char>(n >> shift);
  }
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

// A client frame as read off the wire, payload already unmasked.
struct WireFrame {
  std::uint8_t first = 0;
  bool masked = false;
  int length_code = -1;
  std::uint64_t length = 0;
  std::string key;
  std::string payload;
};

WireFrame read_client_frame(Peer& peer) {
  WireFrame f;
  std::string head = peer.read_exact(2);
  if (head.size() < 2) return f;
  f.first = static_cast<std::uint8_t>(head[0]);
  f.masked = (head[1] & 0x80) != 0;
  f.length_code = head[1] & 0x7f;
  f.length = static_cast<std::uint64_t>(f.length_code);
  std::size_t extra = f.length_code == 126 ? 2 : f.length_code == 127 ? 8 : 0;
  if (extra > 0) {
    f.length = 0;
    for (unsigned char c : peer.read_exact(extra)) f.length = f.length << 8 | c;
  }
  if (f.masked) f.key = peer.read_exact(4);
  f.payload = peer.read_exact(static_cast<std::size_t>(f.length));
  for (std::size_t i = 0; i < f.payload.size() && f.key.size() == 4; ++i) f.payload[i] ^= f.key[i % 4];
  return f;
}

std::string response_for(std::string_view request, std::string_view extra_headers = "") {
  std::size_t at = request.find("Sec-WebSocket-Key: ");
  std::string key(request.substr(at + 19, request.find("\r\n", at) - at - 19));
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
         std::string(extra_headers) + "Sec-WebSocket-Accept: " + ws::accept_for(key) + "\r\n\r\n";
}

// Answers the upgrade request; `then` follows in the same write.
void accept_upgrade(Peer& peer, std::string_view then = "") {
  peer.write(response_for(peer.read_until("\r\n\r\n")) + std::string(then));
}

// A server that answers the handshake, writes `frames` in one piece and
// keeps the connection open until the client goes.
LoopbackServer serving(std::string frames) {
  return LoopbackServer([frames](Peer& peer) {
    accept_upgrade(peer, frames);
    peer.wait_for_close();
  });
}

// ---------------------------------------------------------------- URLs

struct UrlCase {
  const char* name;
  const char* url;
  const char* host;  // nullptr: the URL is refused with `error`
  std::uint16_t port;
  const char* path;
  const char* error;
};

const UrlCase kUrlCases[] = {
    {"host_port_path", "ws://127.0.0.1:9222/devtools/page/AB", "127.0.0.1", 9222, "/devtools/page/AB", nullptr},
    {"no_path", "ws://localhost:9222", "localhost", 9222, "/", nullptr},
    {"no_port", "ws://localhost/devtools", "localhost", 80, "/devtools", nullptr},
    {"bare_host", "ws://localhost", "localhost", 80, "/", nullptr},
    {"empty_authority", "ws://", "", 80, "/", nullptr},
    {"plus_port", "ws://h:+9222/x", "h", 9222, "/x", nullptr},
    {"leading_zeros", "ws://h:00080/", "h", 80, "/", nullptr},
    {"port_zero", "ws://h:0/", "h", 0, "/", nullptr},
    {"largest_port", "ws://h:65535/", "h", 65535, "/", nullptr},
    {"colon_and_query_in_path", "ws://h:7/a:8/b?c=d:9&e", "h", 7, "/a:8/b?c=d:9&e", nullptr},
    {"brackets_kept", "ws://[::1]:9222/x", "[::1]", 9222, "/x", nullptr},
    {"last_colon_splits", "ws://a:b:12/", "a:b", 12, "/", nullptr},
    {"empty_port", "ws://h:/x", nullptr, 0, nullptr, "websocket protocol: bad port in ws://h:/x"},
    {"lone_plus", "ws://h:+/x", nullptr, 0, nullptr, "websocket protocol: bad port in ws://h:+/x"},
    {"lone_minus", "ws://h:-/x", nullptr, 0, nullptr, "websocket protocol: bad port in ws://h:-/x"},
    {"negative", "ws://h:-1/x", nullptr, 0, nullptr, "websocket protocol: bad port in ws://h:-1/x"},
    {"too_large", "ws://h:65536/x", nullptr, 0, nullptr, "websocket protocol: bad port in ws://h:65536/x"},
    {"far_too_large", "ws://h:99999999999999999999999", nullptr, 0, nullptr,
     "websocket protocol: bad port in ws://h:99999999999999999999999"},
    {"letter", "ws://h:92a2/x", nullptr, 0, nullptr, "websocket protocol: bad port in ws://h:92a2/x"},
    {"blank", "ws://h: 80/x", nullptr, 0, nullptr, "websocket protocol: bad port in ws://h: 80/x"},
    {"ipv6_without_port", "ws://[::1]/x", nullptr, 0, nullptr, "websocket protocol: bad port in ws://[::1]/x"},
    {"secure", "wss://h:1/x", nullptr, 0, nullptr, "websocket protocol: only ws:// is supported, got wss://h:1/x"},
    {"upper_case", "WS://h:1/x", nullptr, 0, nullptr, "websocket protocol: only ws:// is supported, got WS://h:1/x"},
    {"http", "http://h:1/x", nullptr, 0, nullptr, "websocket protocol: only ws:// is supported, got http://h:1/x"},
    {"too_short", "ws:/", nullptr, 0, nullptr, "websocket protocol: only ws:// is supported, got ws:/"},
    {"empty", "", nullptr, 0, nullptr, "websocket protocol: only ws:// is supported, got "},
};

class UrlTest : public testing::TestWithParam<UrlCase> {};

TEST_P(UrlTest, SplitsHostPortAndPath) {
  const UrlCase& c = GetParam();
  auto url = ws::parse_url(c.url);
  if (c.host == nullptr) {
    ASSERT_FALSE(url);
    EXPECT_EQ(url.error().display(), c.error);
    return;
  }
  ASSERT_TRUE(url) << url.error().display();
  EXPECT_EQ(url->host, c.host);
  EXPECT_EQ(url->port, c.port);
  EXPECT_EQ(url->path, c.path);
}

INSTANTIATE_TEST_SUITE_P(Urls, UrlTest, testing::ValuesIn(kUrlCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WsConnectTest, RefusedUrlFailsBeforeConnecting) {
  auto ws = Ws::connect("wss://127.0.0.1:1/", kShort);
  ASSERT_FALSE(ws);
  EXPECT_EQ(display(ws.error()), "websocket protocol: only ws:// is supported, got wss://127.0.0.1:1/");
  ws = Ws::connect("ws://127.0.0.1:70000/", kShort);
  ASSERT_FALSE(ws);
  EXPECT_EQ(display(ws.error()), "websocket protocol: bad port in ws://127.0.0.1:70000/");
}

TEST(UpgradeRequestTest, HostHeaderAlwaysNamesThePort) {
  EXPECT_EQ(ws::upgrade_request(*ws::parse_url("ws://localhost/devtools/browser"), "KEY"),
            "GET /devtools/browser HTTP/1.1\r\nHost: localhost:80\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: KEY\r\nSec-WebSocket-Version: 13\r\n\r\n");
  EXPECT_EQ(ws::upgrade_request(*ws::parse_url("ws://h:+0081"), "K"),
            "GET / HTTP/1.1\r\nHost: h:81\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: K\r\nSec-WebSocket-Version: 13\r\n\r\n");
}

// ------------------------------------------------------ handshake check

// The example exchange of RFC 6455, section 1.3.
constexpr std::string_view kKey = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr std::string_view kAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

TEST(AcceptForTest, MatchesTheRfcExample) { EXPECT_EQ(ws::accept_for(kKey), kAccept); }

struct HeadCase {
  const char* name;
  const char* head;
  const char* error;  // nullptr: accepted
};

const HeadCase kHeadCases[] = {
    {"usual",
     "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
     "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=",
     nullptr},
    {"lower_case_name_spaced_value",
     "HTTP/1.1 101 Switching Protocols\r\nsec-websocket-accept:   s3pPLMBiTxaQ9kYGzzhZRbK+xOo=  ", nullptr},
    {"spaced_name", "HTTP/1.1 101 OK\r\n \tSEC-WEBSOCKET-ACCEPT\t :s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", nullptr},
    {"line_without_colon_skipped",
     "HTTP/1.1 101\r\ngarbage line\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", nullptr},
    {"101_anywhere_in_status", "xx101yy\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", nullptr},
    {"refused", "HTTP/1.1 403 Forbidden\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=",
     "websocket protocol: upgrade refused: HTTP/1.1 403 Forbidden"},
    {"empty_head", "", "websocket protocol: upgrade refused: "},
    {"101_only_in_later_line", "HTTP/1.1 200 OK\r\nX: 101", "websocket protocol: upgrade refused: HTTP/1.1 200 OK"},
    {"invalid_utf8_status",
     "HTTP/1.1 4\xff"
     "0 Bad",
     "websocket protocol: upgrade refused: HTTP/1.1 4\xEF\xBF\xBD"
     "0 Bad"},
    {"no_accept", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket",
     "websocket protocol: no Sec-WebSocket-Accept header"},
    {"status_only", "HTTP/1.1 101 Switching Protocols", "websocket protocol: no Sec-WebSocket-Accept header"},
    {"status_line_is_not_a_header", "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo= 101",
     "websocket protocol: no Sec-WebSocket-Accept header"},
    {"accept_name_without_colon", "HTTP/1.1 101\r\nSec-WebSocket-Accept s3pPLMBiTxaQ9kYGzzhZRbK+xOo=",
     "websocket protocol: no Sec-WebSocket-Accept header"},
    {"mismatch", "HTTP/1.1 101\r\nSec-WebSocket-Accept: nope",
     "websocket protocol: accept mismatch: got nope, want s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
    {"value_compared_with_case", "HTTP/1.1 101\r\nSec-WebSocket-Accept: S3PPLMBITXAQ9KYGZZHZRBK+XOO=",
     "websocket protocol: accept mismatch: got S3PPLMBITXAQ9KYGZZHZRBK+XOO=, want s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
    {"first_accept_line_counts",
     "HTTP/1.1 101\r\nSec-WebSocket-Accept: wrong\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=",
     "websocket protocol: accept mismatch: got wrong, want s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
    {"empty_value", "HTTP/1.1 101\r\nSec-WebSocket-Accept:",
     "websocket protocol: accept mismatch: got , want s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
};

class HeadTest : public testing::TestWithParam<HeadCase> {};

TEST_P(HeadTest, ChecksStatusAndAccept) {
  auto r = ws::check_response_head(GetParam().head, kKey);
  if (GetParam().error == nullptr) {
    EXPECT_TRUE(r) << r.error().display();
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(Heads, HeadTest, testing::ValuesIn(kHeadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------- helpers

TEST(RandomBytesTest, FillsMoreThanOneRequestWorth) {
  std::vector<unsigned char> a(1000), b(1000);
  ASSERT_TRUE(ws::random_bytes(a));
  ASSERT_TRUE(ws::random_bytes(b));
  EXPECT_NE(a, b);
  // Each 256-byte request lands in its own part of the buffer.
  EXPECT_NE(std::vector<unsigned char>(a.begin() + 744, a.end()), std::vector<unsigned char>(1000 - 744, 0));
}

struct Utf8Case {
  const char* name;
  std::string bytes;
  const char* error;  // nullptr: valid
};

const Utf8Case kUtf8Cases[] = {
    {"empty", "", nullptr},
    {"ascii", "{\"id\":1}", nullptr},
    {"multibyte", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", nullptr},
    {"stray_continuation", "abcde\x80",
     "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index 5"},
    {"invalid_lead",
     "ab\xff"
     "cd",
     "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index 2"},
    {"overlong", "\xc0\x80", "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"},
    {"surrogate", "x\xed\xa0\x80", "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index 1"},
    {"above_max", "\xf4\x90\x80\x80",
     "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"},
    {"two_byte_broken", "\xc3(", "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"},
    {"three_byte_broken_third", "ab\xe2\x82(",
     "websocket protocol: invalid utf-8: invalid utf-8 sequence of 2 bytes from index 2"},
    {"four_byte_broken_fourth", "\xf0\x9f\x98(",
     "websocket protocol: invalid utf-8: invalid utf-8 sequence of 3 bytes from index 0"},
    {"cut_off_three", "abc\xe2\x82", "websocket protocol: invalid utf-8: incomplete utf-8 byte sequence from index 3"},
    {"cut_off_lead", "0123456789\xf0",
     "websocket protocol: invalid utf-8: incomplete utf-8 byte sequence from index 10"},
    {"after_long_ascii", std::string(1000, 'a') + "\xfe",
     "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index 1000"},
};

class FinishTest : public testing::TestWithParam<Utf8Case> {};

TEST_P(FinishTest, AcceptsOnlyUtf8AndNamesThePosition) {
  auto r = ws::finish(GetParam().bytes);
  if (GetParam().error == nullptr) {
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(*r, GetParam().bytes);
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(Utf8, FinishTest, testing::ValuesIn(kUtf8Cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------------------------- handshake

struct RequestCase {
  const char* name;
  const char* path;  // as written in the URL
  const char* sent;  // as it must appear in the request line
};

const RequestCase kRequestCases[] = {
    {"no_path", "", "/"},
    {"path", "/devtools/page/9F3A", "/devtools/page/9F3A"},
    {"colon_and_query", "/a:1/b?x=2:3", "/a:1/b?x=2:3"},
};

class RequestTest : public testing::TestWithParam<RequestCase> {};

TEST_P(RequestTest, SendsTheUpgradeRequestInOnePiece) {
  std::string request;
  LoopbackServer server([&](Peer& peer) {
    request = peer.read_until("\r\n\r\n");
    peer.write(response_for(request));
    peer.wait_for_close();
  });
  {
    auto ws = Ws::connect(url_for(server, GetParam().path), kPatient);
    ASSERT_TRUE(ws) << ws.error().display();
  }
  server.join();
  std::size_t at = request.find("Sec-WebSocket-Key: ");
  ASSERT_NE(at, std::string::npos) << request;
  std::string key = request.substr(at + 19, 24);
  auto nonce = base64::decode(key);
  ASSERT_TRUE(nonce) << nonce.error();
  EXPECT_EQ(nonce->size(), 16u);
  EXPECT_EQ(request, "GET " + std::string(GetParam().sent) +
                         " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                         "\r\nSec-WebSocket-Version: 13\r\n\r\n");
}

INSTANTIATE_TEST_SUITE_P(Paths, RequestTest, testing::ValuesIn(kRequestCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HandshakeTest, KeysDifferBetweenConnections) {
  std::string keys[2];
  for (std::string& key : keys) {
    LoopbackServer server([&](Peer& peer) {
      std::string request = peer.read_until("\r\n\r\n");
      key = request.substr(request.find("Sec-WebSocket-Key: ") + 19, 24);
      peer.write(response_for(request));
      peer.wait_for_close();
    });
    ASSERT_TRUE(Ws::connect(url_for(server), kPatient));
  }
  EXPECT_NE(keys[0], keys[1]);
}

TEST(HandshakeTest, LowerCaseAcceptWithSpacesAndFirstFrameInTheSameSegment) {
  // The server writes nothing after this one segment: if the client needed
  // another read to see the frame, it would time out.
  LoopbackServer server([](Peer& peer) {
    std::string response = response_for(peer.read_until("\r\n\r\n"));
    std::size_t at = response.find("Sec-WebSocket-Accept: ");
    response.replace(at, 22, "sec-websocket-accept:   ");
    response.insert(response.size() - 4, "  ");
    peer.write(response + server_frame(0x81, "{\"id\":1}"));
    peer.wait_for_close();
  });
  auto text = receive_one(server);
  ASSERT_TRUE(text) << text.error().display();
  EXPECT_EQ(*text, "{\"id\":1}");
}

// A response head padded with an extra header to exactly `head_bytes`
// bytes before its terminating blank line.
std::string padded_response(std::string_view request, std::size_t head_bytes) {
  std::string head = response_for(request, "X-Pad: \r\n");
  head.resize(head.size() - 4);  // without the blank line
  std::size_t at = head.find("X-Pad: ") + 7;
  head.insert(at, std::string(head_bytes - head.size(), 'p'));
  return head;
}

TEST(HandshakeTest, HeadOfExactlyTheLimitStillCompletes) {
  LoopbackServer server([](Peer& peer) {
    std::string head = padded_response(peer.read_until("\r\n\r\n"), ws::kHandshakeLimit);
    // Give the client time to hold all of the limit before the end arrives.
    peer.write(head);
    std::this_thread::sleep_for(50ms);
    peer.write("\r\n\r\n" + server_frame(0x81, "after"));
    peer.wait_for_close();
  });
  auto text = receive_one(server);
  ASSERT_TRUE(text) << text.error().display();
  EXPECT_EQ(*text, "after");
}

TEST(HandshakeTest, OneByteOverTheLimitFails) {
  LoopbackServer server([](Peer& peer) {
    peer.write(padded_response(peer.read_until("\r\n\r\n"), ws::kHandshakeLimit + 1));
    peer.wait_for_close();
  });
  auto ws = Ws::connect(url_for(server), kPatient);
  ASSERT_FALSE(ws);
  EXPECT_EQ(display(ws.error()), "websocket protocol: handshake headers too large");
}

TEST(HandshakeTest, TerminatorSplitAcrossReads) {
  LoopbackServer server([](Peer& peer) {
    std::string response = response_for(peer.read_until("\r\n\r\n"));
    peer.write(response.substr(0, response.size() - 3));
    std::this_thread::sleep_for(20ms);
    peer.write(response.substr(response.size() - 3) + server_frame(0x81, "ok"));
    peer.wait_for_close();
  });
  auto text = receive_one(server);
  ASSERT_TRUE(text) << text.error().display();
  EXPECT_EQ(*text, "ok");
}

struct RefusalCase {
  const char* name;
  LoopbackServer::Script script;
  std::string error;
};

const RefusalCase kRefusalCases[] = {
    {"status_not_101",
     [](Peer& peer) {
       peer.read_until("\r\n\r\n");
       peer.write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
       peer.wait_for_close();
     },
     "websocket protocol: upgrade refused: HTTP/1.1 404 Not Found"},
    {"no_accept",
     [](Peer& peer) {
       peer.read_until("\r\n\r\n");
       peer.write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n");
       peer.wait_for_close();
     },
     "websocket protocol: no Sec-WebSocket-Accept header"},
    {"closed_in_head",
     [](Peer& peer) {
       peer.read_until("\r\n\r\n");
       peer.write("HTTP/1.1 101 Switching");
     },
     "websocket protocol: connection closed by peer"},
    {"silent",
     [](Peer& peer) {
       peer.read_until("\r\n\r\n");
       peer.wait_for_close();
     },
     kSilentMessage},
};

class RefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, FailsTheConnect) {
  LoopbackServer server(GetParam().script);
  auto ws = Ws::connect(url_for(server), GetParam().error == kSilentMessage ? kShort : kPatient);
  ASSERT_FALSE(ws);
  EXPECT_EQ(display(ws.error()), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusalTest, testing::ValuesIn(kRefusalCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HandshakeTest, WrongAcceptNamesBothValues) {
  std::string key;
  LoopbackServer server([&](Peer& peer) {
    std::string request = peer.read_until("\r\n\r\n");
    key = request.substr(request.find("Sec-WebSocket-Key: ") + 19, 24);
    peer.write("HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    peer.wait_for_close();
  });
  auto ws = Ws::connect(url_for(server), kPatient);
  server.join();
  ASSERT_FALSE(ws);
  EXPECT_EQ(display(ws.error()),
            "websocket protocol: accept mismatch: got s3pPLMBiTxaQ9kYGzzhZRbK+xOo=, want " + ws::accept_for(key));
}

TEST(ConnectTest, NothingListeningIsAnIoError) {
  // A bound socket that does not listen holds the port and refuses.
  int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), size), 0);
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
  auto ws = Ws::connect("ws://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/", kPatient);
  ::close(holder);
  ASSERT_FALSE(ws);
  EXPECT_EQ(ws.error().kind(), Error::Kind::Io);
  EXPECT_EQ(ws.error().io_code().value(), ECONNREFUSED);
}

// ------------------------------------------------------------- sending

struct LengthCase {
  std::size_t size;
  int code;
};

class SendLengthTest : public testing::TestWithParam<LengthCase> {};

TEST_P(SendLengthTest, UsesTheLengthFormAndMasks) {
  WireFrame frame;
  LoopbackServer server([&](Peer& peer) {
    accept_upgrade(peer);
    frame = read_client_frame(peer);
    peer.wait_for_close();
  });
  const std::string payload = text_of(GetParam().size);
  {
    auto ws = Ws::connect(url_for(server), kPatient);
    ASSERT_TRUE(ws) << ws.error().display();
    ASSERT_TRUE(ws->send_frame(ws::kText, payload));
  }
  server.join();
  EXPECT_EQ(frame.first, 0x81);
  EXPECT_TRUE(frame.masked);
  EXPECT_EQ(frame.length_code, GetParam().code);
  EXPECT_EQ(frame.length, GetParam().size);
  EXPECT_EQ(frame.key.size(), 4u);
  EXPECT_EQ(frame.payload, payload);
}

INSTANTIATE_TEST_SUITE_P(Forms, SendLengthTest,
                         testing::Values(LengthCase{0, 0}, LengthCase{125, 125}, LengthCase{126, 126},
                                         LengthCase{65535, 126}, LengthCase{65536, 127}),
                         [](const auto& info) { return "bytes_" + std::to_string(info.param.size); });

TEST(SendTest, EveryFrameHasAFreshMaskAndCloseIsEmpty) {
  WireFrame frames[3];
  LoopbackServer server([&](Peer& peer) {
    accept_upgrade(peer);
    for (WireFrame& f : frames) f = read_client_frame(peer);
    peer.wait_for_close();
  });
  {
    auto ws = Ws::connect(url_for(server), kPatient);
    ASSERT_TRUE(ws) << ws.error().display();
    ASSERT_TRUE(ws->send_frame(ws::kText, "same"));
    ASSERT_TRUE(ws->send_frame(ws::kBinary, "same"));
    ws->close();
  }
  server.join();
  EXPECT_EQ(frames[0].payload, "same");
  EXPECT_EQ(frames[1].first, 0x82);
  EXPECT_EQ(frames[1].payload, "same");
  EXPECT_NE(frames[0].key, frames[1].key);
  EXPECT_EQ(frames[2].first, 0x88);
  EXPECT_TRUE(frames[2].masked);
  EXPECT_EQ(frames[2].length_code, 0);
}

TEST(SendTest, WritingToAGonePeerIsAnErrorNotASignal) {
  // SIGPIPE left at its default would end this process.
  auto previous = std::signal(SIGPIPE, SIG_DFL);
  LoopbackServer server([](Peer& peer) { accept_upgrade(peer); });
  auto ws = Ws::connect(url_for(server), kPatient);
  ASSERT_TRUE(ws) << ws.error().display();
  server.join();
  auto text = ws->recv_text();
  ASSERT_FALSE(text);
  EXPECT_EQ(display(text.error()), "websocket protocol: connection closed by peer");
  Result<void> sent;
  for (int i = 0; i < 100 && sent; ++i) {
    sent = ws->send_frame(ws::kText, "{}");
    if (sent) std::this_thread::sleep_for(5ms);
  }
  std::signal(SIGPIPE, previous);
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().kind(), Error::Kind::Io);
  EXPECT_TRUE(sent.error().io_code().value() == EPIPE || sent.error().io_code().value() == ECONNRESET)
      << display(sent.error());
  ws->close();
}

// ----------------------------------------------------------- receiving

struct ReceiveCase {
  const char* name;
  std::string frames;
  std::string text;
};

const std::string k126 = text_of(126);
const std::string k65535 = text_of(65535);
const std::string k65536 = text_of(65536);

const ReceiveCase kReceiveCases[] = {
    {"empty", server_frame(0x81, ""), ""},
    {"len_125", server_frame(0x81, text_of(125)), text_of(125)},
    {"len_126", server_frame(0x81, k126), k126},
    {"len_65535", server_frame(0x81, k65535), k65535},
    {"len_65536", server_frame(0x81, k65536), k65536},
    {"short_in_64_bit_form", server_frame(0x81, "hello", {}, 64), "hello"},
    {"short_in_16_bit_form", server_frame(0x81, "hello", {}, 16), "hello"},
    {"masked_by_server", server_frame(0x81, k126, std::array<unsigned char, 4>{1, 2, 3, 0xfe}), k126},
    {"binary", server_frame(0x82, "{\"b\":1}"), "{\"b\":1}"},
    {"reserved_bits_ignored", server_frame(0xf1, "rsv"), "rsv"},
    {"fragments", server_frame(0x01, "{\"a\":") + server_frame(0x00, "12") + server_frame(0x80, "3}"), "{\"a\":123}"},
    {"masked_fragments",
     server_frame(0x01, "ab", std::array<unsigned char, 4>{9, 8, 7, 6}) +
         server_frame(0x80, "cdefg", std::array<unsigned char, 4>{1, 1, 1, 1}),
     "abcdefg"},
    {"pong_skipped", server_frame(0x8a, "p") + server_frame(0x81, "after pong"), "after pong"},
    {"unfinished_message_replaced", server_frame(0x01, "dropped") + server_frame(0x81, "kept"), "kept"},
    {"unfinished_message_replaced_by_binary", server_frame(0x01, "dropped") + server_frame(0x82, "kept"), "kept"},
    {"utf8_split_between_fragments", server_frame(0x01, "\xe2\x82") + server_frame(0x80, "\xac"), "\xe2\x82\xac"},
};

class MessageTest : public testing::TestWithParam<ReceiveCase> {};

TEST_P(MessageTest, ReturnsTheWholeMessage) {
  LoopbackServer server = serving(GetParam().frames);
  auto text = receive_one(server);
  ASSERT_TRUE(text) << text.error().display();
  EXPECT_EQ(*text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Messages, MessageTest, testing::ValuesIn(kReceiveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReceiveTest, PingBetweenFragmentsIsAnsweredAndTheMessageKeptWhole) {
  WireFrame pong;
  LoopbackServer server([&](Peer& peer) {
    accept_upgrade(peer, server_frame(0x01, "Hel") + server_frame(0x89, "ping-data") + server_frame(0x80, "lo"));
    pong = read_client_frame(peer);
    peer.wait_for_close();
  });
  auto text = receive_one(server);
  ASSERT_TRUE(text) << text.error().display();
  EXPECT_EQ(*text, "Hello");
  server.join();
  EXPECT_EQ(pong.first, 0x8a);
  EXPECT_TRUE(pong.masked);
  EXPECT_EQ(pong.payload, "ping-data");
}

TEST(ReceiveTest, MaskedPingIsAnsweredWithItsUnmaskedPayload) {
  WireFrame pong;
  LoopbackServer server([&](Peer& peer) {
    accept_upgrade(
        peer, server_frame(0x89, "xyz", std::array<unsigned char, 4>{0x55, 0, 0xaa, 3}) + server_frame(0x81, "done"));
    pong = read_client_frame(peer);
    peer.wait_for_close();
  });
  auto text = receive_one(server);
  ASSERT_TRUE(text) << text.error().display();
  EXPECT_EQ(*text, "done");
  server.join();
  EXPECT_EQ(pong.payload, "xyz");
}

TEST(ReceiveTest, FramesArrivingOneByteAtATime) {
  const std::string frames =
      server_frame(0x81, k126, std::array<unsigned char, 4>{1, 2, 3, 4}) + server_frame(0x81, "tiny", {}, 64);
  LoopbackServer server([&](Peer& peer) {
    accept_upgrade(peer);
    for (char c : frames) {
      peer.write(std::string(1, c));
      std::this_thread::sleep_for(100us);
    }
    peer.wait_for_close();
  });
  auto ws = Ws::connect(url_for(server), kPatient);
  ASSERT_TRUE(ws) << ws.error().display();
  auto first = ws->recv_text();
  ASSERT_TRUE(first) << first.error().display();
  EXPECT_EQ(*first, k126);
  auto second = ws->recv_text();
  ASSERT_TRUE(second) << second.error().display();
  EXPECT_EQ(*second, "tiny");
}

TEST(ReceiveTest, ManyMessagesInOneSegmentComeOutInOrder) {
  std::string frames;
  for (int i = 0; i < 2000; ++i) frames += server_frame(0x81, "{\"id\":" + std::to_string(i) + "}");
  LoopbackServer server = serving(frames);
  auto connected = Ws::connect(url_for(server), kPatient);
  ASSERT_TRUE(connected) << connected.error().display();
  Ws ws = std::move(*connected);  // buffered bytes move with the Ws
  for (int i = 0; i < 2000; ++i) {
    auto text = ws.recv_text();
    ASSERT_TRUE(text) << i << ": " << text.error().display();
    ASSERT_EQ(*text, "{\"id\":" + std::to_string(i) + "}");
  }
}

struct FailureCase {
  std::string name;
  std::string frames;
  std::string error;
  bool then_close = false;  // the server closes after the frames instead of waiting
};

std::string unknown_opcode(int opcode) {
  static constexpr char kHex[] = "0123456789abcdef";
  return std::string("websocket protocol: unknown opcode 0x") + kHex[opcode];
}

std::vector<FailureCase> failure_cases() {
  std::vector<FailureCase> cases = {
      {"frame_of_2_pow_63", header64(0x81, 1ULL << 63),
       "websocket protocol: frame of 9223372036854775808 bytes exceeds limit"},
      {"frame_of_max_u64", header64(0x81, ~0ULL),
       "websocket protocol: frame of 18446744073709551615 bytes exceeds limit"},
      {"frame_one_over_limit", header64(0x81, 268435457), "websocket protocol: frame of 268435457 bytes exceeds limit"},
      {"masked_frame_over_limit", header64(0x81, 268435457).replace(1, 1, "\xff"),
       "websocket protocol: frame of 268435457 bytes exceeds limit"},
      {"continuation_over_limit", server_frame(0x01, "x") + header64(0x80, 268435456),
       "websocket protocol: message exceeds limit"},
      // At the limits nothing is refused: the client reads on until the peer goes.
      {"frame_at_limit", header64(0x81, 268435456) + "abc", "websocket protocol: connection closed by peer", true},
      {"message_at_limit", server_frame(0x01, "x") + header64(0x80, 268435455) + "abc",
       "websocket protocol: connection closed by peer", true},
      {"continuation_without_start", server_frame(0x80, "lost"), "websocket protocol: continuation without start"},
      {"close", server_frame(0x88, ""), "websocket protocol: peer sent close"},
      {"close_with_status",
       server_frame(0x88,
                    "\x03\xe8"
                    "bye"),
       "websocket protocol: peer sent close"},
      {"close_between_fragments", server_frame(0x01, "a") + server_frame(0x88, ""),
       "websocket protocol: peer sent close"},
      {"invalid_utf8_text", server_frame(0x81, "ok so\xff"),
       "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index 5"},
      {"invalid_utf8_binary", server_frame(0x82, "\x89PNG"),
       "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"cut_utf8_in_fragments", server_frame(0x01, "ab") + server_frame(0x80, "\xe2\x82"),
       "websocket protocol: invalid utf-8: incomplete utf-8 byte sequence from index 2"},
      {"silent_after_handshake", "", kSilentMessage},
      {"silent_in_header", "\x81\x7e\x01", kSilentMessage},
      {"silent_in_payload", server_frame(0x81, "complete").substr(0, 5), kSilentMessage},
  };
  for (int opcode : {3, 4, 5, 6, 7, 11, 12, 13, 14, 15}) {
    cases.push_back({"unknown_opcode_" + std::to_string(opcode),
                     server_frame(static_cast<std::uint8_t>(0x80 | opcode), "x"), unknown_opcode(opcode)});
  }
  return cases;
}

class FailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, FailsWithItsMessage) {
  const FailureCase& c = GetParam();
  LoopbackServer server =
      c.then_close ? LoopbackServer([&c](Peer& peer) { accept_upgrade(peer, c.frames); }) : serving(c.frames);
  auto ws = Ws::connect(url_for(server), c.error == kSilentMessage ? kShort : kPatient);
  ASSERT_TRUE(ws) << ws.error().display();
  auto text = ws->recv_text();
  ASSERT_FALSE(text) << *text;
  EXPECT_EQ(display(text.error()), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Failures, FailureTest, testing::ValuesIn(failure_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(ReceiveTest, PeerClosingIsReported) {
  LoopbackServer server([](Peer& peer) { accept_upgrade(peer, server_frame(0x81, "last")); });
  auto ws = Ws::connect(url_for(server), kPatient);
  ASSERT_TRUE(ws) << ws.error().display();
  auto last = ws->recv_text();
  ASSERT_TRUE(last) << last.error().display();
  EXPECT_EQ(*last, "last");
  auto gone = ws->recv_text();
  ASSERT_FALSE(gone);
  EXPECT_EQ(display(gone.error()), "websocket protocol: connection closed by peer");
}

TEST(ReceiveTest, TimeoutAboveOneSecondIsStillHonouredAndStated) {
  LoopbackServer server = serving("");
  auto ws = Ws::connect(url_for(server), 1100ms);
  ASSERT_TRUE(ws) << ws.error().display();
  auto text = ws->recv_text();
  ASSERT_FALSE(text);
  EXPECT_EQ(display(text.error()),
            "websocket protocol: the browser sent nothing for 1100ms. It is usually overloaded rather than broken -- "
            "try fewer devices at once, or give the machine more memory.");
}

TEST(WsOverTest, ReadsFramesFromAnyConnectedSocket) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  net::Socket theirs(fds[1]);
  auto ws = Ws::over(net::Socket(fds[0]), kPatient);
  ASSERT_TRUE(ws) << ws.error().display();
  std::string frames = server_frame(0x81, "one") + server_frame(0x89, "") + server_frame(0x81, "two");
  ASSERT_EQ(::write(theirs.fd(), frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
  EXPECT_EQ(ws->recv_text().value_or("failed"), "one");
  EXPECT_EQ(ws->recv_text().value_or("failed"), "two");
  char pong[6];
  ASSERT_EQ(::read(theirs.fd(), pong, sizeof pong), 6);
  EXPECT_EQ(static_cast<unsigned char>(pong[0]), 0x8a);
  EXPECT_EQ(static_cast<unsigned char>(pong[1]), 0x80);
}

// ------------------------------------------------------- descriptors

// Every socket this process holds, and whether it is close-on-exec.
std::vector<std::pair<int, bool>> open_sockets() {
  std::vector<std::pair<int, bool>> out;
  for (int fd = 0; fd < 4096; ++fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    out.emplace_back(fd, (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
  }
  return out;
}

TEST(DescriptorTest, ConnectionSocketIsCloseOnExec) {
  LoopbackServer server = serving("");
  auto before = open_sockets();
  auto ws = Ws::connect(url_for(server), kPatient);
  ASSERT_TRUE(ws) << ws.error().display();
  auto after = open_sockets();
  EXPECT_GT(after.size(), before.size());
  for (auto [fd, cloexec] : after) EXPECT_TRUE(cloexec) << "socket " << fd;
}

}  // namespace
}  // namespace kestrelite
