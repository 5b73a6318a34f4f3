// What the fuzz targets share: invariant checks and an independent UTF-8
// validator.
//
// A broken invariant prints what broke, with the detail given, and aborts;
// libFuzzer then saves the input as a crash like any sanitizer report. The
// validator decodes code points arithmetically, unlike the table of ranges
// in the core, so that each checks the other.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kestrelite::fuzz {

[[noreturn]] inline void broken(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
  // Long details are cut: the saved input holds the whole story.
  constexpr std::size_t kShown = 400;
  if (!detail.empty())
    std::fprintf(stderr, "  detail: %.*s%s\n", static_cast<int>(std::min(detail.size(), kShown)), detail.data(),
                 detail.size() > kShown ? " [...]" : "");
  std::abort();
}

inline void require(bool ok, std::string_view what, std::string_view detail = {}) {
  if (!ok) broken(what, detail);
}

// Length of the longest prefix of `bytes` that is valid UTF-8.
inline std::size_t utf8_prefix(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t width;
    std::uint32_t cp;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      width = 2;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      width = 3;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      width = 4;
      cp = lead & 0x07;
    } else {
      return i;
    }
    if (bytes.size() - i < width) return i;
    for (std::size_t k = 1; k < width; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + k]);
      if ((c & 0xC0) != 0x80) return i;
      cp = cp << 6 | (c & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[width] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += width;
  }
  return i;
}

inline bool valid_utf8(std::string_view bytes) { return utf8_prefix(bytes) == bytes.size(); }

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace kestrelite::fuzz
