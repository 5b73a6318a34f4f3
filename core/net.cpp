#include "net.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

namespace kestrelite::net {

namespace {

struct AddrinfoFree {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// A connect interrupted by a signal goes on in the background; wait for it
// to end and collect its outcome rather than starting a second one.
int finish_interrupted_connect(int fd) {
  pollfd p{fd, POLLOUT, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, -1);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return errno;
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0) return errno;
  return error;
}

// 0, or the errno of the failed attempt.
int try_connect(const addrinfo& address, UniqueFd& out) {
  UniqueFd socket(::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol));
  if (socket.get() < 0) return errno;
  if (::connect(socket.get(), address.ai_addr, address.ai_addrlen) < 0) {
    int error = errno == EINTR ? finish_interrupted_connect(socket.get()) : errno;
    if (error != 0) return error;
  }
  out = std::move(socket);
  return 0;
}

Result<void> set_option(const UniqueFd& socket, int level, int name, const void* value, socklen_t size) {
  if (::setsockopt(socket.get(), level, name, value, size) < 0) return fail(Error::io_errno(errno));
  return {};
}

Result<timeval> to_timeval(std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return fail(Error::io(std::make_error_code(std::errc::invalid_argument)));
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration - seconds);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds.count());
  tv.tv_usec = static_cast<suseconds_t>(micros.count());
  return tv;
}

}  // namespace

Result<UniqueFd> connect(std::string_view host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* raw = nullptr;
  int rc = ::getaddrinfo(std::string(host).c_str(), std::to_string(port).c_str(), &hints, &raw);
  std::unique_ptr<addrinfo, AddrinfoFree> list(raw);
  if (rc == EAI_SYSTEM) return fail(Error::io_errno(errno));
  if (rc != 0 && rc != EAI_NONAME
#ifdef EAI_NODATA
      && rc != EAI_NODATA
#endif
  )
    return fail(Error::io_message(std::string("failed to look up address information: ") + ::gai_strerror(rc)));
  if (rc != 0 || list == nullptr) return fail(Error::io_message("could not resolve to any addresses"));

  int last_error = 0;
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    UniqueFd socket;
    last_error = try_connect(*a, socket);
    if (last_error == 0) return socket;
  }
  return fail(Error::io_errno(last_error));
}

Result<void> set_timeouts(const UniqueFd& socket, std::chrono::milliseconds read, std::chrono::milliseconds write) {
  auto read_tv = to_timeval(read);
  if (!read_tv) return fail(std::move(read_tv.error()));
  auto write_tv = to_timeval(write);
  if (!write_tv) return fail(std::move(write_tv.error()));
  if (auto r = set_option(socket, SOL_SOCKET, SO_RCVTIMEO, &*read_tv, sizeof(timeval)); !r) return r;
  return set_option(socket, SOL_SOCKET, SO_SNDTIMEO, &*write_tv, sizeof(timeval));
}

Result<void> set_no_delay(const UniqueFd& socket) {
  int on = 1;
  return set_option(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Result<void> send_all(const UniqueFd& socket, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::io_errno(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::size_t> recv_some(const UniqueFd& socket, char* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::recv(socket.get(), data, size, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(Error::io_errno(errno));
  }
}

bool is_timeout(const Error& error) {
  if (error.kind() != Error::Kind::Io || error.io_code().category() != std::generic_category()) return false;
  int code = error.io_code().value();
  return code == EAGAIN || code == EWOULDBLOCK || code == ETIMEDOUT;
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  auto value = parse_decimal(text, 65535);
  if (!value) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

}  // namespace kestrelite::net
