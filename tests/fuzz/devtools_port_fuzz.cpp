// The DevTools port in a line of a browser's standard error: net::parse_port
// and devtools_port_from_line against references written here from their
// documented rules.
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_check.hpp"
#include "net.hpp"
#include "port_reader.hpp"

using namespace kestrelite;
using fuzz::require;

namespace {

// An optional '+' and 1 or more digits; leading zeros do not count.
std::optional<std::uint16_t> reference_port(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const std::size_t first = text.find_first_not_of('0');
  const std::string_view significant = first == std::string_view::npos ? "0" : text.substr(first);
  if (significant.size() > 5) return std::nullopt;
  const unsigned long value = std::stoul(std::string(significant));
  if (value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::optional<std::uint16_t> reference_line(std::string_view line) {
  const std::size_t at = line.find("ws://");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view url = line.substr(at + 5);
  url = url.substr(0, url.find("ws://"));
  const std::string_view authority = url.substr(0, url.find('/'));
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return reference_port(authority.substr(colon + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in = fuzz::as_text(data, size);
  require(net::parse_port(in) == reference_port(in), "parse_port", in);
  require(devtools_port_from_line(in) == reference_line(in), "devtools_port_from_line", in);
  return 0;
}
