#include "json_text.hpp"

#include <cstring>

namespace kestrelite::json_text {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at bytes[i], or 0 when the
// bytes there do not start one (overlong forms, surrogates and values above
// U+10FFFF are invalid).
std::size_t sequence_length(std::string_view bytes, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  unsigned char c = at(i);
  std::size_t left = bytes.size() - i;
  auto cont = [&](std::size_t k) { return (at(i + k) & 0xC0) == 0x80; };
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return left >= 2 && cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3 || !cont(1) || !cont(2)) return 0;
    unsigned char c1 = at(i + 1);
    if (c == 0xE0 && c1 < 0xA0) return 0;
    if (c == 0xED && c1 >= 0xA0) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
    unsigned char c1 = at(i + 1);
    if (c == 0xF0 && c1 < 0x90) return 0;
    if (c == 0xF4 && c1 >= 0x90) return 0;
    return 4;
  }
  return 0;
}

// Number of bytes of the invalid sequence at bytes[i]: the lead byte and
// the continuation bytes that could still belong to it.
std::size_t invalid_length(std::string_view bytes, std::size_t i) {
  std::size_t n = 1;
  while (n < 3 && i + n < bytes.size() && (static_cast<unsigned char>(bytes[i + n]) & 0xC0) == 0x80 &&
         static_cast<unsigned char>(bytes[i]) >= 0xC0)
    ++n;
  return n;
}

}  // namespace

std::size_t valid_utf8_prefix(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    // Fast path: eight ASCII bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    std::size_t len = sequence_length(bytes, i);
    if (len == 0) return i;
    i += len;
  }
  return n;
}

std::string lossy_utf8(std::string_view bytes) {
  std::size_t valid = valid_utf8_prefix(bytes);
  if (valid == bytes.size()) return std::string(bytes);
  std::string out(bytes.substr(0, valid));
  std::size_t i = valid;
  while (i < bytes.size()) {
    std::size_t len = sequence_length(bytes, i);
    if (len == 0) {
      out += kReplacement;
      i += invalid_length(bytes, i);
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

void append_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t len = sequence_length(text, i);
      if (len == 0) {
        out += kReplacement;
        i += invalid_length(text, i);
      } else {
        out.append(text.substr(i, len));
        i += len;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

void append_uint(std::string& out, uint128 value) {
  char digits[40];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

void append_key(std::string& out, std::string_view key) {
  append_string(out, key);
  out += ':';
}

}  // namespace kestrelite::json_text
