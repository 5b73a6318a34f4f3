// WebSocket frames from a peer: the input is written into one end of a
// socket pair, whose write side is then shut, and a Ws over the other end
// receives until it fails. A thread reads and drops what the Ws writes (the
// pongs), so that no input is slow for filling a buffer: a peer that stops
// reading has a test of its own. Every message is UTF-8 and the final error
// a Protocol error with a UTF-8 text.
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "fuzz_check.hpp"
#include "ws.hpp"

using namespace kestrelite;
using fuzz::require;

namespace {

void check_run(UniqueFd ours) {
  auto ws = Ws::over(std::move(ours), std::chrono::milliseconds(200));
  require(ws.has_value(), "Ws::over");
  for (;;) {
    auto got = ws->recv_text();
    if (got) {
      require(fuzz::valid_utf8(*got), "message is not UTF-8", *got);
      continue;
    }
    require(got.error().kind() == Error::Kind::Protocol, "error kind", got.error().display());
    require(fuzz::valid_utf8(got.error().display()), "error text is not UTF-8", got.error().display());
    return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input must fit the peer's buffer in one write.
  if (size > 1024) return -1;
  int fds[2];
  require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  UniqueFd ours(fds[0]);
  UniqueFd peer(fds[1]);
  require(net::send_all(peer, fuzz::as_text(data, size)).has_value(), "writing the input");
  ::shutdown(peer.get(), SHUT_WR);
  // Ends when the Ws closes its socket at the end of check_run.
  std::jthread drain([&peer] {
    char sink[4096];
    while (::recv(peer.get(), sink, sizeof sink, 0) > 0) {
    }
  });
  check_run(std::move(ours));
  return 0;
}
