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
  out += '{';
  append_key(out, "id");
  append_string(out, d.id);
  out += ',';
  append_key(out, "label");
  append_string(out, d.label);
  out += ',';
  append_key(out, "output_width");
  append_uint(out, d.output_width);
  out += ',';
  append_key(out, "output_height");
  append_uint(out, d.output_height);
  out += ',';
  append_key(out, "scale");
  append_uint(out, d.scale);
  out += ',';
  append_key(out, "mobile");
  append_bool(out, d.mobile);
  out += ',';
  append_key(out, "platform");
  append_string(out, spelling(d.platform));
  out += ',';
  append_key(out, "store");
  append_string(out, spelling(d.store));
  out += ',';
  append_key(out, "requirement");
  append_string(out, spelling(d.requirement));
  out += ',';
  append_key(out, "verified");
  append_bool(out, d.verified);
  out += ',';
  append_key(out, "source");
  append_string(out, d.source);
  out += '}';
}

std::string devices_json(std::span<const Device> devices) {
  std::string out;
  out.reserve(128);
  out += '[';
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (i) out += ',';
    append_device_json(out, devices[i]);
  }
  out += ']';
  return out;
}

}  // namespace kestrelite
