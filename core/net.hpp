// Blocking TCP helpers shared by the WebSocket client and the HTTP fetch.
//
// Every socket is created close-on-exec, so a browser started from another
// thread inherits none of them. Writes never raise SIGPIPE: a peer that has
// gone makes send_all return an error instead of killing the host process.
// Reads and writes retry when a signal interrupts them; a read or write that
// outlasts the socket's timeout fails with EAGAIN/EWOULDBLOCK, which
// is_timeout recognises. Every failure is Error::Io.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fd.hpp"
#include "kestrelite/error.hpp"

namespace kestrelite::net {

// Resolves `host` with the system resolver and connects to the first
// address that accepts; when none does, the last connect error. A name with
// no address at all is the I/O error "could not resolve to any addresses".
Result<UniqueFd> connect(std::string_view host, std::uint16_t port);

// A number written as an optional "+" and one or more ASCII digits, at most `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max);
// A port: parse_decimal up to 65535.
std::optional<std::uint16_t> parse_port(std::string_view text);

// Per-call read and write timeouts. A duration that is not positive is
// refused (EINVAL): to the socket, zero would mean waiting forever.
Result<void> set_timeouts(const UniqueFd& socket, std::chrono::milliseconds read, std::chrono::milliseconds write);

Result<void> set_no_delay(const UniqueFd& socket);

// Writes every byte, or fails.
Result<void> send_all(const UniqueFd& socket, std::string_view bytes);

// One read of at most `size` bytes into `data`; 0 means the peer shut the
// connection down.
Result<std::size_t> recv_some(const UniqueFd& socket, char* data, std::size_t size);

// True for the error a read or write gets when the socket's timeout expires.
bool is_timeout(const Error& error);

}  // namespace kestrelite::net
