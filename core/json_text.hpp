// Compact JSON writing for records whose members keep declaration order
// (devices, the run report). DevTools messages, whose members are sorted,
// go through nlohmann::json instead.
//
// Strings: '"' and '\' are escaped with a backslash; U+0008, U+0009, U+000A,
// U+000C and U+000D become \b \t \n \f \r; other characters below U+0020
// become \u00XX with lower-case hex; everything else, non-ASCII included, is
// written unchanged. A byte sequence that is not valid UTF-8 is written as
// U+FFFD, so the output is always valid UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kestrelite/report.hpp"

namespace kestrelite::json_text {

void append_string(std::string& out, std::string_view text);
void append_uint(std::string& out, uint128 value);
inline void append_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

// Appends `"key":` (the key is written with the string rules).
void append_key(std::string& out, std::string_view key);

// Writes one object: `{` now, `}` when destroyed, and a comma before every
// member but the first.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_ += '{'; }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;
  ~ObjectWriter() { out_ += '}'; }
  // Starts a member; the caller appends its value to the returned text.
  std::string& key(std::string_view name) {
    if (!first_) out_ += ',';
    first_ = false;
    append_key(out_, name);
    return out_;
  }

 private:
  std::string& out_;
  bool first_ = true;
};

// Writes `items` as an array: `[`, each item by `each(out, item)` with a
// comma between, `]`.
template <class Items, class Each>
void append_array(std::string& out, const Items& items, Each each) {
  out += '[';
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ',';
    first = false;
    each(out, item);
  }
  out += ']';
}

// Length of the longest prefix of `bytes` that is valid UTF-8.
std::size_t valid_utf8_prefix(std::string_view bytes);

// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace kestrelite::json_text
