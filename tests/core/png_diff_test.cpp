#include "png_diff.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrelite {
namespace {

using Rgba = std::array<std::uint8_t, 4>;

using Pixels = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

Image blank(std::uint32_t width, std::uint32_t height, unsigned depth) {
  Image image{width, height, depth, nullptr};
  image.pixels = std::make_unique<std::uint8_t[]>(image.row_bytes() * height);
  return image;
}

// An 8-bit colour at either depth (v * 257 at 16 bits: the same picture).
void put(Image& image, std::uint32_t x, std::uint32_t y, Rgba rgba) {
  std::uint8_t* p = image.pixels.get() + y * image.row_bytes() + std::size_t{x} * image.pixel_bytes();
  for (int c = 0; c < 4; ++c) {
    if (image.depth == 8)
      p[c] = rgba[c];
    else
      p[2 * c] = p[2 * c + 1] = rgba[c];
  }
}

Image filled(std::uint32_t width, std::uint32_t height, unsigned depth, std::array<std::uint16_t, 4> rgba) {
  Image image{width, height, depth, nullptr};
  image.pixels = std::make_unique<std::uint8_t[]>(image.row_bytes() * height);
  for (std::size_t i = 0; i < std::size_t{width} * height; ++i)
    for (int c = 0; c < 4; ++c) {
      std::uint8_t* p = image.pixels.get() + i * image.pixel_bytes();
      if (depth == 8) {
        p[c] = static_cast<std::uint8_t>(rgba[c]);
      } else {
        p[2 * c] = static_cast<std::uint8_t>(rgba[c] >> 8);
        p[2 * c + 1] = static_cast<std::uint8_t>(rgba[c] & 0xFF);
      }
    }
  return image;
}

// A picture as PNG bytes, through a palette of its colours (opaque RGB).
struct Picture {
  std::uint32_t width, height;
  std::vector<Rgb> pixels;

  Picture(std::uint32_t w, std::uint32_t h) : width(w), height(h), pixels(std::size_t{w} * h) {
    for (std::uint32_t y = 0; y < h; ++y)
      for (std::uint32_t x = 0; x < w; ++x)  // a few bands of colour, so the fade has something to show
        at(x, y) = {static_cast<std::uint8_t>(40 * (x / 16)), static_cast<std::uint8_t>(200 - 50 * (y / 30)), 120};
  }
  Rgb& at(std::uint32_t x, std::uint32_t y) { return pixels[std::size_t{y} * width + x]; }

  std::string png() const {
    std::vector<Rgb> palette;
    std::map<Rgb, std::uint8_t> index;
    std::vector<std::uint8_t> indices;
    for (const Rgb& p : pixels) {
      auto [it, added] = index.emplace(p, static_cast<std::uint8_t>(palette.size()));
      if (added) palette.push_back(p);
      indices.push_back(it->second);
    }
    auto bytes = png::encode_indexed(width, height, palette, indices);
    EXPECT_TRUE(bytes) << bytes.error().display();
    return bytes ? *bytes : std::string();
  }
};

Rgba pixel(const Image& image, std::uint32_t x, std::uint32_t y) {
  Rgba out;
  std::memcpy(out.data(), image.pixels.get() + y * image.row_bytes() + std::size_t{x} * 4, 4);
  return out;
}

struct BrokenCase {
  const char* name;
  std::string (*damage)(std::string);
  std::string message;
};

std::size_t chunk_at(const std::string& png, std::string_view type) { return png.find(type) - 4; }

const BrokenCase kBroken[] = {
    {"empty", [](std::string) { return std::string(); }, "not a png (bad magic)"},
    {"signature_only", [](std::string png) { return png.substr(0, 8); }, "invalid png: file is truncated"},
    {"cut_in_image_data",
     [](std::string png) { return png.substr(0, chunk_at(png, "IDAT") + 20); }, "invalid png: file is truncated"},
    {"no_end_chunk", [](std::string png) { return png.substr(0, png.size() - 12); }, "invalid png: file is truncated"},
    {"image_data_damaged",
     [](std::string png) {
       png[chunk_at(png, "IDAT") + 10] ^= 0x40;
       return png;
     },
     "invalid png: IDAT: "},  // zlib says what it found wrong
    {"chunk_before_header", [](std::string png) { return png.insert(8, std::string("\0\0\0\0vvvv\0\0\0\0", 12)); },
     "first chunk is not IHDR"},
    {"header_damaged",
     [](std::string png) {
       png[16] ^= 0x01;
       return png;
     },
     "invalid png: IHDR: CRC error"},
};

class BrokenPngTest : public testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenPngTest, IsRefusedWithLibpngsReason) {
  auto image = png::decode(GetParam().damage(Picture(40, 30).png()));
  ASSERT_FALSE(image);
  EXPECT_EQ(image.error().kind(), Error::Kind::Shape);
  EXPECT_TRUE(image.error().message().starts_with(GetParam().message)) << image.error().message();
}

