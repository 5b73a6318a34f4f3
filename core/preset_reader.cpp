// parse_presets: the preset file reader of the device module.
//
// nlohmann's SAX parser does the JSON syntax; the handler below maps the
// events onto the two records as they arrive, so that duplicate keys, types,
// spellings and missing fields are refused at the place where reading
// stopped, with that line and column. The handler keeps no recursion of its
// own: nesting is a stack of frames, and values under unknown keys are
// skipped by counting depth, so deep documents cannot exhaust the C++ stack.
#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "kestrelite/device.hpp"
#include "preset_reader.hpp"

namespace kestrelite {

namespace {

using json = nlohmann::json;

enum class FieldType { Text, U32, Bool, Platform, Store, Requirement, Devices };

struct FieldSpec {
  std::string_view name;
  FieldType type;
  bool has_default;
};

// The eleven members of the device JSON, in order (the array form has
// exactly these), then the upload tools' places, read in the object form.
constexpr std::size_t kDeviceArrayFields = 11;
constexpr std::array<FieldSpec, 13> kDeviceFields = {{
    {"id", FieldType::Text, false},
    {"label", FieldType::Text, false},
    {"output_width", FieldType::U32, false},
    {"output_height", FieldType::U32, false},
    {"scale", FieldType::U32, false},
    {"mobile", FieldType::Bool, true},
    {"platform", FieldType::Platform, true},
    {"store", FieldType::Store, true},
    {"requirement", FieldType::Requirement, false},
    {"verified", FieldType::Bool, true},
    {"source", FieldType::Text, true},
    {"apple_display_type", FieldType::Text, true},
    {"play_image_type", FieldType::Text, true},
}};

constexpr std::span<const FieldSpec> kDeviceArray{kDeviceFields.data(), kDeviceArrayFields};

constexpr std::array<FieldSpec, 4> kFileFields = {{
    {"version", FieldType::U32, false},
    {"note", FieldType::Text, true},
    {"verified_on", FieldType::Text, true},
    {"devices", FieldType::Devices, false},
}};

int field_index(std::span<const FieldSpec> fields, std::string_view name) {
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (fields[i].name == name) return static_cast<int>(i);
  return -1;
}

template <class E>
std::string unknown_variant(std::string_view text) {
  std::string msg = "unknown variant `" + std::string(text) + "`, expected one of ";
  bool first = true;
  for (std::string_view name : Spellings<E>::names) {
    if (!first) msg += ", ";
    first = false;
    msg += "`" + std::string(name) + "`";
  }
  return msg;
}

std::string expected_name(FieldType type) {
  switch (type) {
    case FieldType::Text: return "a string";
    case FieldType::U32: return "u32";
    case FieldType::Bool: return "a boolean";
    case FieldType::Platform: return "enum Platform";
    case FieldType::Store: return "enum Store";
    case FieldType::Requirement: return "enum Requirement";
    case FieldType::Devices: return "a sequence";
  }
  return {};
}

// A value of one of the scalar field types, converted and ready to assign.
struct Scalar {
  std::string text;
  std::uint32_t number = 0;
  bool flag = false;
  std::size_t variant = 0;
};

void assign(Device& d, int field, Scalar&& v) {
  switch (field) {
    case 0: d.id = std::move(v.text); break;
    case 1: d.label = std::move(v.text); break;
    case 2: d.output_width = v.number; break;
    case 3: d.output_height = v.number; break;
    case 4: d.scale = v.number; break;
    case 5: d.mobile = v.flag; break;
    case 6: d.platform = static_cast<Platform>(v.variant); break;
    case 7: d.store = static_cast<Store>(v.variant); break;
    case 8: d.requirement = static_cast<Requirement>(v.variant); break;
    case 9: d.verified = v.flag; break;
    case 10: d.source = std::move(v.text); break;
    case 11: d.apple_display_type = std::move(v.text); break;
    case 12: d.play_image_type = std::move(v.text); break;
  }
}

struct FileRecord {
  std::uint32_t version = 0;
  std::vector<Device> devices;
};

void assign(FileRecord& f, int field, Scalar&& v) {
  if (field == 0) f.version = v.number;  // note and verified_on are read and dropped
}

// Counts how far nlohmann's lexer has read, so that semantic errors can
// name the line and column where reading stopped.
struct CountingIterator {
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* p = nullptr;
  const char** furthest = nullptr;

  reference operator*() const { return *p; }
  CountingIterator& operator++() {
    ++p;
    if (furthest && p > *furthest) *furthest = p;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return p == other.p; }
};

class PresetHandler {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  PresetHandler(std::string_view text, const char** furthest) : text_(text), furthest_(furthest) {}

