// Screenshot bytes: base64, the PNG's size, digest and codec refusals; the pixel comparison: which pixels count as
// changed, masked or anti-aliased, and the difference image that shows them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>

#include "base64.hpp"
#include "png.hpp"
#include "png_diff.hpp"

namespace kestrelite {
namespace {

TEST(Base64Test, EncodesTheRfcVectorsAndEveryLengthRoundTripsInPlaceToo) {
  // RFC 4648, section 10, and the two characters that differ between the standard and the URL alphabet.
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "+/+/"},
  };
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(base64::encode(bytes), text);
    EXPECT_EQ(base64::decode(text).value_or("failed"), bytes);
  }
  std::mt19937 random(7);
  for (std::size_t n = 0; n < 300; ++n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string text = base64::encode(bytes);
    ASSERT_EQ(base64::decode(text).value_or("failed"), bytes) << n;
    ASSERT_TRUE(base64::decode_in_place(text)) << n;
    ASSERT_EQ(text, bytes) << n;
  }
}

TEST(Base64Test, RefusesAnythingButCanonicalTextAndSaysWhere) {
  const std::pair<std::string, const char*> cases[] = {
      {"Zg=", "length 3 is not a multiple of 4"},
      {"Zm9vYmF\x80", "invalid byte 0x80 at offset 7"},
      {"Zm9vYmFy-A==", "invalid byte 0x2d at offset 8"},
      {std::string(3001, 'A') + "!" + std::string(998, 'A'), "invalid byte 0x21 at offset 3001"},
      {"Zh==", "non-zero trailing bits at offset 1"},
      {"Zm9=", "non-zero trailing bits at offset 2"},
      {"Z===", "misplaced padding at offset 1"},
      {"Zm=v", "misplaced padding at offset 2"},
  };
  for (const auto& [text, error] : cases) {
    auto bytes = base64::decode(text);
    EXPECT_EQ(bytes ? "decoded" : bytes.error(), error) << text.substr(0, 20);
    std::string in_place = text;
    auto done = base64::decode_in_place(in_place);
    EXPECT_EQ(done ? "decoded" : done.error(), error) << text.substr(0, 20);
  }
}

std::string header(std::string_view signature, std::string_view type, std::uint32_t w, std::uint32_t h) {
  std::string out = std::string(signature) + std::string("\0\0\0\x0d", 4) + std::string(type);
  for (std::uint32_t v : {w, h})
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
  return out;
}

const std::string kSig = "\x89PNG\r\n\x1a\n";

TEST(PngTest, ReadsTheSizeFromTheHeader) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "unexpected response shape: png too short: 0 bytes"},
      {header(kSig, "IHDR", 1, 1).substr(0, 23), "unexpected response shape: png too short: 23 bytes"},
      {header(kSig, "IHDR", 1320, 2868), "1320x2868"},
      {header(kSig, "IHDR", 0xFFFFFFFF, 0x80000001) + "trailing data", "4294967295x2147483649"},
      {header("\x89PNG\r\n\x1a\x0b", "IHDR", 5, 5), "unexpected response shape: not a png (bad magic)"},
      {header(kSig, "ihdr", 5, 5), "unexpected response shape: first chunk is not IHDR"},
  };
  for (const auto& [bytes, expected] : cases) {
    auto size = png::dimensions(bytes);
    EXPECT_EQ(size ? std::to_string(size->width) + "x" + std::to_string(size->height) : size.error().display(),
              expected);
  }
}

// A `width` x 30 palette PNG whose pattern keeps its image data some dozens of bytes long.
std::string sample_png(std::uint32_t width = 40) {
  const Rgb palette[] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  std::vector<std::uint8_t> indices(width * 30);
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<std::uint8_t>((i * 7 + i / 13) % 5);
  return png::encode_indexed(width, 30, palette, indices).value();
}

std::size_t chunk_at(const std::string& png, std::string_view type) { return png.find(type) - 4; }