INSTANTIATE_TEST_SUITE_P(Files, BrokenPngTest, testing::ValuesIn(kBroken),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PngCodecTest, PixelLimitIsCheckedFromTheHeader) {
  const std::string png = Picture(10, 10).png();
  EXPECT_TRUE(png::decode(png, 100));
  auto refused = png::decode(png, 99);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "png too large: 10x10 pixels, more than 99");
}

TEST(PngCodecTest, EncodeRefusesIndicesItCannotWrite) {
  const Rgb black{0, 0, 0};
  const std::vector<std::uint8_t> indices{0, 1};
  EXPECT_FALSE(png::encode_indexed(2, 1, std::span(&black, 1), indices));
  EXPECT_FALSE(png::encode_indexed(3, 1, std::span(&black, 1), std::vector<std::uint8_t>{0, 0}));
}

struct FiguresCase {
  const char* name;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> changed;
  PixelBox box;
};

const FiguresCase kFigures[] = {
    {"none", {}, {}},
    {"top_left_corner", {{0, 0}}, {0, 0, 1, 1}},
    {"bottom_right_corner", {{79, 59}}, {79, 59, 1, 1}},
    {"two_far_apart", {{3, 40}, {70, 2}}, {3, 2, 68, 39}},
    {"one_row", {{10, 5}, {11, 5}, {30, 5}}, {10, 5, 21, 1}},
};

class FiguresTest : public testing::TestWithParam<FiguresCase> {};

TEST_P(FiguresTest, CountAndBoxCoverExactlyTheChangedPixels) {
  Picture base(80, 60), changed(80, 60);
  for (auto [x, y] : GetParam().changed) changed.at(x, y)[2] ^= 1;
  auto d = compare_png(base.png(), changed.png());
  ASSERT_TRUE(d) << d.error().error.display();
  EXPECT_EQ(d->differing, GetParam().changed.size());
  EXPECT_EQ(d->box, GetParam().box);
  EXPECT_EQ(d->base, (ImageSize{80, 60}));
  EXPECT_FALSE(d->png.empty());
}

INSTANTIATE_TEST_SUITE_P(Pixels, FiguresTest, testing::ValuesIn(kFigures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DifferenceImageTest, MarksExactlyTheDifferingPixelsAndTintsAroundThem) {
  Picture base(200, 150), changed(200, 150);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> spots{{5, 5}, {6, 5}, {150, 100}};
  for (auto [x, y] : spots) changed.at(x, y) = {255, 255, 255};
  auto d = compare_png(base.png(), changed.png());
  ASSERT_TRUE(d);
  auto image = png::decode(d->png);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, 200u);
  const auto radius = static_cast<std::int64_t>(halo_radius({200, 150}));
  EXPECT_EQ(radius, 6);
  const Rgba red{kMark[0], kMark[1], kMark[2], 255};
  for (std::uint32_t y = 0; y < 150; ++y)
    for (std::uint32_t x = 0; x < 200; ++x) {
      const Rgba got = pixel(*image, x, y);
      const bool marked = std::ranges::count(spots, std::pair{x, y}) > 0;
      const bool near = std::ranges::any_of(spots, [&](auto s) {
        return std::max(std::abs(std::int64_t{x} - s.first), std::abs(std::int64_t{y} - s.second)) <= radius;
      });
      if (marked) {
        ASSERT_EQ(got, red) << x << "," << y;
      } else if (near) {
        ASSERT_TRUE(got[0] > got[1] && got[1] > got[2]) << "not tinted at " << x << "," << y;
      } else {
        // The new image faded: a light grey no darker than half contrast.
        ASSERT_TRUE(got[0] == got[1] && got[1] == got[2] && got[0] >= 127) << "not grey at " << x << "," << y;
      }
    }
}