  bool null() { return scalar({JsonKind::Null, false, 0, "null"}); }
  bool boolean(bool value) {
    return scalar({JsonKind::Bool, value, 0, std::string("boolean `") + (value ? "true" : "false") + "`"});
  }
  bool number_integer(number_integer_t value) {
    if (value >= 0) return number_unsigned(static_cast<number_unsigned_t>(value));
    return scalar({JsonKind::Negative, false, 0, "integer `" + std::to_string(value) + "`"});
  }
  bool number_unsigned(number_unsigned_t value) {
    return scalar({JsonKind::Unsigned, false, value, "integer `" + std::to_string(value) + "`"});
  }
  bool number_float(number_float_t, const string_t& raw) {
    return scalar({JsonKind::Float, false, 0, "floating point `" + raw + "`"});
  }
  bool string(string_t& value) {
    if (skip_depth_ > 0) return true;
    Target t = next_target();
    if (t.kind == TargetKind::Skip) return true;
    if (t.kind == TargetKind::Invalid) return false;
    if (t.kind == TargetKind::Field) {
      Scalar s;
      switch (t.type) {
        case FieldType::Text: s.text = std::move(value); return store_field(t, std::move(s));
        case FieldType::Platform: return store_variant<Platform>(t, value);
        case FieldType::Store: return store_variant<Store>(t, value);
        case FieldType::Requirement: return store_variant<Requirement>(t, value);
        default: break;
      }
    }
    return type_error(t, "string \"" + value + "\"");
  }
  bool binary(binary_t&) { return fail_here("binary values are not JSON"); }

  bool start_object(std::size_t) { return start(true); }
  bool start_array(std::size_t) { return start(false); }

  bool key(string_t& name) {
    if (skip_depth_ > 0) return true;
    Frame& f = frames_.back();
    if (f.kind == FrameKind::EnumObject) {
      if (f.has_key) return fail_here("invalid type: map with more than one entry, expected " + expected_name(f.type));
      std::optional<std::size_t> variant = variant_of(f.type, name);
      if (!variant) return fail_here(unknown_variant_message(f.type, name));
      f.has_key = true;
      f.variant = *variant;
      return true;
    }
    int index = f.kind == FrameKind::FileObject ? field_index(kFileFields, name) : field_index(kDeviceFields, name);
    if (index < 0) {
      f.pending = kUnknownKey;
      return true;
    }
    if (f.seen & (1u << index)) return fail_here("duplicate field `" + name + "`");
    f.seen |= 1u << index;
    f.pending = index;
    return true;
  }

  bool end_object() { return end(); }
  bool end_array() { return end(); }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
    error_.emplace(Error::json_syntax(text_, position, json_parser_message(ex.what())));
    return false;
  }

  // The result once sax_parse has returned.
  Result<FileRecord> take(bool parsed) {
    if (error_) return fail(std::move(*error_));
    if (!parsed || !complete_) return fail(Error::json_syntax(text_, text_.size(), "EOF while parsing a value"));
    return std::move(file_);
  }

 private:
  static constexpr int kUnknownKey = -2;

  enum class FrameKind { FileObject, FileArray, DeviceList, DeviceObject, DeviceArray, EnumObject };
  struct Frame {
    FrameKind kind;
    std::size_t count = 0;   // elements seen, for arrays
    int pending = -1;        // field awaiting its value, for objects
    std::uint32_t seen = 0;  // fields given, for objects
    // For EnumObject: the field being filled and what its one key named.
    FieldType type = FieldType::Text;
    int field = -1;
    bool owner_is_file = false;
    bool has_key = false;
    std::size_t variant = 0;
  };

  enum class TargetKind { File, Field, Device, Skip, EnumUnit, Invalid };
  enum class JsonKind { Null, Bool, Unsigned, Negative, Float };
  struct ScalarEvent {
    JsonKind kind;
    bool flag;
    std::uint64_t number;
    std::string describe;
  };
  struct Target {
    TargetKind kind;
    FieldType type = FieldType::Text;
    int field = -1;
    bool owner_is_file = false;
  };

  std::size_t offset() const { return static_cast<std::size_t>(*furthest_ - text_.data()); }

  bool fail_here(std::string message) {
    TextPosition at = position_of(text_, offset());
    error_.emplace(Error::json(JsonError{"data", std::move(message), at.line, at.column}));
    return false;
  }