std::string flipped(std::string png, std::size_t at, char bits) { return png.replace(at, 1, 1, png[at] ^ bits); }

TEST(PngCodecTest, BrokenFilesAreRefusedWithLibpngsReason) {
  const std::tuple<const char*, std::function<std::string(std::string)>, const char*> cases[] = {
      {"empty", [](std::string) { return std::string(); }, "not a png (bad magic)"},
      {"cut_in_image_data", [](std::string png) { return png.substr(0, chunk_at(png, "IDAT") + 20); },
       "invalid png: file is truncated"},
      {"no_end_chunk", [](std::string png) { return png.substr(0, png.size() - 12); },
       "invalid png: file is truncated"},
      // zlib says what it found wrong
      {"image_data_damaged", [](std::string png) { return flipped(png, chunk_at(png, "IDAT") + 10, 0x40); },
       "invalid png: IDAT: "},
      {"chunk_before_header", [](std::string png) { return png.insert(8, std::string("\0\0\0\0vvvv\0\0\0\0", 12)); },
       "first chunk is not IHDR"},
      {"header_damaged", [](std::string png) { return flipped(png, 16, 0x01); }, "invalid png: IHDR: CRC error"},
  };
  for (const auto& [name, damage, reason] : cases) {
    auto image = png::decode(damage(sample_png()));
    ASSERT_FALSE(image) << name;
    EXPECT_EQ(image.error().kind(), Error::Kind::Shape) << name;
    EXPECT_TRUE(image.error().message().starts_with(reason)) << name << ": " << image.error().message();
  }
}

TEST(PngCodecTest, TheDecodePixelLimitIsCheckedFromTheHeaderAndEncodeChecksItsIndices) {
  const std::string png = sample_png(10);
  EXPECT_TRUE(png::decode(png, 300));
  auto refused = png::decode(png, 299);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "png too large: 10x30 pixels, more than 299");
  // Encoding refuses an index beyond the palette and a count of indices other than the pixels'.
  const Rgb black{0, 0, 0};
  EXPECT_FALSE(png::encode_indexed(2, 1, std::span(&black, 1), std::vector<std::uint8_t>{0, 1}));
  EXPECT_FALSE(png::encode_indexed(3, 1, std::span(&black, 1), std::vector<std::uint8_t>{0, 0}));
}

using Rgba = std::array<std::uint8_t, 4>;
using Pixels = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// An 8-bit colour at either depth (v * 257 at 16 bits: the same picture).
void put(Image& image, std::uint32_t x, std::uint32_t y, Rgba rgba) {
  std::uint8_t* p = image.pixels.get() + y * image.row_bytes() + std::size_t{x} * image.pixel_bytes();
  for (unsigned i = 0; i < image.pixel_bytes(); ++i) p[i] = rgba[i / (image.depth / 8)];
}

// `colour` of (x, y), or by default bands of colour, so that the fade has something to show.
Image picture(std::uint32_t width, std::uint32_t height, unsigned depth,
              const std::function<Rgba(std::uint32_t, std::uint32_t)>& colour = {}) {
  Image image{width, height, depth, std::make_unique<std::uint8_t[]>(std::size_t{width} * height * depth / 2)};
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x)
      put(image, x, y,
          colour ? colour(x, y) : Rgba{std::uint8_t(40 * (x / 16)), std::uint8_t(200 - 50 * (y / 30)), 120, 255});
  return image;
}

Pixels square(std::uint32_t x, std::uint32_t y, std::uint32_t side) {
  Pixels out;
  for (std::uint32_t dy = 0; dy < side; ++dy)
    for (std::uint32_t dx = 0; dx < side; ++dx) out.emplace_back(x + dx, y + dy);
  return out;
}

struct ChangeCase {
  const char* name;
  Pixels changed;  // on an 80 x 60 picture, by one level of blue
  std::vector<MaskBox> masks;
  std::uint64_t differing, masked;
  PixelBox box;
};
void PrintTo(const ChangeCase& c, std::ostream* out) { *out << c.name; }

