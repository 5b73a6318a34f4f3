#include "kestrelite/device.hpp"

#include <stdexcept>

#include "files.hpp"
#include "json_text.hpp"
#include "preset_reader.hpp"

namespace kestrelite {

std::vector<Device> builtin() {
  auto devices = parse_presets(builtin_text());
  if (!devices) throw std::logic_error("built-in presets must parse; enforced by tests: " + devices.error().display());
  return std::move(*devices);
}

Result<std::vector<Device>> load_presets(const std::optional<std::filesystem::path>& path) {
  if (!path) return builtin();
  auto text = read_text_file(*path);
  if (!text) return fail(std::move(text.error()));
  return parse_presets(*text);
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

namespace {

void append_device(std::string& out, const Device& d, bool places) {
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
  if (places && !d.apple_display_type.empty()) append_string(o.key("apple_display_type"), d.apple_display_type);
  if (places && !d.play_image_type.empty()) append_string(o.key("play_image_type"), d.play_image_type);
}

std::string device_list(std::span<const Device> devices, bool places) {
  std::string out;
  out.reserve(128);
  json_text::append_array(out, devices, [places](std::string& o, const Device& d) { append_device(o, d, places); });
  return out;
}

}  // namespace

std::string devices_json(std::span<const Device> devices) { return device_list(devices, false); }

std::string devices_json_with_places(std::span<const Device> devices) { return device_list(devices, true); }

}  // namespace kestrelite
