#include "ws.hpp"

#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base64.hpp"
#include "http.hpp"
#include "json_text.hpp"

namespace kestrelite {

namespace ws {

namespace {

constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
// The operating system hands out at most this many random bytes per request.
constexpr std::size_t kEntropyChunk = 256;

// Length of the invalid UTF-8 sequence at bytes[i], counting the lead byte
// and the continuation bytes that still fit it, or 0 when a sequence that
// was valid so far is cut off by the end of the bytes.
std::size_t invalid_sequence_length(std::string_view bytes, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
  const unsigned char lead = at(0);
  const std::size_t width = lead >= 0xC2 && lead <= 0xDF   ? 2
                            : lead >= 0xE0 && lead <= 0xEF ? 3
                            : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                           : 0;
  if (width == 0) return 1;
  // The second byte's range excludes overlong forms, surrogates and values
  // above U+10FFFF.
  unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  std::size_t k = 1;
  for (; k < width; ++k) {
    if (i + k >= bytes.size()) return 0;
    unsigned char c = at(k);
    if (k == 1 ? c < low || c > high : (c & 0xC0) != 0x80) break;
  }
  return k;
}

std::string describe_invalid_utf8(std::string_view bytes, std::size_t index) {
  std::size_t length = invalid_sequence_length(bytes, index);
  if (length == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(index);
  return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " + std::to_string(index);
}

void unmask(char* data, std::size_t size, const unsigned char key[4]) {
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(data[i] ^ key[i & 3]);
}

std::uint64_t read_big_endian(const unsigned char* p, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}

}  // namespace

Result<Url> parse_url(std::string_view url) {
  if (!url.starts_with("ws://")) return fail(Error::protocol("only ws:// is supported, got " + std::string(url)));
  std::string_view rest = url.substr(5);
  std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  Url out;
  out.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) {
    out.host = std::string(authority);
    return out;
  }
  std::optional<std::uint16_t> port = net::parse_port(authority.substr(colon + 1));
  if (!port) return fail(Error::protocol("bad port in " + std::string(url)));
  out.port = *port;
  out.host = std::string(authority.substr(0, colon));
  return out;
}

std::string upgrade_request(const Url& url, std::string_view key) {
  std::string request = "GET ";
  request += url.path;
  request += " HTTP/1.1\r\nHost: ";
  request += url.host;
  request += ':';
  request += std::to_string(url.port);
  request += "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ";
  request += key;
  request += "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  return request;
}

Result<void> check_response_head(std::string_view head, std::string_view key) {
  const std::string text = json_text::lossy_utf8(head);
  std::size_t end = text.find("\r\n");
  std::string_view status = std::string_view(text).substr(0, end);
  if (status.find("101") == std::string_view::npos)
    return fail(Error::protocol("upgrade refused: " + std::string(status)));
  // The status line is not a header, whatever it contains.
  auto received = end == std::string_view::npos
                      ? std::nullopt
                      : http::header_value(std::string_view(text).substr(end + 2), "Sec-WebSocket-Accept");
  if (!received) return fail(Error::protocol("no Sec-WebSocket-Accept header"));
  std::string expected = accept_for(key);
  if (*received != expected)
    return fail(Error::protocol("accept mismatch: got " + std::string(*received) + ", want " + expected));
  return {};
}

std::string accept_for(std::string_view key) {
  std::string input(key);
  input += kGuid;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  return base64::encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

Result<void> random_bytes(std::span<unsigned char> out) {
  while (!out.empty()) {
    std::size_t n = std::min(out.size(), kEntropyChunk);
    if (::getentropy(out.data(), n) != 0)
      return fail(Error::protocol(std::string("rng unavailable: ") + std::strerror(errno)));
    out = out.subspan(n);
  }
  return {};
}

Result<std::string> finish(std::string bytes) {
  std::size_t valid = json_text::valid_utf8_prefix(bytes);
  if (valid != bytes.size()) return fail(Error::protocol("invalid utf-8: " + describe_invalid_utf8(bytes, valid)));
  return bytes;
}

}  // namespace ws

namespace {

// The browser stopped sending (`did` is "sent") or reading ("read").
Error stalled(std::string_view did, std::chrono::milliseconds timeout) {
  return Error::protocol("the browser " + std::string(did) + " nothing for " + std::to_string(timeout.count()) +
                         "ms. It is usually overloaded rather than broken -- try fewer devices at once, or give the "
                         "machine more memory.");
}

}  // namespace

Ws::Ws(UniqueFd socket, std::chrono::milliseconds timeout) : timeout_(timeout), stream_(std::move(socket)) {
  buf_.reserve(8192);
}

Result<Ws> Ws::over(UniqueFd socket, std::chrono::milliseconds timeout) {
  // Reads wake at least once a second, so the deadline of a fill is kept
  // within a second even when the socket timeout would allow more.
  auto read_timeout = std::min<std::chrono::milliseconds>(timeout, std::chrono::seconds(1));
  if (auto r = net::set_timeouts(socket, read_timeout, timeout); !r) return fail(std::move(r.error()));
  return Ws(std::move(socket), timeout);
}

Result<Ws> Ws::connect(std::string_view url, std::chrono::milliseconds timeout) {
  auto parsed = ws::parse_url(url);
  if (!parsed) return fail(std::move(parsed.error()));
  auto socket = net::connect(parsed->host, parsed->port);
  if (!socket) return fail(std::move(socket.error()));
  auto ws = over(std::move(*socket), timeout);
  if (!ws) return ws;
  if (auto r = net::set_no_delay(ws->stream_); !r) return fail(std::move(r.error()));
  if (auto r = ws->handshake(*parsed); !r) return fail(std::move(r.error()));
  return ws;
}

Result<void> Ws::handshake(const ws::Url& url) {
  unsigned char nonce[16];
  if (auto r = ws::random_bytes(nonce); !r) return r;
  const std::string key = base64::encode(std::string_view(reinterpret_cast<const char*>(nonce), sizeof nonce));
  if (auto r = transmit(ws::upgrade_request(url, key)); !r) return r;

  static constexpr std::string_view kEnd = "\r\n\r\n";
  std::size_t searched = 0;  // the terminator does not start before this
  for (;;) {
    std::string_view held(buf_);
    if (held.size() >= kEnd.size()) {
      std::size_t end = held.find(kEnd, searched);
      if (end != std::string_view::npos) {
        std::string head(held.substr(0, end));
        consume(end + kEnd.size());
        return ws::check_response_head(head, key);
      }
      searched = held.size() - (kEnd.size() - 1);
    }
    if (held.size() > ws::kHandshakeLimit) return fail(Error::protocol("handshake headers too large"));
    if (auto r = fill(); !r) return r;
  }
}

Result<std::size_t> Ws::receive(char* data, std::size_t size) {
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  for (;;) {
    auto got = net::recv_some(stream_, data, size);
    if (got) {
      if (*got == 0) return fail(Error::protocol("connection closed by peer"));
      return got;
    }
    if (!net::is_timeout(got.error())) return got;
    if (std::chrono::steady_clock::now() >= deadline)
      return fail(stalled("sent", timeout_));
  }
}

Result<void> Ws::transmit(std::string_view bytes) {
  auto sent = net::send_all(stream_, bytes);
  // The write timeout ran out with the peer's buffer full: it has stopped
  // reading, and what was written of a frame cannot be taken back.
  if (!sent && net::is_timeout(sent.error()))
    return fail(stalled("read", timeout_));
  return sent;
}

Result<void> Ws::fill() {
  if (start_ > 0) {
    buf_.erase(0, start_);
    start_ = 0;
  }
  const std::size_t old = buf_.size();
  Result<std::size_t> got = 0;
  // The operation returns the size it filled: libstdc++ 12 passes it the
  // grown capacity rather than the size asked for.
  buf_.resize_and_overwrite(old + ws::kReadSize, [&](char* data, std::size_t) {
    got = receive(data + old, ws::kReadSize);
    return old + (got ? *got : 0);
  });
  if (!got) return fail(std::move(got.error()));
  return {};
}

Result<void> Ws::fill_to(std::size_t n) {
  while (buffered() < n) {
    if (auto r = fill(); !r) return r;
  }
  return {};
}

Result<void> Ws::take_payload(std::size_t header, std::size_t size, std::string& out) {
  const std::size_t held = std::min(buffered() - header, size);
  const std::size_t at = out.size();
  Result<void> status;
  out.resize_and_overwrite(at + size, [&](char* data, std::size_t) {
    std::memcpy(data + at, unread() + header, held);
    std::size_t have = held;
    while (have < size) {
      auto got = receive(data + at + have, std::min(size - have, ws::kReadSize));
      if (!got) {
        status = fail(std::move(got.error()));
        break;
      }
      have += *got;
    }
    return at + have;
  });
  consume(header + held);
  return status;
}

void Ws::consume(std::size_t n) {
  start_ += n;
  if (start_ == buf_.size()) {
    buf_.clear();
    start_ = 0;
  }
}

Result<void> Ws::send_frame(std::uint8_t opcode, std::string_view payload) {
  unsigned char key[4];
  if (auto r = ws::random_bytes(key); !r) return r;
  const std::size_t n = payload.size();
  std::string frame;
  frame.reserve(n + 14);
  frame += static_cast<char>(0x80 | opcode);
  if (n < 126) {
    frame += static_cast<char>(0x80 | n);
  } else if (n <= 65535) {
    frame += static_cast<char>(0x80 | 126);
    for (int shift = 8; shift >= 0; shift -= 8) frame += static_cast<char>(n >> shift);
  } else {
    frame += static_cast<char>(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>(static_cast<std::uint64_t>(n) >> shift);
  }
  frame.append(reinterpret_cast<const char*>(key), 4);
  const std::size_t body = frame.size();
  frame += payload;
  ws::unmask(frame.data() + body, n, key);
  return transmit(frame);
}

Result<std::string> Ws::recv_text() {
  std::string message;
  bool started = false;
  for (;;) {
    if (auto r = fill_to(2); !r) return fail(std::move(r.error()));
    const bool fin = (unread()[0] & 0x80) != 0;
    const std::uint8_t opcode = unread()[0] & 0x0F;
    const bool masked = (unread()[1] & 0x80) != 0;
    std::uint64_t length = unread()[1] & 0x7F;
    std::size_t header = 2;
    if (length == 126) {
      if (auto r = fill_to(4); !r) return fail(std::move(r.error()));
      length = ws::read_big_endian(unread() + 2, 2);
      header = 4;
    } else if (length == 127) {
      if (auto r = fill_to(10); !r) return fail(std::move(r.error()));
      length = ws::read_big_endian(unread() + 2, 8);
      if (length > ws::kFrameLimit)
        return fail(Error::protocol("frame of " + std::to_string(length) + " bytes exceeds limit"));
      header = 10;
    }
    unsigned char key[4] = {};
    if (masked) {
      if (auto r = fill_to(header + 4); !r) return fail(std::move(r.error()));
      std::memcpy(key, unread() + header, 4);
      header += 4;
    }
    // A fragment that cannot fit is refused before its payload is read.
    if (opcode == ws::kContinuation && started && message.size() + length > ws::kFrameLimit)
      return fail(Error::protocol("message exceeds limit"));

    const bool data = opcode == ws::kContinuation || opcode == ws::kText || opcode == ws::kBinary;
    // A new text or binary frame drops any unfinished message.
    if (opcode == ws::kText || opcode == ws::kBinary) message.clear();
    std::string control;
    std::string& payload = data ? message : control;
    const std::size_t at = payload.size();
    if (auto r = take_payload(header, static_cast<std::size_t>(length), payload); !r) return fail(std::move(r.error()));
    if (masked) ws::unmask(payload.data() + at, payload.size() - at, key);

    switch (opcode) {
      case ws::kContinuation:
        if (!started) return fail(Error::protocol("continuation without start"));
        [[fallthrough]];
      case ws::kText:
      case ws::kBinary:
        started = true;
        if (fin) return ws::finish(std::move(message));
        break;
      case ws::kClose:
        return fail(Error::protocol("peer sent close"));
      case ws::kPing:
        if (auto r = send_frame(ws::kPong, control); !r) return fail(std::move(r.error()));
        break;
      case ws::kPong:
        break;
      default:
        return fail(Error::protocol(std::string("unknown opcode 0x") + "0123456789abcdef"[opcode]));
    }
  }
}

void Ws::close() { static_cast<void>(send_frame(ws::kClose, {})); }

}  // namespace kestrelite
