#include "http.hpp"

#include <algorithm>

#include "json_text.hpp"
#include "net.hpp"

namespace kestrelite {

namespace http {

namespace {

constexpr std::size_t kReadSize = 8192;
constexpr std::string_view kWhitespace = " \t\n\v\f\r";
constexpr std::string_view kEnd = "\r\n\r\n";

std::string_view trim(std::string_view s) {
  std::size_t first = s.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kWhitespace) - first + 1);
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

// Appends one read of at most kReadSize bytes to `buf`; the count read.
Result<std::size_t> read_more(const UniqueFd& socket, std::string& buf) {
  const std::size_t old = buf.size();
  Result<std::size_t> got = 0;
  buf.resize_and_overwrite(old + kReadSize, [&](char* data, std::size_t) {
    got = net::recv_some(socket, data + old, kReadSize);
    return old + (got ? *got : 0);
  });
  return got;
}

Error body_timeout() { return Error::shape("timed out reading http body"); }

}  // namespace

std::optional<std::string_view> header_value(std::string_view lines, std::string_view name) {
  for (std::size_t pos = 0; pos <= lines.size();) {
    std::size_t end = std::min(lines.find("\r\n", pos), lines.size());
    std::string_view line = lines.substr(pos, end - pos);
    pos = end + 2;
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && equals_ignoring_ascii_case(trim(line.substr(0, colon)), name))
      return trim(line.substr(colon + 1));
  }
  return std::nullopt;
}

std::optional<std::uint64_t> content_length(std::string_view head) {
  // The status line takes part too; it cannot pass for a Content-Length line.
  auto value = header_value(head, "Content-Length");
  if (!value) return std::nullopt;
  return net::parse_decimal(*value, UINT64_MAX);
}

}  // namespace http

Result<std::string> http_get(std::uint16_t port, std::string_view path, std::chrono::milliseconds timeout) {
  auto socket = net::connect("127.0.0.1", port);
  if (!socket) return fail(std::move(socket.error()));
  if (auto r = net::set_timeouts(*socket, timeout, timeout); !r) return fail(std::move(r.error()));
  std::string request = "GET ";
  request += path;
  request += " HTTP/1.1\r\nHost: 127.0.0.1:";
  request += std::to_string(port);
  request += "\r\nConnection: close\r\n\r\n";
  if (auto r = net::send_all(*socket, request); !r) return fail(std::move(r.error()));

  std::string buf;
  buf.reserve(8192);
  std::size_t head_end = std::string::npos;
  while (head_end == std::string::npos) {
    // Only the last three bytes of the earlier reads can start the terminator.
    const std::size_t from = buf.size() >= http::kEnd.size() ? buf.size() - (http::kEnd.size() - 1) : 0;
    auto got = http::read_more(*socket, buf);
    if (!got) return fail(std::move(got.error()));
    if (*got == 0) return fail(Error::shape("http response ended in headers"));
    if (buf.size() >= http::kEnd.size()) head_end = buf.find(http::kEnd, from);
  }
  const std::size_t body_start = head_end + http::kEnd.size();
  const auto length = http::content_length(json_text::lossy_utf8(std::string_view(buf).substr(0, head_end)));

  if (length) {
    while (buf.size() - body_start < *length) {
      auto got = http::read_more(*socket, buf);
      if (!got) return fail(net::is_timeout(got.error()) ? http::body_timeout() : std::move(got.error()));
      if (*got == 0) break;
    }
  } else {
    for (;;) {
      auto got = http::read_more(*socket, buf);
      if (!got) {
        if (!net::is_timeout(got.error())) return fail(std::move(got.error()));
        if (buf.size() == body_start) return fail(http::body_timeout());
        break;
      }
      if (*got == 0) break;
    }
  }
  return json_text::lossy_utf8(std::string_view(buf).substr(body_start));
}

}  // namespace kestrelite