  static std::optional<std::size_t> variant_of(FieldType type, std::string_view name) {
    auto index = [](auto e) -> std::optional<std::size_t> {
      if (!e) return std::nullopt;
      return static_cast<std::size_t>(*e);
    };
    switch (type) {
      case FieldType::Platform: return index(from_spelling<Platform>(name));
      case FieldType::Store: return index(from_spelling<Store>(name));
      case FieldType::Requirement: return index(from_spelling<Requirement>(name));
      default: return std::nullopt;
    }
  }

  static std::string unknown_variant_message(FieldType type, std::string_view name) {
    switch (type) {
      case FieldType::Platform: return unknown_variant<Platform>(name);
      case FieldType::Store: return unknown_variant<Store>(name);
      default: return unknown_variant<Requirement>(name);
    }
  }

  template <class E>
  bool store_variant(const Target& t, std::string_view name) {
    std::optional<E> value = from_spelling<E>(name);
    if (!value) return fail_here(unknown_variant<E>(name));
    Scalar s;
    s.variant = static_cast<std::size_t>(*value);
    return store_field(t, std::move(s));
  }

  bool store_field(const Target& t, Scalar&& s) {
    if (t.owner_is_file)
      assign(file_, t.field, std::move(s));
    else
      assign(device_, t.field, std::move(s));
    return true;
  }

  Target array_element(Frame& f, std::span<const FieldSpec> fields, bool owner_is_file) {
    std::size_t index = f.count++;
    if (index >= fields.size()) {
      fail_here(std::string("invalid length ") + std::to_string(index + 1) + ", expected struct " +
                (owner_is_file ? "PresetFile" : "Device") + " with " + std::to_string(fields.size()) + " elements");
      return {TargetKind::Invalid};
    }
    return {TargetKind::Field, fields[index].type, static_cast<int>(index), owner_is_file};
  }

  Target object_member(Frame& f, std::span<const FieldSpec> fields, bool owner_is_file) {
    int index = f.pending;
    f.pending = -1;
    if (index == kUnknownKey) return {TargetKind::Skip};
    return {TargetKind::Field, fields[static_cast<std::size_t>(index)].type, index, owner_is_file};
  }

  // What the value that begins now is meant to be.
  Target next_target() {
    if (frames_.empty()) return {TargetKind::File};
    Frame& f = frames_.back();
    switch (f.kind) {
      case FrameKind::FileObject: return object_member(f, kFileFields, true);
      case FrameKind::FileArray: return array_element(f, kFileFields, true);
      case FrameKind::DeviceList: return {TargetKind::Device};
      case FrameKind::DeviceObject: return object_member(f, kDeviceFields, false);
      case FrameKind::DeviceArray: return array_element(f, kDeviceArray, false);
      case FrameKind::EnumObject: return {TargetKind::EnumUnit};
    }
    return {TargetKind::Invalid};
  }

  bool type_error(const Target& t, const std::string& got) {
    switch (t.kind) {
      case TargetKind::File: return fail_here("invalid type: " + got + ", expected struct PresetFile");
      case TargetKind::Device: return fail_here("invalid type: " + got + ", expected struct Device");
      case TargetKind::EnumUnit: return fail_here("invalid type: " + got + ", expected unit variant");
      default: return fail_here("invalid type: " + got + ", expected " + expected_name(t.type));
    }
  }

  // A scalar other than a string, stored when it fits the field it fills.
  bool scalar(const ScalarEvent& e) {
    if (skip_depth_ > 0) return true;
    Target t = next_target();
    switch (t.kind) {
      case TargetKind::Skip: return true;
      case TargetKind::Invalid: return false;
      case TargetKind::EnumUnit:
        if (e.kind == JsonKind::Null) return true;
        return type_error(t, e.describe);
      case TargetKind::Field: {
        Scalar s;
        if (t.type == FieldType::U32 && (e.kind == JsonKind::Unsigned || e.kind == JsonKind::Negative)) {
          if (e.kind == JsonKind::Negative || e.number > std::numeric_limits<std::uint32_t>::max())
            return fail_here("invalid value: " + e.describe + ", expected u32");
          s.number = static_cast<std::uint32_t>(e.number);
          return store_field(t, std::move(s));
        }
        if (t.type == FieldType::Bool && e.kind == JsonKind::Bool) {
          s.flag = e.flag;
          return store_field(t, std::move(s));
        }
        return type_error(t, e.describe);
      }
      default: return type_error(t, e.describe);
    }
  }

