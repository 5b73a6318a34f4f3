// What the fuzz targets share. A broken invariant prints what broke and
// aborts; libFuzzer then saves the input as a crash.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "json_text.hpp"

namespace kestrelite::fuzz {

inline void require(bool ok, std::string_view what, std::string_view detail = {}) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %.*s\n  detail: %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(std::min<std::size_t>(detail.size(), 400)), detail.data());
  std::abort();
}

inline bool valid_utf8(std::string_view bytes) { return json_text::valid_utf8_prefix(bytes) == bytes.size(); }

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace kestrelite::fuzz
