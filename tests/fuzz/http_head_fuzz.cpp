// HTTP response heads: header_value and content_length against a plain
// reference written here from their documented rules. The input's first
// line is the header name to look up, the rest the "\r\n"-separated lines.
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_check.hpp"
#include "http.hpp"

using namespace kestrelite;
using fuzz::require;

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::optional<std::string_view> reference_value(std::string_view lines, std::string_view name) {
  for (;;) {
    const std::size_t end = lines.find("\r\n");
    const std::string_view line = lines.substr(0, end);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && same_name(trimmed(line.substr(0, colon)), name))
      return trimmed(line.substr(colon + 1));
    if (end == std::string_view::npos) return std::nullopt;
    lines.remove_prefix(end + 2);
  }
}

// An optional '+', then digits; the value must fit in 64 bits.
std::optional<std::uint64_t> reference_number(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned __int128 value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > UINT64_MAX) return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

bool inside(std::string_view part, std::string_view whole) {
  auto p = reinterpret_cast<std::uintptr_t>(part.data());
  auto w = reinterpret_cast<std::uintptr_t>(whole.data());
  return part.empty() || (p >= w && p + part.size() <= w + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in = fuzz::as_text(data, size);
  const std::size_t newline = in.find('\n');
  const std::string_view name = in.substr(0, newline);
  const std::string_view lines = newline == std::string_view::npos ? std::string_view() : in.substr(newline + 1);

  for (std::string_view wanted : {name, std::string_view("Content-Length")}) {
    const auto got = http::header_value(lines, wanted);
    const auto want = reference_value(lines, wanted);
    require(got.has_value() == want.has_value(), "header found by one side only", wanted);
    if (!got) continue;
    require(*got == *want, "header value", *got);
    require(inside(*got, lines), "header value points outside the lines");
  }

  const auto length = http::content_length(lines);
  const auto field = reference_value(lines, "Content-Length");
  const auto want = field ? reference_number(*field) : std::nullopt;
  require(length == want, "content length", field ? *field : "");
  return 0;
}