const ChangeCase kChanges[] = {
    {"none", {}, {}, 0, 0, {}},
    {"top_left_corner", {{0, 0}}, {}, 1, 0, {0, 0, 1, 1}},
    {"bottom_right_corner", {{79, 59}}, {}, 1, 0, {79, 59, 1, 1}},
    {"two_far_apart", {{3, 40}, {70, 2}}, {}, 2, 0, {3, 2, 68, 39}},
    {"mask_over_changed_square", square(20, 20, 5), {{18, 18, 10, 10}}, 0, 25, {}},
    {"mask_clipped_at_bottom_right", {{78, 58}, {79, 59}, {10, 10}}, {{75, 55, 100, 100}}, 1, 2, {10, 10, 1, 1}},
    {"mask_clipped_at_top_left", {{0, 0}, {2, 2}, {3, 3}}, {{-5, -5, 8, 8}}, 1, 2, {3, 3, 1, 1}},
    // Zero width, negative height, starting at the right or bottom edge, ending at the left edge.
    {"empty_masks", {{5, 5}}, {{5, 5, 0, 3}, {5, 5, 3, -1}, {80, 0, 5, 5}, {0, 60, 5, 5}, {-10, -10, 10, 10}}, 1, 0,
     {5, 5, 1, 1}},
    {"overlapping_masks_count_once", square(30, 30, 3), {{29, 29, 3, 3}, {30, 30, 4, 4}}, 0, 9, {}},
    {"mask_shrinks_the_box", {{5, 5}, {40, 30}, {70, 50}}, {{60, 45, 20, 10}}, 2, 1, {5, 5, 36, 26}},
    {"huge_box_covers_all", {{0, 0}, {79, 59}}, {{INT64_MIN / 2, INT64_MIN / 2, INT64_MAX, INT64_MAX}}, 0, 2, {}},
    {"extreme_box_ends_before_the_image", {{0, 0}}, {{INT64_MIN, INT64_MIN, INT64_MAX, INT64_MAX}}, 1, 0, {0, 0, 1, 1}},
};

class ChangedPixelsTest : public testing::TestWithParam<ChangeCase> {};

TEST_P(ChangedPixelsTest, CountAndBoxCoverExactlyTheUnmaskedChanges) {
  const Image base = picture(80, 60, 8);
  Image changed = picture(80, 60, 8);
  for (auto [x, y] : GetParam().changed) changed.pixels[(y * 80 + x) * 4 + 2] ^= 1;
  std::vector<std::uint8_t> indices;
  const Difference d = compare_images(base, changed, indices, {GetParam().masks, Antialiasing::Count});
  EXPECT_EQ(std::tuple(d.differing, d.masked, d.antialiased, d.box),
            std::tuple(GetParam().differing, GetParam().masked, 0u, GetParam().box));
}

INSTANTIATE_TEST_SUITE_P(Pixels, ChangedPixelsTest, testing::ValuesIn(kChanges), testing::PrintToStringParamName());

TEST(ComparePngTest, DecodesBothAndWritesTheDifferenceImageOrSaysWhichSideFailed) {
  const Rgb palette[] = {{0, 0, 0}, {255, 255, 255}};
  const std::vector<std::uint8_t> pixels(8 * 9, 1);
  const std::string eight_by_eight = png::encode_indexed(8, 8, palette, std::span(pixels).first(64)).value();
  auto same = compare_png(eight_by_eight, eight_by_eight);
  ASSERT_TRUE(same);
  auto image = png::decode(same->png);
  ASSERT_TRUE(image);
  EXPECT_EQ(std::tuple(same->differing, image->width, image->height), std::tuple(0u, 8u, 8u));
  // Images of other sizes are not compared.
  auto sizes = compare_png(eight_by_eight, png::encode_indexed(8, 9, palette, pixels).value());
  ASSERT_TRUE(sizes);
  EXPECT_EQ(std::tuple(sizes->base, sizes->now, sizes->differing, sizes->png),
            std::tuple(ImageSize{8, 8}, ImageSize{8, 9}, 0u, ""));
  auto base = compare_png("not a png", eight_by_eight), now = compare_png(eight_by_eight, eight_by_eight.substr(0, 40));
  ASSERT_FALSE(base || now);
  EXPECT_EQ(std::tuple(base.error().side, now.error().side, now.error().error.message()),
            std::tuple(Side::Base, Side::New, "invalid png: file is truncated"));
}

