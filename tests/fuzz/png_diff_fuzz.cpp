// PNG decoding for comparisons: png::decode on any bytes, then, for an image
// it accepts, the comparison with itself and with a copy whose first pixel
// differs, and the round trip of the difference image through
// encode_indexed and decode.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "png.hpp"
#include "png_diff.hpp"

using namespace kestrelite;
using fuzz::require;

namespace {

// Small enough that a short input claiming a huge image is refused quickly.
constexpr std::uint64_t kMaxPixels = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzz::as_text(data, size);
  auto image = png::decode(bytes, kMaxPixels);
  if (!image) {
    require(image.error().kind() == Error::Kind::Shape, "error kind", image.error().display());
    return 0;
  }
  const auto header = png::dimensions(bytes);
  require(header && header->width == image->width && header->height == image->height, "size differs from IHDR");
  require(std::uint64_t{image->width} * image->height <= kMaxPixels, "pixel limit passed");
  require(image->depth == 8 || image->depth == 16, "depth");

  std::vector<std::uint8_t> indices;
  const Difference same = compare_images(*image, *image, indices);
  require(same.differing == 0 && same.box == PixelBox{}, "an image differs from itself");

  Image copy{image->width, image->height, image->depth, nullptr};
  const std::size_t length = image->row_bytes() * image->height;
  copy.pixels = std::make_unique<std::uint8_t[]>(length);
  std::memcpy(copy.pixels.get(), image->pixels.get(), length);
  copy.pixels[0] ^= 1;
  const Difference one = compare_images(*image, copy, indices);
  require(one.differing == 1 && one.box == (PixelBox{0, 0, 1, 1}), "first pixel changed");

  auto encoded = png::encode_indexed(image->width, image->height, difference_palette(), indices);
  require(encoded.has_value(), "difference image refused", encoded ? "" : encoded.error().display());
  auto decoded = png::decode(*encoded, kMaxPixels);
  require(decoded && decoded->width == image->width && decoded->height == image->height,
          "difference image does not decode to its size");
  std::uint8_t first[4];
  std::memcpy(first, decoded->pixels.get(), 4);
  require(first[0] == kMark[0] && first[1] == kMark[1] && first[2] == kMark[2], "first pixel not marked");
  return 0;
}
