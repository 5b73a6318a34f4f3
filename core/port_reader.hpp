// Learning a browser's DevTools port from its standard error.
//
// A thread of its own reads the pipe line by line until a line carries a
// "ws://host:port" URL with a numeric port; it hands that port over once
// and stops, closing its end of the pipe. Reading also stops at the end of
// the stream, at a read error and at the first line that is not UTF-8; the
// waiting side then learns at once that no port will come. Part of the
// DevTools session module (cdp), kept in a file of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>

#include "kestrelite/error.hpp"
#include "process.hpp"

namespace kestrelite {

// The port of the first "ws://" URL in a line: the text after "ws://" (up
// to a second "ws://"), cut at its first "/", then the number after the
// last ":".
std::optional<std::uint16_t> devtools_port_from_line(std::string_view line);

class PortReader {
 public:
  PortReader(PortReader&&) noexcept = default;
  PortReader& operator=(PortReader&&) = delete;
  PortReader(const PortReader&) = delete;
  ~PortReader();

  // The port, once it arrives within `timeout`; nullopt on time-out or as
  // soon as the reader has ended without one.
  std::optional<std::uint16_t> receive(std::chrono::milliseconds timeout);

  struct Channel;

 private:
  friend Result<PortReader> read_devtools_port(UniqueFd stderr_read);
  PortReader(std::shared_ptr<Channel> channel, UniqueFd stop, std::thread thread)
      : channel_(std::move(channel)), stop_(std::move(stop)), thread_(std::move(thread)) {}

  std::shared_ptr<Channel> channel_;
  UniqueFd stop_;  // closing it tells the thread to stop reading
  std::thread thread_;
};

// Starts the reader thread over the read end of a standard-error pipe.
// Fails with Error::Browser when the system refuses a thread.
Result<PortReader> read_devtools_port(UniqueFd stderr_read);

}  // namespace kestrelite