TEST(DifferenceImageTest, SixteenBitSamplesEqualTheirEightBitValue) {
  Image eight = filled(4, 3, 8, {10, 200, 30, 255});
  Image same = filled(4, 3, 16, {10 * 257, 200 * 257, 30 * 257, 65535});
  Image close = filled(4, 3, 16, {10 * 257, 200 * 257, 30 * 257, 65535});
  close.pixels[close.row_bytes() + 8 + 3] ^= 1;  // the low byte of green at (1, 1)
  std::vector<std::uint8_t> indices;
  EXPECT_EQ(compare_images(eight, same, indices).differing, 0u);
  EXPECT_EQ(compare_images(same, eight, indices).differing, 0u);
  EXPECT_EQ(compare_images(same, same, indices).differing, 0u);
  for (const auto& [base, now] : {std::pair{&eight, &close}, std::pair{&close, &eight}, std::pair{&same, &close}}) {
    const Difference d = compare_images(*base, *now, indices);
    EXPECT_EQ(d.differing, 1u);
    EXPECT_EQ(d.box, (PixelBox{1, 1, 1, 1}));
  }
}

TEST(DifferenceImageTest, FailureNamesTheBrokenSide) {
  const std::string good = Picture(8, 8).png();
  auto base = compare_png("not a png", good);
  ASSERT_FALSE(base);
  EXPECT_EQ(base.error().side, Side::Base);
  auto now = compare_png(good, good.substr(0, 40));
  ASSERT_FALSE(now);
  EXPECT_EQ(now.error().side, Side::New);
  EXPECT_EQ(now.error().error.message(), "invalid png: file is truncated");
}

Pixels square(std::uint32_t x, std::uint32_t y, std::uint32_t side) {
  Pixels out;
  for (std::uint32_t dy = 0; dy < side; ++dy)
    for (std::uint32_t dx = 0; dx < side; ++dx) out.emplace_back(x + dx, y + dy);
  return out;
}

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

struct MaskCase {
  const char* name;
  Pixels changed;
  std::vector<MaskBox> masks;
  std::uint64_t differing;
  std::uint64_t masked;
  PixelBox box;
};

// On an 80 x 60 picture.
const MaskCase kMasks[] = {
    {"mask_over_changed_square", square(20, 20, 5), {{18, 18, 10, 10}}, 0, 25, {}},
    {"mask_partly_outside", {{78, 58}, {79, 59}, {10, 10}}, {{75, 55, 100, 100}}, 1, 2, {10, 10, 1, 1}},
    {"mask_beyond_top_left", {{0, 0}, {2, 2}, {3, 3}}, {{-5, -5, 8, 8}}, 1, 2, {3, 3, 1, 1}},
    {"empty_masks",
     {{5, 5}},
     {{5, 5, 0, 3}, {5, 5, 3, -1}, {80, 0, 5, 5}, {0, 60, 5, 5}, {-10, -10, 10, 10}},
     1,
     0,
     {5, 5, 1, 1}},
    {"overlapping_masks_count_once", square(30, 30, 3), {{29, 29, 3, 3}, {30, 30, 4, 4}}, 0, 9, {}},
    {"mask_shrinks_the_box", {{5, 5}, {40, 30}, {70, 50}}, {{60, 45, 20, 10}}, 2, 1, {5, 5, 36, 26}},
    {"huge_box_covers_everything", {{0, 0}, {79, 59}}, {{kMin / 2, kMin / 2, kMax, kMax}}, 0, 2, {}},
    {"extreme_box_ends_before_the_image", {{0, 0}}, {{kMin, kMin, kMax, kMax}}, 1, 0, {0, 0, 1, 1}},
};

class DiffMaskTest : public testing::TestWithParam<MaskCase> {};

