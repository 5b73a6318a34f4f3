#include "determinism.hpp"

#include <algorithm>
#include <charconv>

namespace kestrelite {

std::string fill_placeholders(std::string_view text,
                              std::initializer_list<std::pair<std::string_view, std::string>> values) {
  std::string out(text);
  for (const auto& [name, value] : values)
    for (std::size_t at = out.find(name); at != std::string::npos; at = out.find(name, at + value.size()))
      out.replace(at, name.size(), value);
  return out;
}

std::string shortest_decimal(double value) {
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, end);
}

std::string determinism_script(const Determinism& d) {
  return fill_placeholders(determinism_template(), {{"__SEED__", std::to_string(d.seed)},
                                       {"__EPOCH_MS__", std::to_string(d.epoch_ms)},
                                       {"__FRAME_MS__", shortest_decimal(d.frame_ms)},
                                       {"__BUDGET_MS__", std::to_string(d.budget_ms)},
                                       {"__FRAME_BUDGET__", std::to_string(d.frame_budget)}});
}

std::string stability_script(const StabilityOptions& o) {
  return fill_placeholders(stability_template(), {{"__TIMEOUT_MS__", std::to_string(o.timeout_ms)},
                                     {"__QUIET_TICKS__", std::to_string(std::max<std::uint32_t>(o.quiet_ticks, 1))},
                                     {"__WAIT_FONTS__", o.wait_fonts ? "true" : "false"},
                                     {"__WAIT_IMAGES__", o.wait_images ? "true" : "false"}});
}

}  // namespace kestrelite
