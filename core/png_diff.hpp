// The pixel work of a comparison, apart for its tests.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kestrelite/png_diff.hpp"
#include "png_codec.hpp"

namespace kestrelite {

inline constexpr Rgb kMark = {255, 0, 0};
inline constexpr Rgb kAntialiasedMark = {255, 160, 0};
inline constexpr Rgb kHatch = {40, 90, 220};

// Chebyshev radius of the tint around changed pixels: 1/80 of the
// image's width plus height, at least 6 pixels.
std::uint32_t halo_radius(ImageSize size);

// The comparison of two decoded images of equal size, without `png`;
// `indices` receives the difference image's palette indices, row by row.
Difference compare_images(const Image& base, const Image& now, std::vector<std::uint8_t>& indices,
                          const CompareOptions& options = {});

// The palette that those indices refer to.
std::span<const Rgb> difference_palette();

// Whether the pixel at (x, y) of `image` looks like anti-aliasing, by
// V. Vysniauskas's detector (2009) as image-diff tools use it. Brightness
// is the Y of YIQ (Kotsarenko and Ramos, 2010) over a white background.
// The pixel is a candidate when at most 2 of its 8 neighbours are as bright
// as it is, at least one is darker and at least one brighter; it is
// anti-aliased when its darkest or its brightest neighbour (the first in
// row order among equals) lies in a flat area of both `image` and `other`:
// at least 3 of that neighbour's own neighbours have its exact RGBA in
// each image. Beyond the image's edge counts as one equal neighbour. Both
// images have the same size and (x, y) lies inside it; the depths may
// differ.
bool is_antialiased(const Image& image, const Image& other, std::uint32_t x, std::uint32_t y);

}  // namespace kestrelite
