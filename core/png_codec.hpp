// PNG images in memory, decoded and encoded through the system's libpng.
//
// decode() turns any valid PNG (grey, grey with alpha, RGB, RGBA or palette;
// 1 to 16 bits per sample; with or without a transparency chunk; interlaced
// or not) into rows of RGBA pixels: 8 bits per sample when the file has at
// most 8, 16 bits (big-endian, as stored) when it has 16. Samples are taken
// as stored: gamma, colour profiles and significant-bits chunks are not
// applied, so two files decode to equal pixels exactly when they hold the
// same picture. A file libpng refuses (bad signature, CRC or zlib error,
// missing or truncated data) is an Error::Shape with libpng's own text; so
// is an image of more than `max_pixels` pixels, refused from its header
// before any pixel memory is taken.
//
// encode_indexed() writes an 8-bit palette PNG, unfiltered and compressed
// for speed: the form of difference images, whose pixels take few values.
//
// Both are pure; every call has its own libpng state, so calls may run on
// several threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "kestrelite/error.hpp"

namespace kestrelite {

struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  unsigned depth = 8;  // bits per sample: 8 or 16
  // height rows of width pixels, each R, G, B, A; no padding between rows.
  std::unique_ptr<std::uint8_t[]> pixels;

  std::size_t pixel_bytes() const { return depth / 2; }
  std::size_t row_bytes() const { return std::size_t{width} * pixel_bytes(); }
};

using Rgb = std::array<std::uint8_t, 3>;

namespace png {

// 2^27 pixels: 16384 x 8192, far beyond any store's largest screenshot.
inline constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 27;

Result<Image> decode(std::string_view bytes, std::uint64_t max_pixels = kMaxPixels);

// `indices` holds width x height palette indices, row by row; every index
// must name an entry of `palette` (at most 256 entries).
Result<std::string> encode_indexed(std::uint32_t width, std::uint32_t height, std::span<const Rgb> palette,
                                   std::span<const std::uint8_t> indices);

}  // namespace png

}  // namespace kestrelite