  bool start(bool object) {
    if (skip_depth_ > 0) {
      ++skip_depth_;
      return true;
    }
    Target t = next_target();
    const std::string got = object ? "map" : "sequence";
    switch (t.kind) {
      case TargetKind::Invalid: return false;
      case TargetKind::Skip: skip_depth_ = 1; return true;
      case TargetKind::File:
        frames_.push_back({object ? FrameKind::FileObject : FrameKind::FileArray});
        return true;
      case TargetKind::Device:
        device_ = Device{};
        frames_.push_back({object ? FrameKind::DeviceObject : FrameKind::DeviceArray});
        return true;
      case TargetKind::EnumUnit: return type_error(t, got);
      case TargetKind::Field:
        if (t.type == FieldType::Devices && !object) {
          frames_.push_back({FrameKind::DeviceList});
          return true;
        }
        if (object && (t.type == FieldType::Platform || t.type == FieldType::Store ||
                       t.type == FieldType::Requirement)) {
          Frame f{FrameKind::EnumObject};
          f.type = t.type;
          f.field = t.field;
          f.owner_is_file = t.owner_is_file;
          frames_.push_back(f);
          return true;
        }
        return type_error(t, got);
    }
    return false;
  }

  bool check_object(const Frame& f, std::span<const FieldSpec> fields) {
    for (std::size_t i = 0; i < fields.size(); ++i)
      if (!fields[i].has_default && !(f.seen & (1u << i)))
        return fail_here("missing field `" + std::string(fields[i].name) + "`");
    return true;
  }

  bool check_array(const Frame& f, std::span<const FieldSpec> fields, std::string_view record) {
    for (std::size_t i = f.count; i < fields.size(); ++i)
      if (!fields[i].has_default)
        return fail_here("invalid length " + std::to_string(i) + ", expected struct " + std::string(record) +
                         " with " + std::to_string(fields.size()) + " elements");
    return true;
  }

  bool end() {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    Frame f = frames_.back();
    frames_.pop_back();
    switch (f.kind) {
      case FrameKind::FileObject:
        if (!check_object(f, kFileFields)) return false;
        complete_ = true;
        return true;
      case FrameKind::FileArray:
        if (!check_array(f, kFileFields, "PresetFile")) return false;
        complete_ = true;
        return true;
      case FrameKind::DeviceList: return true;
      case FrameKind::DeviceObject:
        if (!check_object(f, kDeviceFields)) return false;
        file_.devices.push_back(std::move(device_));
        return true;
      case FrameKind::DeviceArray:
        if (!check_array(f, kDeviceArray, "Device")) return false;
        file_.devices.push_back(std::move(device_));
        return true;
      case FrameKind::EnumObject: {
        if (!f.has_key) return fail_here("invalid type: empty map, expected " + expected_name(f.type));
        Scalar s;
        s.variant = f.variant;
        return store_field({TargetKind::Field, f.type, f.field, f.owner_is_file}, std::move(s));
      }
    }
    return false;
  }

  std::string_view text_;
  const char** furthest_;
  std::vector<Frame> frames_;
  std::size_t skip_depth_ = 0;
  FileRecord file_;
  Device device_;
  bool complete_ = false;
  std::optional<Error> error_;
};

std::string device_message(const Device& d, std::string_view what) { return "device " + d.id + ": " + std::string(what); }

Result<std::vector<Device>> validate(FileRecord file) {
  if (file.version != 1)
    return fail(Error::shape("preset schema version " + std::to_string(file.version) +
                             " is not supported by this build"));
  for (const Device& d : file.devices) {
    if (d.scale == 0) return fail(Error::shape(device_message(d, "scale is zero")));
    if (d.output_width == 0 || d.output_height == 0)
      return fail(Error::shape(device_message(d, "zero output dimension")));
    if (d.output_width % d.scale != 0 || d.output_height % d.scale != 0)
      return fail(Error::shape(device_message(
          d, "output " + std::to_string(d.output_width) + "x" + std::to_string(d.output_height) +
                 " does not divide by scale " + std::to_string(d.scale) +
                 ", so no integer viewport can produce it")));
  }
  std::vector<std::string_view> ids;
  ids.reserve(file.devices.size());
  for (const Device& d : file.devices) ids.push_back(d.id);
  std::sort(ids.begin(), ids.end());
  if (std::adjacent_find(ids.begin(), ids.end()) != ids.end())
    return fail(Error::shape("duplicate device id in preset file"));
  return std::move(file.devices);
}

}  // namespace

Result<std::vector<Device>> parse_presets(std::string_view text) {
  const char* furthest = text.data();
  PresetHandler handler(text, &furthest);
  CountingIterator first{text.data(), &furthest};
  CountingIterator last{text.data() + text.size(), nullptr};
  bool parsed = json::sax_parse(first, last, &handler);
  auto file = handler.take(parsed);
  if (!file) return fail(std::move(file.error()));
  return validate(std::move(*file));
}

}  // namespace kestrelite
