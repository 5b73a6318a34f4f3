// The pixel comparison of two screenshots and its difference image.
//
// Two pixels differ when their RGBA values differ; a 16-bit sample equals an
// 8-bit one when it is that value times 257, so the same picture stored at
// either depth compares equal. Images of different sizes are not compared
// pixel by pixel: the result only gives both sizes.
//
// The difference image shows the new image faded to light grey, every
// differing pixel in pure red (kMark), and the pixels within halo_radius()
// of a differing pixel tinted yellow, so that a single changed pixel is
// seen at once even when the image is shown scaled down. It is an 8-bit
// palette PNG of the images' size; its palette holds only the greys, the
// tinted greys and the mark, so that exactly the differing pixels are red.
//
// compare_png() decodes the base image on a second thread while the calling
// thread decodes the new one; it keeps no state and may run on several
// threads at once.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrelite/error.hpp"
#include "kestrelite/report.hpp"

namespace kestrelite {

struct PixelBox {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool operator==(const PixelBox&) const = default;
};

struct Difference {
  ImageSize base;
  ImageSize now;
  std::uint64_t differing = 0;  // 0 when the sizes differ
  PixelBox box;                 // the smallest box around the differing pixels; empty when none
  std::string png;              // the difference image; empty when the sizes differ
};

// What a failure concerns, for the caller's message: one of the two
// inputs, or the making of the difference image.
enum class Side { Base, New, Difference };

struct CompareError {
  Side side;
  Error error;
};

// Both images decoded and compared, with the difference image when the
// sizes are equal.
std::expected<Difference, CompareError> compare_png(std::string_view base, std::string_view now);

// The figures of a comparison as a JSON object: "base" and "new" sizes, and
// for images of one size "differing" and, when a pixel differs, "box".
std::string difference_json(const Difference& difference);

}  // namespace kestrelite
