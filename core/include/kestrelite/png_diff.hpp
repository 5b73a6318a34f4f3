// The pixel comparison of two screenshots and its difference image.
//
// Two pixels differ when their RGBA values differ; a 16-bit sample equals an
// 8-bit one when it is that value times 257, so the same picture stored at
// either depth compares equal. Images of different sizes are not compared
// pixel by pixel: the result only gives both sizes.
//
// A differing pixel counts as changed unless CompareOptions leave it out:
// a pixel inside a mask is left out of the comparison (counted in `masked`),
// and with Antialiasing::Ignore a pixel that looks like anti-aliasing in
// either image (V. Vysniauskas's detector, 2009, as image-diff tools use
// it) is counted in `antialiased` instead. Only changed pixels enter
// `differing` and the box.
//
// The difference image shows the new image faded to light grey, every
// changed pixel in pure red, and the pixels within a halo of a changed
// pixel tinted yellow, so that a single changed pixel is seen at once even
// when the image is shown scaled down. Masked areas are tinted blue with
// diagonal hatching and ignored anti-aliased pixels are amber; the halo
// leaves both as they are. It is an 8-bit palette PNG of the images' size;
// its palette holds only the greys, the tinted greys, the hatching and the
// two marks, so that exactly the changed pixels are red and exactly the
// ignored anti-aliased ones are amber.
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

// A box of device pixels left out of the comparison. Any values are
// allowed: the box is clipped to the image, and a width or height of 0 or
// less makes it empty.
struct MaskBox {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

enum class Antialiasing { Count, Ignore };

struct CompareOptions {
  std::vector<MaskBox> masks;  // may overlap
  Antialiasing antialiasing = Antialiasing::Count;
};

// Every count is 0 when the sizes differ; a differing pixel enters exactly
// one of differing, antialiased and masked.
struct Difference {
  ImageSize base;
  ImageSize now;
  std::uint64_t differing = 0;    // changed pixels
  std::uint64_t antialiased = 0;  // ignored as anti-aliasing; 0 with Antialiasing::Count
  std::uint64_t masked = 0;       // differing pixels inside a mask
  PixelBox box;                   // the smallest box around the changed pixels; empty when none
  std::string png;                // the difference image; empty when the sizes differ
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
std::expected<Difference, CompareError> compare_png(std::string_view base, std::string_view now,
                                                    const CompareOptions& options = {});

// The figures of a comparison as a JSON object: "base" and "new" sizes, and
// for images of one size "differing", "antialiased" and "masked" when not
// 0, and, when a pixel changed, "box".
std::string difference_json(const Difference& difference);

}  // namespace kestrelite