// The new picture faded to grey, changes red, a tinted halo around them that leaves the blue, hatched masks alone.
TEST(DifferenceImageTest, RedOnChangesTintAroundThemBlueOverMasks) {
  const Image base = picture(200, 150, 8);
  Image changed = picture(200, 150, 8);
  const Pixels spots{{5, 5}, {6, 5}, {150, 100}};
  for (auto [x, y] : spots) put(changed, x, y, {255, 255, 255, 255});
  for (auto [x, y] : square(140, 90, 8)) put(changed, x, y, {255, 255, 255, 255});
  std::vector<std::uint8_t> indices;
  const Difference d = compare_images(base, changed, indices, {{{140, 90, 8, 8}}, Antialiasing::Count});
  const std::int64_t radius = 6;  // the least: (200 + 150) / 80 is less
  EXPECT_EQ(std::tuple(d.differing, d.masked, halo_radius({200, 150})), std::tuple(3u, 64u, 6u));
  int hatched = 0;
  for (std::uint32_t y = 0; y < 150; ++y)
    for (std::uint32_t x = 0; x < 200; ++x) {
      const Rgb got = difference_palette()[indices[y * 200 + x]];
      const bool near = std::ranges::any_of(spots, [&](auto s) {
        return std::max(std::abs(std::int64_t{x} - s.first), std::abs(std::int64_t{y} - s.second)) <= radius;
      });
      if (x >= 140 && x < 148 && y >= 90 && y < 98) {
        ASSERT_TRUE(got[2] > got[1] && got[1] >= got[0]) << "not blue at " << x << "," << y;
        hatched += got == kHatch;
      } else if (std::ranges::count(spots, std::pair{x, y})) {
        ASSERT_EQ(got, kMark) << x << "," << y;
      } else if (near) {
        ASSERT_TRUE(got[0] > got[1] && got[1] > got[2]) << "not tinted at " << x << "," << y;
      } else {
        ASSERT_TRUE(got[0] == got[1] && got[1] == got[2] && got[0] >= 127) << "not grey at " << x << "," << y;
      }
    }
  EXPECT_GT(hatched, 0);
}

TEST(DifferenceImageTest, SixteenBitSamplesEqualTheirEightBitValue) {
  auto colour = [](std::uint32_t, std::uint32_t) { return Rgba{10, 200, 30, 255}; };
  const Image eight = picture(4, 3, 8, colour), same = picture(4, 3, 16, colour);
  Image close = picture(4, 3, 16, colour);
  close.pixels[close.row_bytes() + 8 + 3] ^= 1;  // the low byte of green at (1, 1)
  std::vector<std::uint8_t> indices;
  for (auto [base, now] : {std::pair{&eight, &same}, {&same, &eight}, {&same, &same}})
    EXPECT_EQ(compare_images(*base, *now, indices).differing, 0u);
  for (auto [base, now] : {std::pair<const Image*, const Image*>{&eight, &close}, {&close, &eight}, {&same, &close}}) {
    const Difference d = compare_images(*base, *now, indices);
    EXPECT_EQ(std::tuple(d.differing, d.box), std::tuple(1u, PixelBox{1, 1, 1, 1}));
  }
}

