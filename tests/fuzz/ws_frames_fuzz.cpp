// WebSocket frames from a peer: the bytes are written into one end of a
// socket pair, whose write side is then shut, and a Ws over the other end
// receives messages until it fails. A model of the frame reader, written
// here from the documented rules, predicts every message, the final error
// and the pongs; the pongs the Ws wrote are read back and compared.
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "ws.hpp"

using namespace kestrelite;
using namespace std::chrono_literals;
using fuzz::require;

namespace {

// Every ping costs a pong in the socket's send buffer, which is read only
// at the end; this many input bytes hold at most 512 pings, whose pongs fit
// even the smallest buffer a system gives (measured: 555 of them).
constexpr std::size_t kMaxInput = 1024;

struct Expected {
  std::vector<std::string> messages;
  // The final error's message; for invalid UTF-8, whose description is
  // free, the end it must have: the index at which the valid prefix ends.
  std::string error;
  bool invalid_utf8 = false;
  std::vector<std::string> pongs;
};

std::uint64_t big_endian(std::string_view bytes) {
  std::uint64_t value = 0;
  for (unsigned char c : bytes) value = value << 8 | c;
  return value;
}

Expected model(std::string_view in) {
  Expected out;
  std::size_t pos = 0;
  std::string message;
  bool started = false;
  auto has = [&](std::size_t n) { return in.size() - pos >= n; };
  auto stop = [&](std::string error) {
    out.error = std::move(error);
    return out;
  };
  for (;;) {
    if (!has(2)) return stop("connection closed by peer");
    const auto b0 = static_cast<unsigned char>(in[pos]);
    const auto b1 = static_cast<unsigned char>(in[pos + 1]);
    const bool fin = b0 & 0x80;
    const unsigned opcode = b0 & 0x0F;
    const bool masked = b1 & 0x80;
    std::uint64_t length = b1 & 0x7F;
    std::size_t header = 2;
    if (length == 126) {
      if (!has(4)) return stop("connection closed by peer");
      length = big_endian(in.substr(pos + 2, 2));
      header = 4;
    } else if (length == 127) {
      if (!has(10)) return stop("connection closed by peer");
      length = big_endian(in.substr(pos + 2, 8));
      if (length > ws::kFrameLimit) return stop("frame of " + std::to_string(length) + " bytes exceeds limit");
      header = 10;
    }
    unsigned char key[4] = {};
    if (masked) {
      if (!has(header + 4)) return stop("connection closed by peer");
      std::memcpy(key, in.data() + pos + header, 4);
      header += 4;
    }
    if (opcode == 0 && started && message.size() + length > ws::kFrameLimit)
      return stop("message exceeds limit");
    if (in.size() - pos - header < length) return stop("connection closed by peer");
    std::string payload(in.substr(pos + header, static_cast<std::size_t>(length)));
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(payload[i] ^ key[i % 4]);
    pos += header + static_cast<std::size_t>(length);

    switch (opcode) {
      case 0:
        if (!started) return stop("continuation without start");
        message += payload;
        break;
      case 1:
      case 2:
        message = payload;
        started = true;
        break;
      case 8: return stop("peer sent close");
      case 9: out.pongs.push_back(payload); continue;
      case 10: continue;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        return stop(std::string("unknown opcode 0x") + kHex[opcode]);
      }
    }
    if (!fin) continue;
    if (!fuzz::valid_utf8(message)) {
      out.invalid_utf8 = true;
      return stop(" from index " + std::to_string(fuzz::utf8_prefix(message)));
    }
    out.messages.push_back(std::move(message));
    message.clear();
    started = false;
  }
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    require(n > 0, "writing the peer's bytes failed");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string read_to_end(int fd) {
  std::string all;
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    require(n >= 0, "reading the pongs failed");
    if (n == 0) return all;
    all.append(buf, static_cast<std::size_t>(n));
  }
}

// The pongs a Ws wrote: final, masked, in the shortest length form.
void check_pongs(std::string_view wire, const std::vector<std::string>& want) {
  std::size_t pos = 0;
  for (const std::string& payload : want) {
    require(wire.size() - pos >= 6, "pong missing");
    require(static_cast<unsigned char>(wire[pos]) == 0x8A, "pong first byte");
    const auto code = static_cast<unsigned char>(wire[pos + 1]);
    require(code & 0x80, "pong not masked");
    const std::size_t n = payload.size();
    const std::size_t form = n < 126 ? 0 : n <= 65535 ? 2 : 8;
    require((code & 0x7F) == (form == 0 ? n : form == 2 ? 126 : 127), "pong length code");
    require(big_endian(wire.substr(pos + 2, form)) == (form == 0 ? 0 : n), "pong length");
    pos += 2 + form;
    require(wire.size() - pos >= 4 + n, "pong cut short");
    const std::string_view key = wire.substr(pos, 4);
    std::string got(wire.substr(pos + 4, n));
    for (std::size_t i = 0; i < n; ++i) got[i] = static_cast<char>(got[i] ^ key[i % 4]);
    require(got == payload, "pong payload differs from the ping's");
    pos += 4 + n;
  }
  require(pos == wire.size(), "more written than the pongs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;
  const std::string_view in = fuzz::as_text(data, size);
  const Expected want = model(in);

  int fds[2];
  require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  net::Socket ours(fds[0]);
  net::Socket peer(fds[1]);
  int send_buffer = 1 << 20;
  ::setsockopt(ours.fd(), SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  write_all(peer.fd(), in);
  require(::shutdown(peer.fd(), SHUT_WR) == 0, "shutdown");

  {
    auto ws = Ws::over(std::move(ours), 200ms);
    require(ws.has_value(), "Ws::over failed");
    for (std::size_t i = 0;; ++i) {
      auto got = ws->recv_text();
      if (i < want.messages.size()) {
        require(got.has_value(), "message expected", got ? "" : got.error().display());
        require(*got == want.messages[i], "message differs", *got);
        continue;
      }
      require(!got.has_value(), "message beyond the model's", got ? *got : "");
      const Error& e = got.error();
      require(e.kind() == Error::Kind::Protocol, "error kind", e.display());
      require(fuzz::valid_utf8(e.display()), "error text is not UTF-8", e.display());
      if (want.invalid_utf8) {
        require(e.message().starts_with("invalid utf-8: ") && e.message().ends_with(want.error), "error message",
                e.message() + " | want" + want.error);
      } else {
        require(e.message() == want.error, "error message", e.message() + " | want " + want.error);
      }
      break;
    }
  }
  check_pongs(read_to_end(peer.fd()), want.pongs);
  return 0;
}
