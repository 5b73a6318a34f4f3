// The pixel work of a comparison, apart for its tests.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kestrelite/png_diff.hpp"
#include "png_codec.hpp"

namespace kestrelite {

inline constexpr Rgb kMark = {255, 0, 0};

// Chebyshev radius of the tint around differing pixels: 1/80 of the
// image's width plus height, at least 6 pixels.
std::uint32_t halo_radius(ImageSize size);

// The comparison of two decoded images of equal size, without `png`;
// `indices` receives the difference image's palette indices, row by row.
Difference compare_images(const Image& base, const Image& now, std::vector<std::uint8_t>& indices);

// The palette that those indices refer to.
std::span<const Rgb> difference_palette();

}  // namespace kestrelite