// A 5 x 5 picture for the detector, a character a pixel: B black, W white, G grey, T transparent, a to k other greys.
Image grid(std::string_view rows, unsigned depth) {
  return picture(5, 5, depth, [&](std::uint32_t x, std::uint32_t y) {
    const char c = rows[y * 6 + x];
    const int grey = c == 'B' || c == 'T' ? 0 : c == 'W' ? 255 : c == 'G' ? 128 : 2 + 9 * (c - 'a');
    const auto g = static_cast<std::uint8_t>(grey);
    return Rgba{g, g, g, static_cast<std::uint8_t>(c == 'T' ? 0 : 255)};
  });
}

struct DetectorCase {
  const char* name;
  std::string_view image, other;  // no other: the same picture
  std::uint32_t x, y;
  bool antialiased;
};
void PrintTo(const DetectorCase& c, std::ostream* out) { *out << c.name; }

// Each worked out by hand.
const DetectorCase kDetector[] = {
    // (2,2) has 2 equal neighbours, darker B and brighter W; its darkest neighbour (1,1) has 5 equal ones.
    {"blend_between_flat_areas", "BBGWW BBGWW BBGWW BBGWW BBGWW", "", 2, 2, true},
    {"horizontal_blend", "BBBBB BBBBB GGGGG WWWWW WWWWW", "", 2, 2, true},
    // As horizontal_blend, but the G above (2,2) makes 3 equal neighbours.
    {"three_equal_neighbours", "BBBWW BBGWW GGGGG WWWWW WWWWW", "", 2, 2, false},
    // Every neighbour is darker: a dot, not a blend.
    {"lone_bright_dot", "BBBBB BBBBB BBWBB BBBBB BBBBB", "", 2, 2, false},
    // An even slope: (1,1) and (3,1) have 2 equal neighbours each.
    {"slope", "adgjW adgjW adgjW adgjW adgjW", "", 2, 2, false},
    // No pixel of the other picture equals a neighbour: nothing is flat there.
    {"flat_in_one_picture_only", "BBGWW BBGWW BBGWW BBGWW BBGWW", "abcde fghij kBGWa bcdef ghijk", 2, 2, false},
    // The bright side is uneven in the other picture, the dark side flat in both.
    {"one_flat_side_is_enough", "BBGWW BBGWW BBGWW BBGWW BBGWW", "BBGab BBGcd BBGef BBGhi BBGjk", 2, 2, true},
    // Transparent black is white over the white background: brighter.
    {"transparent_is_white", "BBGTT BBGTT BBGTT BBGTT BBGTT", "", 2, 2, true},
    // (2,0) has 2 equal neighbours in the picture and one beyond its edge.
    {"edge_counts_as_an_equal_neighbour", "BGGGW BBBWW BBBWW BBBWW BBBWW", "", 2, 0, false},
};

class DetectorTest : public testing::TestWithParam<DetectorCase> {};

TEST_P(DetectorTest, FindsBlendsBetweenFlatAreasAtEitherDepth) {
  const DetectorCase& c = GetParam();
  const std::string_view other = c.other.empty() ? c.image : c.other;
  for (unsigned image_depth : {8u, 16u})
    for (unsigned other_depth : {8u, 16u})
      EXPECT_EQ(is_antialiased(grid(c.image, image_depth), grid(other, other_depth), c.x, c.y), c.antialiased)
          << image_depth << " and " << other_depth << " bits";
}

INSTANTIATE_TEST_SUITE_P(Neighbourhoods, DetectorTest, testing::ValuesIn(kDetector), testing::PrintToStringParamName());

using Shape = std::function<bool(double, double)>;

// `ink` over white: each pixel takes ink by the share of it that `inside` covers, sampled on a 16 x 16 grid.
Image rendered(unsigned depth, const Shape& inside) {
  return picture(64, 40, depth, [&](std::uint32_t x, std::uint32_t y) {
    constexpr Rgb kInk = {30, 60, 200};
    int covered = 0;
    for (int sy = 0; sy < 16; ++sy)
      for (int sx = 0; sx < 16; ++sx) covered += inside(x + (sx + 0.5) / 16, y + (sy + 0.5) / 16);
    auto inked = [&](int c) { return static_cast<std::uint8_t>(std::lround(255 + (kInk[c] - 255) * covered / 256.0)); };
    return Rgba{inked(0), inked(1), inked(2), 255};
  });
}

