// http_get against a loopback server that answers with the input and then
// shuts its side: the body is all the bytes after the head, decoded with
// invalid UTF-8 replaced, or, without a head end, the documented error.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include "fuzz_check.hpp"
#include "http.hpp"
#include "net.hpp"

using namespace kestrelite;
using fuzz::require;

// Every input starts a thread; fake stacks would cost more than the rest.
extern "C" const char* __asan_default_options() { return "detect_stack_use_after_return=0"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One read of http_get's takes it all, so the body is predictable.
  if (size > 8192) return -1;
  // One listener for the whole run, never closed.
  static const auto [listener, port] = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t length = sizeof address;
    require(::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd, 4) == 0 &&
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0,
            "listener");
    return std::pair{fd, ntohs(address.sin_port)};
  }();
  const std::string_view response = fuzz::as_text(data, size);
  std::thread server([&] {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1) return;
    UniqueFd client(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    static_cast<void>(net::send_all(client, response));
    ::shutdown(client.get(), SHUT_WR);
    char sink[1024];
    while (::recv(client.get(), sink, sizeof sink, 0) > 0) {
    }
  });
  auto got = http_get(port, "/json/list", std::chrono::seconds(5));
  server.join();
  const std::size_t end = response.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    require(!got && got.error().display() == "unexpected response shape: http response ended in headers", "error");
    return 0;
  }
  require(got && *got == json_text::lossy_utf8(response.substr(end + 4)), "body");
  return 0;
}