TEST_P(DiffMaskTest, MaskedPixelsLeaveTheCountAndTheBox) {
  Picture base(80, 60), changed(80, 60);
  for (auto [x, y] : GetParam().changed) changed.at(x, y)[2] ^= 1;
  auto d = compare_png(base.png(), changed.png(), {GetParam().masks, Antialiasing::Count});
  ASSERT_TRUE(d) << d.error().error.display();
  EXPECT_EQ(d->differing, GetParam().differing);
  EXPECT_EQ(d->masked, GetParam().masked);
  EXPECT_EQ(d->antialiased, 0u);
  EXPECT_EQ(d->box, GetParam().box);
}

INSTANTIATE_TEST_SUITE_P(Boxes, DiffMaskTest, testing::ValuesIn(kMasks),
                         [](const auto& info) { return std::string(info.param.name); });

Rgba opaque(Rgb rgb) { return {rgb[0], rgb[1], rgb[2], 255}; }

TEST(DifferenceImageTest, MasksAreTintedBlueAndHatchedAndNeverRed) {
  Picture base(80, 60), changed(80, 60);
  for (auto [x, y] : square(20, 20, 5)) changed.at(x, y) = {255, 255, 255};
  changed.at(60, 40) = {255, 255, 255};
  auto d = compare_png(base.png(), changed.png(), {{{16, 16, 12, 12}}, Antialiasing::Count});
  ASSERT_TRUE(d);
  EXPECT_EQ(d->differing, 1u);
  EXPECT_EQ(d->masked, 25u);
  auto image = png::decode(d->png);
  ASSERT_TRUE(image);
  int hatched = 0;
  for (std::uint32_t y = 0; y < 60; ++y)
    for (std::uint32_t x = 0; x < 80; ++x) {
      const Rgba got = pixel(*image, x, y);
      const bool masked = x >= 16 && x < 28 && y >= 16 && y < 28;
      ASSERT_EQ(got == opaque(kMark), x == 60 && y == 40) << x << "," << y;
      ASSERT_EQ(got[2] > got[0], masked) << "blue exactly in the mask, at " << x << "," << y;
      hatched += got == opaque(kHatch);
    }
  EXPECT_GT(hatched, 0);
}

// 5 x 5 pictures for the detector, a character a pixel: B black, W white,
// G mid grey, T transparent black, a to k distinct greys (2 + 9n).
using Rows = std::array<std::string_view, 5>;

Image grid(const Rows& rows, unsigned depth) {
  Image image = blank(5, 5, depth);
  for (std::uint32_t y = 0; y < 5; ++y)
    for (std::uint32_t x = 0; x < 5; ++x) {
      const char c = rows[y][x];
      const int grey = c == 'B' || c == 'T' ? 0 : c == 'W' ? 255 : c == 'G' ? 128 : 2 + 9 * (c - 'a');
      const auto g = static_cast<std::uint8_t>(grey);
      put(image, x, y, {g, g, g, static_cast<std::uint8_t>(c == 'T' ? 0 : 255)});
    }
  return image;
}

struct DetectorCase {
  const char* name;
  Rows image, other;
  std::uint32_t x, y;
  bool antialiased;
};