Shape disc(double cx, double cy) {
  return [=](double x, double y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= 9.5 * 9.5; };
}

// The line through (x0, y0) rising 0.45 per pixel, 3 pixels wide.
Shape line(double x0, double y0) {
  return [=](double x, double y) { return std::abs(y - y0 - 0.45 * (x - x0)) / std::hypot(1.0, 0.45) <= 1.5; };
}

struct ShiftCase {
  const char* name;
  Shape base, now;  // one shape, 0.3 px apart
  unsigned base_depth, new_depth;
};
void PrintTo(const ShiftCase& c, std::ostream* out) { *out << c.name; }

const ShiftCase kShifts[] = {
    {"disc_right", disc(20.4, 15.6), disc(20.7, 15.6), 8, 8},
    {"disc_down", disc(20.4, 15.6), disc(20.4, 15.9), 8, 8},
    {"thick_line_right", line(2, 5), line(2.3, 5), 8, 8},
    {"thick_line_down", line(2, 5), line(2, 5.3), 8, 8},
    {"disc_16_bit", disc(20.4, 15.6), disc(20.7, 15.6), 16, 16},
    {"disc_8_and_16_bit", disc(20.4, 15.6), disc(20.7, 15.6), 8, 16},
};

// How many of the difference image's pixels are `colour`.
std::uint64_t drawn(const std::vector<std::uint8_t>& indices, Rgb colour) {
  return std::ranges::count_if(indices, [&](std::uint8_t i) { return difference_palette()[i] == colour; });
}

class AntialiasingTest : public testing::TestWithParam<ShiftCase> {};

TEST_P(AntialiasingTest, ShiftedEdgesAreLeftOutOnRequestAndRealChangesStay) {
  const Image base = rendered(GetParam().base_depth, GetParam().base);
  Image now = rendered(GetParam().new_depth, GetParam().now);
  std::vector<std::uint8_t> indices;
  const Difference counted = compare_images(base, now, indices, {{}, Antialiasing::Count});
  EXPECT_GT(counted.differing, 0u);
  EXPECT_EQ(std::tuple(counted.antialiased, drawn(indices, kAntialiasedMark)), std::tuple(0u, 0u));
  const Difference ignored = compare_images(base, now, indices, {{}, Antialiasing::Ignore});
  EXPECT_EQ(std::tuple(ignored.differing, ignored.antialiased, ignored.box, drawn(indices, kMark)),
            std::tuple(0u, counted.differing, PixelBox{}, 0u));
  EXPECT_EQ(drawn(indices, kAntialiasedMark), counted.differing);
  // A mask comes first: what it covers is masked, not anti-aliased.
  const Difference masked = compare_images(base, now, indices, {{{0, 0, 64, 40}}, Antialiasing::Ignore});
  EXPECT_EQ(std::tuple(masked.masked, masked.antialiased), std::tuple(counted.differing, 0u));
  // A new 5 x 5 square away from the shape: each pixel has 3 or more equal neighbours now, so none is a blend.
  for (auto [x, y] : square(50, 5, 5)) put(now, x, y, {0, 160, 0, 255});
  const Difference real = compare_images(base, now, indices, {{}, Antialiasing::Ignore});
  EXPECT_EQ(std::tuple(real.differing, real.box, real.antialiased, drawn(indices, kMark)),
            std::tuple(25u, PixelBox{50, 5, 5, 5}, ignored.antialiased, 25u));
}

INSTANTIATE_TEST_SUITE_P(Shapes, AntialiasingTest, testing::ValuesIn(kShifts), testing::PrintToStringParamName());

}  // namespace
}  // namespace kestrelite
