// http_get against a loopback server that answers with the input bytes and
// then shuts its side down. Without "\r\n\r\n" the result is the documented
// Shape error; otherwise, with every byte already sent, the body is all the
// bytes after the head, decoded with invalid UTF-8 replaced.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "fuzz_check.hpp"
#include "http.hpp"
#include "json_text.hpp"
#include "net.hpp"

using namespace kestrelite;
using fuzz::require;

// Every input starts a thread; the fake stacks that catch use after return
// make that cost more than the rest of the input's work together.
extern "C" const char* __asan_default_options() { return "detect_stack_use_after_return=0"; }

namespace {

// http_get reads 8192 bytes at a time; a response that fits one read is sent
// in one piece and so is read whole, which makes the body predictable.
constexpr std::size_t kMaxInput = 8192;

struct Listener {
  net::Socket socket;
  std::uint16_t port = 0;
};

const Listener& listener() {
  static const Listener the = [] {
    Listener l{net::Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    require(::bind(l.socket.fd(), reinterpret_cast<sockaddr*>(&address), length) == 0, "bind");
    require(::listen(l.socket.fd(), 4) == 0, "listen");
    require(::getsockname(l.socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
    l.port = ntohs(address.sin_port);
    return l;
  }();
  return the;
}

// Accepts one connection, sends `response`, shuts the sending side and waits
// for the client to close. Gives up when nobody connects within a second.
void serve_once(int listen_fd, std::string_view response) {
  pollfd p{listen_fd, POLLIN, 0};
  if (::poll(&p, 1, 1000) != 1) return;
  net::Socket client(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
  if (client.fd() < 0) return;
  static_cast<void>(net::send_all(client, response));
  ::shutdown(client.fd(), SHUT_WR);
  char sink[1024];
  while (::recv(client.fd(), sink, sizeof sink, 0) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;
  const std::string_view response = fuzz::as_text(data, size);
  const Listener& l = listener();

  std::thread server(serve_once, l.socket.fd(), response);
  // Nothing waits for the timeout, since the server always ends its side;
  // it only bounds the damage should the server thread not run.
  auto got = http_get(l.port, "/json/list", std::chrono::seconds(5));
  server.join();

  const std::size_t end = response.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    require(!got.has_value(), "body from a response without a head end", got ? *got : "");
    require(got.error().kind() == Error::Kind::Shape && got.error().message() == "http response ended in headers",
            "error", got.error().display());
    return 0;
  }
  require(got.has_value(), "no body", got ? "" : got.error().display());
  require(*got == json_text::lossy_utf8(response.substr(end + 4)), "body", *got);
  require(fuzz::valid_utf8(*got), "body is not UTF-8", *got);
  return 0;
}
