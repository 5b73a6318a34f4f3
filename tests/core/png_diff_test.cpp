#include "png_diff.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace kestrelite {
namespace {

using Rgba = std::array<std::uint8_t, 4>;

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

}  // namespace
}  // namespace kestrelite
