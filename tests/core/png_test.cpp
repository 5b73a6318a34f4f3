// PNG bytes: the size from the header, the digest, and the codec's refusals.
#include "png.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "png_codec.hpp"

namespace kestrelite {
namespace {

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

TEST(PngTest, Sha256MatchesKnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// A `width` x 30 palette PNG whose pattern keeps its image data some dozens of bytes long.
std::string sample_png(std::uint32_t width = 40) {
  const Rgb palette[] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  std::vector<std::uint8_t> indices(width * 30);
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<std::uint8_t>((i * 7 + i / 13) % 5);
  return png::encode_indexed(width, 30, palette, indices).value();
}

std::size_t chunk_at(const std::string& png, std::string_view type) { return png.find(type) - 4; }

std::string flipped(std::string png, std::size_t at, char bits) {
  return png.replace(at, 1, 1, static_cast<char>(png[at] ^ bits));
}

TEST(PngCodecTest, BrokenFilesAreRefusedWithLibpngsReason) {
  const std::tuple<const char*, std::function<std::string(std::string)>, const char*> cases[] = {
      {"empty", [](std::string) { return std::string(); }, "not a png (bad magic)"},
      {"signature_only", [](std::string png) { return png.substr(0, 8); }, "invalid png: file is truncated"},
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

TEST(PngCodecTest, PixelLimitIsCheckedFromTheHeader) {
  const std::string png = sample_png(10);
  EXPECT_TRUE(png::decode(png, 300));
  auto refused = png::decode(png, 299);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "png too large: 10x30 pixels, more than 299");
}

TEST(PngCodecTest, EncodeRefusesIndicesItCannotWrite) {
  const Rgb black{0, 0, 0};
  EXPECT_FALSE(png::encode_indexed(2, 1, std::span(&black, 1), std::vector<std::uint8_t>{0, 1}));
  EXPECT_FALSE(png::encode_indexed(3, 1, std::span(&black, 1), std::vector<std::uint8_t>{0, 0}));
}

}  // namespace
}  // namespace kestrelite
