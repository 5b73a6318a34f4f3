#include "port_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>

#include "json_text.hpp"
#include "net.hpp"

namespace kestrelite {

struct PortReader::Channel {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<std::uint16_t> port;
  bool ended = false;
};

namespace {

// A line longer than this carries no endpoint; it is skipped rather than
// buffered without bound.
constexpr std::size_t kMaxLine = 64 * 1024;

// Reads lines until one names the port, the stream ends or `stop` closes.
std::optional<std::uint16_t> scan(int fd, int stop) {
  std::string line;
  bool overlong = false;
  char buf[8192];
  // Returns true when reading must stop (a port, or a line that is not UTF-8).
  auto take_line = [&](std::optional<std::uint16_t>& port) {
    if (overlong) {
      overlong = false;
      line.clear();
      return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (json_text::valid_utf8_prefix(line) != line.size()) return true;
    port = devtools_port_from_line(line);
    line.clear();
    return port.has_value();
  };
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (fds[1].revents != 0) return std::nullopt;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    std::optional<std::uint16_t> port;
    if (n <= 0) {
      if (!line.empty()) take_line(port);
      return port;
    }
    std::string_view chunk(buf, static_cast<std::size_t>(n));
    while (!chunk.empty()) {
      std::size_t nl = chunk.find('\n');
      std::string_view piece = chunk.substr(0, nl);
      if (!overlong) {
        line.append(piece);
        if (line.size() > kMaxLine) {
          overlong = true;
          line.clear();
        }
      }
      if (nl == std::string_view::npos) break;
      if (take_line(port)) return port;
      chunk.remove_prefix(nl + 1);
    }
  }
}

}  // namespace

std::optional<std::uint16_t> devtools_port_from_line(std::string_view line) {
  constexpr std::string_view kScheme = "ws://";
  std::size_t at = line.find(kScheme);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(at + kScheme.size());
  rest = rest.substr(0, rest.find(kScheme));
  std::string_view authority = rest.substr(0, rest.find('/'));
  std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return net::parse_port(authority.substr(colon + 1));
}

Result<PortReader> read_devtools_port(UniqueFd stderr_read) {
  auto stop = make_pipe();
  if (!stop) return fail(Error::browser("could not start the DevTools port reader: " + stop.error().message()));
  auto channel = std::make_shared<PortReader::Channel>();
  std::thread thread;
  try {
    thread = std::thread([channel, fd = std::move(stderr_read), stop_read = std::move(stop->read)]() mutable {
      std::optional<std::uint16_t> port = scan(fd.get(), stop_read.get());
      fd.reset();
      std::lock_guard lock(channel->mutex);
      channel->port = port;
      channel->ended = true;
      channel->changed.notify_all();
    });
  } catch (const std::system_error& e) {
    return fail(Error::browser(std::string("could not start the DevTools port reader: ") + e.what()));
  }
  return PortReader(std::move(channel), std::move(stop->write), std::move(thread));
}

std::optional<std::uint16_t> PortReader::receive(std::chrono::milliseconds timeout) {
  std::unique_lock lock(channel_->mutex);
  channel_->changed.wait_for(lock, timeout, [&] { return channel_->ended; });
  return channel_->port;
}

PortReader::~PortReader() {
  if (!thread_.joinable()) return;
  stop_.reset();
  thread_.join();
}

}  // namespace kestrelite