// Each worked out by hand, as its comment or name says.
const DetectorCase kDetector[] = {
    // (2,2) has 2 equal neighbours, darker B and brighter W; its darkest
    // neighbour (1,1) has 5 black neighbours in both pictures.
    {"blend_between_flat_areas",
     {"BBGWW", "BBGWW", "BBGWW", "BBGWW", "BBGWW"},
     {"BBGWW", "BBGWW", "BBGWW", "BBGWW", "BBGWW"}, 2, 2, true},
    {"horizontal_blend",
     {"BBBBB", "BBBBB", "GGGGG", "WWWWW", "WWWWW"},
     {"BBBBB", "BBBBB", "GGGGG", "WWWWW", "WWWWW"}, 2, 2, true},
    // As horizontal_blend, but the G above (2,2) makes 3 equal neighbours.
    {"three_equal_neighbours",
     {"BBBWW", "BBGWW", "GGGGG", "WWWWW", "WWWWW"},
     {"BBBWW", "BBGWW", "GGGGG", "WWWWW", "WWWWW"}, 2, 2, false},
    // Every neighbour is darker: a dot, not a blend.
    {"lone_bright_dot",
     {"BBBBB", "BBBBB", "BBWBB", "BBBBB", "BBBBB"},
     {"BBBBB", "BBBBB", "BBWBB", "BBBBB", "BBBBB"}, 2, 2, false},
    // An even slope: (1,1) and (3,1) have 2 equal neighbours each.
    {"slope",
     {"adgjW", "adgjW", "adgjW", "adgjW", "adgjW"},
     {"adgjW", "adgjW", "adgjW", "adgjW", "adgjW"}, 2, 2, false},
    // No pixel of the other picture equals a neighbour: nothing is flat there.
    {"flat_in_one_picture_only",
     {"BBGWW", "BBGWW", "BBGWW", "BBGWW", "BBGWW"},
     {"abcde", "fghij", "kBGWa", "bcdef", "ghijk"}, 2, 2, false},
    // The bright side is uneven in the other picture, the dark side flat
    // in both: one flat side is enough.
    {"one_flat_side_is_enough",
     {"BBGWW", "BBGWW", "BBGWW", "BBGWW", "BBGWW"},
     {"BBGab", "BBGcd", "BBGef", "BBGhi", "BBGjk"}, 2, 2, true},
    // Transparent black is white over the white background: brighter.
    {"transparent_is_white",
     {"BBGTT", "BBGTT", "BBGTT", "BBGTT", "BBGTT"},
     {"BBGTT", "BBGTT", "BBGTT", "BBGTT", "BBGTT"}, 2, 2, true},
    // (2,0) has 2 equal neighbours in the picture and one beyond its edge.
    {"edge_counts_as_an_equal_neighbour",
     {"BGGGW", "BBBWW", "BBBWW", "BBBWW", "BBBWW"},
     {"BGGGW", "BBBWW", "BBBWW", "BBBWW", "BBBWW"}, 2, 0, false},
};

class DiffDetectorTest : public testing::TestWithParam<DetectorCase> {};

TEST_P(DiffDetectorTest, FindsBlendsBetweenFlatAreasAtEitherDepth) {
  for (unsigned image_depth : {8u, 16u})
    for (unsigned other_depth : {8u, 16u}) {
      const Image image = grid(GetParam().image, image_depth);
      const Image other = grid(GetParam().other, other_depth);
      EXPECT_EQ(is_antialiased(image, other, GetParam().x, GetParam().y), GetParam().antialiased)
          << image_depth << " and " << other_depth << " bits";
    }
}

INSTANTIATE_TEST_SUITE_P(Neighbourhoods, DiffDetectorTest, testing::ValuesIn(kDetector),
                         [](const auto& info) { return std::string(info.param.name); });

using Shape = std::function<bool(double, double)>;

// `ink` over white: each pixel takes ink by the share of it that `inside`
// covers, sampled on a 16 x 16 grid.
Image rendered(std::uint32_t width, std::uint32_t height, unsigned depth, Rgb ink, const Shape& inside) {
  Image image = blank(width, height, depth);
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x) {
      int covered = 0;
      for (int sy = 0; sy < 16; ++sy)
        for (int sx = 0; sx < 16; ++sx) covered += inside(x + (sx + 0.5) / 16, y + (sy + 0.5) / 16);
      Rgba out{0, 0, 0, 255};
      for (int c = 0; c < 3; ++c)
        out[c] = static_cast<std::uint8_t>(std::lround(255 + (ink[c] - 255) * covered / 256.0));
      put(image, x, y, out);
    }
  return image;
}

Shape disc(double cx, double cy, double radius) {
  return [=](double x, double y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius; };
}

// The line through (x0, y0) rising `slope` per pixel, `width` pixels wide.
Shape line(double x0, double y0, double slope, double width) {
  return [=](double x, double y) { return std::abs(y - y0 - slope * (x - x0)) / std::hypot(1.0, slope) <= width / 2; };
}

struct ShiftCase {
  const char* name;
  Shape base, now;  // one shape, 0.3 px apart
  unsigned base_depth, new_depth;
};

const ShiftCase kShifts[] = {
    {"disc_right", disc(20.4, 15.6, 9.5), disc(20.7, 15.6, 9.5), 8, 8},
    {"disc_down", disc(20.4, 15.6, 9.5), disc(20.4, 15.9, 9.5), 8, 8},
    {"thick_line", line(2, 5, 0.45, 3), line(2.3, 5, 0.45, 3), 8, 8},
    {"thick_line_down", line(2, 5, 0.45, 3), line(2, 5.3, 0.45, 3), 8, 8},
    {"disc_16_bit", disc(20.4, 15.6, 9.5), disc(20.7, 15.6, 9.5), 16, 16},
    {"disc_8_and_16_bit", disc(20.4, 15.6, 9.5), disc(20.7, 15.6, 9.5), 8, 16},
};

