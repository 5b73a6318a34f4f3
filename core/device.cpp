#include "device.hpp"

#include <stdexcept>

#include "json_text.hpp"

namespace kestrelite {

std::vector<Device> builtin() {
  auto devices = parse_presets(builtin_text());
  if (!devices) throw std::logic_error("built-in presets must parse; enforced by tests: " + devices.error().display());
  return std::move(*devices);
}

std::optional<Device> by_id(std::span<const Device> devices, std::string_view id) {
  for (const Device& d : devices)
    if (d.id == id) return d;
  return std::nullopt;
}

std::vector<Device> for_store(std::span<const Device> devices, Store store) {
  std::vector<Device> kept;
  for (const Device& d : devices)
    if (d.store == store) kept.push_back(d);
  return kept;
}

void append_device_json(std::string& out, const Device& d) {
  using namespace json_text;
  ObjectWriter o(out);
  append_string(o.key("id"), d.id);
  append_string(o.key("label"), d.label);
  append_uint(o.key("output_width"), d.output_width);
  append_uint(o.key("output_height"), d.output_height);
  append_uint(o.key("scale"), d.scale);
  append_bool(o.key("mobile"), d.mobile);
  append_string(o.key("platform"), spelling(d.platform));
  append_string(o.key("store"), spelling(d.store));
  append_string(o.key("requirement"), spelling(d.requirement));
  append_bool(o.key("verified"), d.verified);
  append_string(o.key("source"), d.source);
}

std::string devices_json(std::span<const Device> devices) {
  std::string out;
  out.reserve(128);
  json_text::append_array(out, devices, append_device_json);
  return out;
}

}  // namespace kestrelite
