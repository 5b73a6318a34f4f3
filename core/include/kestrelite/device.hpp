// Device presets: the record, its enumerations, the preset file reader and
// writer, the built-in table and the two selections.
//
// A preset names one image size a store asks for and what the browser must
// emulate to produce it. The viewport is output / scale in CSS pixels, and
// parse_presets rejects any preset whose output does not divide by its scale.
// Reading is strict (exact spellings, duplicate keys refused, every error
// with the line and column where reading stopped); writing is compact JSON
// with the members in declaration order. Everything here is pure, but
// load_presets, which reads the file it is given.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrelite/error.hpp"

namespace kestrelite {

enum class Platform { IosPhone, IosTablet, IosWatch, AndroidPhone, AndroidTablet, Macos, Tv, Web };
enum class Store { Apple, Play, Web };
enum class Requirement {
  Required,
  Conditional,
  Recommended,
  Optional,
  RequiredIpad,
  RequiredMac,
  RequiredTv,
  RequiredVision,
  RequiredWatch,
};

// The JSON spellings of each enumeration, in declaration order.
template <class E>
struct Spellings;
template <>
struct Spellings<Platform> {
  static constexpr std::string_view type_name = "Platform";
  static constexpr std::array<std::string_view, 8> names = {
      "ios_phone", "ios_tablet", "ios_watch", "android_phone", "android_tablet", "macos", "tv", "web"};
};
template <>
struct Spellings<Store> {
  static constexpr std::string_view type_name = "Store";
  static constexpr std::array<std::string_view, 3> names = {"apple", "play", "web"};
};
template <>
struct Spellings<Requirement> {
  static constexpr std::string_view type_name = "Requirement";
  static constexpr std::array<std::string_view, 9> names = {
      "required",    "conditional",  "recommended", "optional",      "required_ipad",
      "required_mac", "required_tv", "required_vision", "required_watch"};
};

template <class E>
constexpr std::string_view spelling(E value) {
  return Spellings<E>::names[static_cast<std::size_t>(value)];
}

template <class E>
constexpr std::optional<E> from_spelling(std::string_view text) {
  for (std::size_t i = 0; i < Spellings<E>::names.size(); ++i)
    if (Spellings<E>::names[i] == text) return static_cast<E>(i);
  return std::nullopt;
}

struct Device {
  std::string id;
  std::string label;
  std::uint32_t output_width = 0;
  std::uint32_t output_height = 0;
  std::uint32_t scale = 0;
  bool mobile = false;
  Platform platform = Platform::Web;
  Store store = Store::Web;
  Requirement requirement = Requirement::Required;
  bool verified = false;
  std::string source;
  // Where the stores' upload tools put the image: the App Store display
  // type ("APP_IPHONE_67") and Play's image type ("phoneScreenshots"). Read
  // from the object form only and not part of the device JSON; empty when
  // the preset does not say.
  std::string apple_display_type;
  std::string play_image_type;

  // Viewport in CSS pixels; exact divisions for any preset parse_presets accepted.
  std::uint32_t viewport_width() const { return output_width / scale; }
  std::uint32_t viewport_height() const { return output_height / scale; }

  bool operator==(const Device&) const = default;
};

// Reads a whole preset document and validates it. Returns the devices in
// file order, Error::Json for anything the reader refuses, Error::Shape for a
// failed check (version, zero scale or size, size not divisible by scale,
// duplicate id).
Result<std::vector<Device>> parse_presets(std::string_view text);

// The built-in table, parsed afresh on every call. Failure to parse is an
// internal fault (the tests parse it); it throws std::logic_error.
std::vector<Device> builtin();

// The built-in table, or the preset file at `path` read and parsed.
// Error::Io when the file cannot be read, as parse_presets otherwise.
Result<std::vector<Device>> load_presets(const std::optional<std::filesystem::path>& path);

std::optional<Device> by_id(std::span<const Device> devices, std::string_view id);
std::vector<Device> for_store(std::span<const Device> devices, Store store);

// The device JSON: the eleven members of a preset.
std::string devices_json(std::span<const Device> devices);
// The same with the upload tools' places, "apple_display_type" and
// "play_image_type", after them when the preset gives them.
std::string devices_json_with_places(std::span<const Device> devices);

}  // namespace kestrelite
