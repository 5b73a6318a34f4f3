#include "png.hpp"

#include <gtest/gtest.h>

namespace kestrelite {
namespace {

std::string header(std::string_view signature, std::string_view type, std::uint32_t w, std::uint32_t h) {
  std::string out(signature);
  out += std::string("\0\0\0\x0d", 4);
  out += type;
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

}  // namespace
}  // namespace kestrelite
