// A minimal blocking client WebSocket (RFC 6455) over plain TCP, for the
// DevTools connection to one browser.
//
// Only what that conversation needs exists: ws:// URLs, the opening
// handshake without subprotocols or extensions, unfragmented masked
// outgoing frames, reassembly of fragmented incoming messages, pongs for
// pings and a best-effort Close. An incoming Close is an error, not a state.
// Socket failures are Error::Io; everything else is Error::Protocol with a
// fixed message. A frame announcing more than kFrameLimit bytes, or a
// fragment that would take a message beyond it, fails from its header before
// any of its payload is read. Every wait for the peer is bounded by the
// timeout given to connect: a peer silent that long fails with a message
// stating the timeout in milliseconds. A Ws is used by one thread at a
// time. After any error the connection is unusable; dropping a Ws closes
// the socket without sending anything.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "kestrelite/error.hpp"
#include "net.hpp"

namespace kestrelite {

namespace ws {

// Bytes that may be buffered while the end of the handshake response is
// still missing; one byte more is an error.
inline constexpr std::size_t kHandshakeLimit = 65536;
// The largest frame payload, and the largest message assembled from
// fragments; the value itself is accepted.
inline constexpr std::uint64_t kFrameLimit = 268435456;
// The most bytes one read takes from the socket.
inline constexpr std::size_t kReadSize = 65536;

inline constexpr std::uint8_t kContinuation = 0;
inline constexpr std::uint8_t kText = 1;
inline constexpr std::uint8_t kBinary = 2;
inline constexpr std::uint8_t kClose = 8;
inline constexpr std::uint8_t kPing = 9;
inline constexpr std::uint8_t kPong = 10;

// Where a ws:// URL points. `host` is used as written (brackets stay);
// `path` keeps its query; a URL without port names port 80.
struct Url {
  std::string host;
  std::uint16_t port = 80;
  std::string path;
};

Result<Url> parse_url(std::string_view url);

// The upgrade request for `url`, carrying `key` (24 characters of base64).
std::string upgrade_request(const Url& url, std::string_view key);

// Checks a handshake response head (the bytes before its blank line) for a
// 101 status and the accept value that `key` asks for.
Result<void> check_response_head(std::string_view head, std::string_view key);

// The Sec-WebSocket-Accept value that answers `key`.
std::string accept_for(std::string_view key);

// Fills `out` from the operating system's random source.
Result<void> random_bytes(std::span<unsigned char> out);

// The assembled message as text, provided it is valid UTF-8.
Result<std::string> finish(std::string bytes);

}  // namespace ws

class Ws {
 public:
  // Opens the connection and completes the handshake. `timeout` bounds every
  // write and every wait for the peer to send something.
  static Result<Ws> connect(std::string_view url, std::chrono::milliseconds timeout);

  // A Ws over a socket whose handshake is already done (or not needed), with
  // the same timeouts as connect sets.
  static Result<Ws> over(UniqueFd socket, std::chrono::milliseconds timeout);

  Ws(Ws&&) noexcept = default;
  Ws& operator=(Ws&&) noexcept = default;
  Ws(const Ws&) = delete;
  Ws& operator=(const Ws&) = delete;

  // Sends one final, masked frame.
  Result<void> send_frame(std::uint8_t opcode, std::string_view payload);

  // The next complete text or binary message; pings met on the way are
  // answered and pongs skipped.
  Result<std::string> recv_text();

  // Sends a Close frame and ignores the outcome; the socket stays open until
  // the Ws is dropped.
  void close();

 private:
  Ws(UniqueFd socket, std::chrono::milliseconds timeout);

  Result<void> handshake(const ws::Url& url);
  // Writes all of `bytes`; a peer that takes none of them for timeout_ is an
  // error that says so.
  Result<void> transmit(std::string_view bytes);
  // One read of at most `size` bytes into `data`: at least one byte, or an
  // error once the peer has shut down or stayed silent for timeout_.
  Result<std::size_t> receive(char* data, std::size_t size);
  // Reads at least one more byte into buf_.
  Result<void> fill();
  // Fills until `n` unconsumed bytes are held.
  Result<void> fill_to(std::size_t n);
  // Appends to `out` the `size`-byte payload of the frame whose `header`
  // bytes lead the unconsumed ones, and consumes the frame. What buf_ does
  // not hold yet is read straight into `out`, never past the frame.
  Result<void> take_payload(std::size_t header, std::size_t size, std::string& out);
  std::size_t buffered() const { return buf_.size() - start_; }
  const unsigned char* unread() const { return reinterpret_cast<const unsigned char*>(buf_.data()) + start_; }
  void consume(std::size_t n);

  // Received bytes not yet consumed, from start_ on: a handshake response,
  // frame headers and whatever arrived with them. Consumed bytes are dropped
  // by the next fill, so each byte moves at most once.
  std::string buf_;
  std::size_t start_ = 0;
  std::chrono::milliseconds timeout_;
  UniqueFd stream_;
};

}  // namespace kestrelite
