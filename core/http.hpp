// One HTTP/1.1 GET against the browser's DevTools endpoint on 127.0.0.1.
//
// One request per connection ("Connection: close"), no redirects, no
// chunked decoding, and the status is never examined: an error page's body
// comes back like any other. The body is read to the announced
// Content-Length, or to the end of the stream when there is none or it does
// not read as a number; a peer that keeps the connection open after a body
// without length ends the body at the timeout. Body and head are decoded as
// UTF-8 with invalid sequences replaced. Socket failures are Error::Io; a
// response that ends in its head or sends no body in time is Error::Shape.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kestrelite/error.hpp"

namespace kestrelite {

// `timeout` is the socket's read timeout and write timeout.
Result<std::string> http_get(std::uint16_t port, std::string_view path,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5));

namespace http {

// The value, with surrounding whitespace removed, of the first of the
// "\r\n"-separated `lines` whose text before its first ':' equals `name`
// once trimmed, ignoring ASCII case. Lines without ':' are skipped.
std::optional<std::string_view> header_value(std::string_view lines, std::string_view name);

// The value of the first Content-Length line of a response head (the text
// before its blank line), when that value reads as an unsigned 64-bit
// decimal number.
std::optional<std::uint64_t> content_length(std::string_view head);

}  // namespace http

}  // namespace kestrelite
