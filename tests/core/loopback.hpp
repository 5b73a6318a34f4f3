// A one-connection TCP server on 127.0.0.1 for the transport tests: it runs
// the test's script against its client on a thread of its own and closes
// the connection when the script returns. It always stops by itself: the
// accept and every read give up after five seconds.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace kestrelite::testing_loopback {

// The client's waits: those meant to expire are short, the others end as soon as the bytes arrive.
inline constexpr std::chrono::milliseconds kShort(300);
inline constexpr std::chrono::seconds kPatient(3);

// A connected socket as the script sees it; reads stop early when the client goes away.
class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}

  // Everything up to and including `marker`; later bytes stay for the next read.
  std::string read_until(std::string_view marker) {
    while (pending_.find(marker) == std::string::npos && read_some()) {
    }
    const std::size_t at = pending_.find(marker);
    return take(at == std::string::npos ? pending_.size() : at + marker.size());
  }

  std::string read_exact(std::size_t n) {
    while (pending_.size() < n && read_some()) {
    }
    return take(std::min(n, pending_.size()));
  }

  void write(std::string_view bytes) {
    for (ssize_t n; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n)))
      if ((n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return;
  }

  // Keeps the connection open until the client closes its end.
  void wait_for_close() {
    while (read_some()) pending_.clear();
  }

 private:
  bool read_some() {
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) pending_.append(chunk, static_cast<std::size_t>(n));
    return n > 0;
  }
  std::string take(std::size_t n) {
    std::string out = pending_.substr(0, n);
    pending_.erase(0, n);
    return out;
  }

  int fd_;
  std::string pending_;
};

class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(Peer&)> script)
      : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t size = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(listener_, 1);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) return;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      const timeval patience{5, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
      Peer peer(fd);
      script(peer);
      ::close(fd);
    });
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  ~LoopbackServer() {
    join();
    ::close(listener_);
  }

  std::uint16_t port() const { return port_; }
  // Waits for the script to end; what it recorded may be read afterwards.
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  int listener_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace kestrelite::testing_loopback