constexpr Rgb kInk = {30, 60, 200};

// How many of the difference image's pixels are `colour`.
std::int64_t drawn(const std::vector<std::uint8_t>& indices, Rgb colour) {
  return std::ranges::count_if(indices, [&](std::uint8_t i) { return difference_palette()[i] == colour; });
}

class DiffAntialiasingTest : public testing::TestWithParam<ShiftCase> {
 protected:
  Image base_ = rendered(64, 40, GetParam().base_depth, kInk, GetParam().base);
  Image now_ = rendered(64, 40, GetParam().new_depth, kInk, GetParam().now);
  std::vector<std::uint8_t> indices_;
};

TEST_P(DiffAntialiasingTest, ShiftedEdgesCountUnlessIgnored) {
  const Difference counted = compare_images(base_, now_, indices_, {{}, Antialiasing::Count});
  EXPECT_GT(counted.differing, 0u);
  EXPECT_EQ(counted.antialiased, 0u);
  EXPECT_EQ(drawn(indices_, kAntialiasedMark), 0);

  const Difference ignored = compare_images(base_, now_, indices_, {{}, Antialiasing::Ignore});
  EXPECT_EQ(ignored.differing, 0u);
  EXPECT_EQ(ignored.antialiased, counted.differing);
  EXPECT_EQ(ignored.box, PixelBox{});
  EXPECT_EQ(drawn(indices_, kMark), 0);
  EXPECT_EQ(drawn(indices_, kAntialiasedMark), static_cast<std::int64_t>(ignored.antialiased));
}

// A 5 x 5 square of a new colour on the white, away from the shape: in the
// new picture its corners have 3 equal neighbours and its other pixels
// more, in the base all its neighbours are white, so none is a blend.
TEST_P(DiffAntialiasingTest, RealChangeStaysCountedWhenIgnoring) {
  for (auto [x, y] : square(50, 5, 5)) put(now_, x, y, {0, 160, 0, 255});
  const Difference d = compare_images(base_, now_, indices_, {{}, Antialiasing::Ignore});
  EXPECT_EQ(d.differing, 25u);
  EXPECT_EQ(d.box, (PixelBox{50, 5, 5, 5}));
  EXPECT_GT(d.antialiased, 0u);
  EXPECT_EQ(drawn(indices_, kMark), 25);
}

INSTANTIATE_TEST_SUITE_P(Shapes, DiffAntialiasingTest, testing::ValuesIn(kShifts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DiffOptionsTest, MaskComesBeforeAntialiasing) {
  const Image base = rendered(64, 40, 8, kInk, disc(20.4, 15.6, 9.5));
  const Image now = rendered(64, 40, 8, kInk, disc(20.7, 15.6, 9.5));
  std::vector<std::uint8_t> indices;
  const Difference all = compare_images(base, now, indices, {{}, Antialiasing::Count});
  const Difference masked = compare_images(base, now, indices, {{{0, 0, 64, 40}}, Antialiasing::Ignore});
  EXPECT_EQ(masked.masked, all.differing);
  EXPECT_EQ(masked.antialiased, 0u);
  EXPECT_EQ(masked.differing, 0u);
}

// The blend of the base between flat areas is gone in the new picture,
// where no pixel equals a neighbour: nothing is flat there, so every pixel
// stays a change.
TEST(DiffOptionsTest, TextureOverFlatAreasStaysCounted) {
  const Image base = grid({"BBGWW", "BBGWW", "BBGWW", "BBGWW", "BBGWW"}, 8);
  const Image now = grid({"abcde", "defgh", "ghijk", "jkabc", "cdefg"}, 8);
  std::vector<std::uint8_t> indices;
  const Difference d = compare_images(base, now, indices, {{}, Antialiasing::Ignore});
  EXPECT_EQ(d.differing, 25u);
  EXPECT_EQ(d.antialiased, 0u);
}

}  // namespace
}  // namespace kestrelite
