#include "base64.hpp"

#include <array>
#include <cstdint>
#include <cstdio>

namespace kestrelite::base64 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Any bit above the low 24 marks a byte outside the alphabet, so one test
// per group of four finds every bad byte in it.
constexpr std::uint32_t kInvalid = 0xFF000000;

// The value of each character shifted to its place in a group's 24 bits.
struct Tables {
  std::array<std::uint32_t, 256> at[4];
};

constexpr Tables make_tables() {
  Tables t{};
  for (auto& table : t.at) table.fill(kInvalid);
  for (std::uint32_t v = 0; v < 64; ++v) {
    auto c = static_cast<unsigned char>(kAlphabet[v]);
    t.at[0][c] = v << 18;
    t.at[1][c] = v << 12;
    t.at[2][c] = v << 6;
    t.at[3][c] = v;
  }
  return t;
}

constexpr Tables kTables = make_tables();

std::string at_offset(const char* what, std::size_t offset) {
  return std::string(what) + " at offset " + std::to_string(offset);
}

std::string invalid_byte(unsigned char c, std::size_t offset) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02x", c);
  return "invalid byte " + std::string(hex) + " at offset " + std::to_string(offset);
}

std::uint32_t group(const unsigned char* p) {
  return kTables.at[0][p[0]] | kTables.at[1][p[1]] | kTables.at[2][p[2]] | kTables.at[3][p[3]];
}

// The first byte outside the alphabet in a group known to hold one.
std::string describe_bad_group(const unsigned char* p, std::size_t offset) {
  std::size_t k = 0;
  while (kTables.at[0][p[k]] != kInvalid) ++k;
  if (p[k] == '=') return at_offset("misplaced padding", offset + k);
  return invalid_byte(p[k], offset + k);
}

}  // namespace

std::string encode(std::string_view bytes) {
  std::string out;
  const std::size_t n = bytes.size();
  const std::size_t size = (n + 2) / 3 * 4;
  // The operation returns the size asked for: libstdc++ 12 passes it the
  // grown capacity instead.
  out.resize_and_overwrite(size, [&](char* o, std::size_t) {
    auto in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3, o += 4) {
      std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
      o[0] = kAlphabet[v >> 18];
      o[1] = kAlphabet[(v >> 12) & 63];
      o[2] = kAlphabet[(v >> 6) & 63];
      o[3] = kAlphabet[v & 63];
    }
    if (n - i == 1) {
      std::uint32_t v = std::uint32_t{in[i]} << 16;
      o[0] = kAlphabet[v >> 18];
      o[1] = kAlphabet[(v >> 12) & 63];
      o[2] = '=';
      o[3] = '=';
    } else if (n - i == 2) {
      std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8;
      o[0] = kAlphabet[v >> 18];
      o[1] = kAlphabet[(v >> 12) & 63];
      o[2] = kAlphabet[(v >> 6) & 63];
      o[3] = '=';
    }
    return size;
  });
  return out;
}

namespace {

// Decodes the n characters at `in` into `o`, which may be `in` itself:
// each group is read whole before its three bytes are written, and those
// land before the group. Returns the byte count, or sets `fault`.
std::size_t decode_into(const unsigned char* in, std::size_t n, char* o, std::string& fault) {
  if (n % 4 != 0) {
    fault = "length " + std::to_string(n) + " is not a multiple of 4";
    return 0;
  }
  if (n == 0) return 0;

  // Only the last group may carry padding: one '=' or two.
  const std::size_t last = n - 4;
  std::size_t pad = 0;
  if (in[n - 1] == '=') pad = in[n - 2] == '=' ? 2 : 1;

  std::size_t i = 0;
  for (; i < last; i += 4, o += 3) {
    std::uint32_t v = group(in + i);
    if (v & kInvalid) {
      fault = describe_bad_group(in + i, i);
      return 0;
    }
    o[0] = static_cast<char>(v >> 16);
    o[1] = static_cast<char>(v >> 8);
    o[2] = static_cast<char>(v);
  }
  unsigned char tail[4] = {in[i], in[i + 1], in[i + 2], in[i + 3]};
  if (pad >= 1) tail[3] = 'A';
  if (pad == 2) tail[2] = 'A';
  std::uint32_t v = group(tail);
  if (v & kInvalid) {
    fault = describe_bad_group(tail, i);
    return 0;
  }
  // The bits below the last encoded byte must be zero, or two texts would
  // decode to the same bytes.
  if ((pad == 1 && (v & 0xFF) != 0) || (pad == 2 && (v & 0xFFFF) != 0)) {
    fault = at_offset("non-zero trailing bits", n - 1 - pad);
    return 0;
  }
  o[0] = static_cast<char>(v >> 16);
  if (pad < 2) o[1] = static_cast<char>(v >> 8);
  if (pad < 1) o[2] = static_cast<char>(v);
  return n / 4 * 3 - pad;
}

}  // namespace

std::expected<std::string, std::string> decode(std::string_view text) {
  std::string out;
  std::string fault;
  // The bytes never outnumber three quarters of the text.
  out.resize_and_overwrite(text.size() / 4 * 3, [&](char* o, std::size_t) {
    return decode_into(reinterpret_cast<const unsigned char*>(text.data()), text.size(), o, fault);
  });
  if (!fault.empty()) return std::unexpected(std::move(fault));
  return out;
}

std::expected<void, std::string> decode_in_place(std::string& text) {
  std::string fault;
  std::size_t size = decode_into(reinterpret_cast<const unsigned char*>(text.data()), text.size(), text.data(), fault);
  if (!fault.empty()) return std::unexpected(std::move(fault));
  text.resize(size);
  return {};
}

}  // namespace kestrelite::base64
