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

struct PngCase {
  const char* name;
  std::string bytes;
  std::string error;  // empty: success
  ImageSize size;
};

const PngCase kCases[] = {
    {"empty", "", "unexpected response shape: png too short: 0 bytes", {}},
    {"ten_bytes", std::string(10, 'x'), "unexpected response shape: png too short: 10 bytes", {}},
    {"twenty_three_with_signature", header(kSig, "IHDR", 1, 1).substr(0, 23),
     "unexpected response shape: png too short: 23 bytes", {}},
    {"phone", header(kSig, "IHDR", 1320, 2868), "", {1320, 2868}},
    {"zero_by_zero", header(kSig, "IHDR", 0, 0), "", {0, 0}},
    {"largest", header(kSig, "IHDR", 0xFFFFFFFF, 0x80000001) + "trailing data", "", {0xFFFFFFFF, 0x80000001}},
    {"bad_magic_even_with_ihdr", header("\x89PNG\r\n\x1a\x0b", "IHDR", 5, 5),
     "unexpected response shape: not a png (bad magic)", {}},
    {"first_chunk_other", header(kSig, "IDAT", 5, 5), "unexpected response shape: first chunk is not IHDR", {}},
    {"chunk_type_case", header(kSig, "ihdr", 5, 5), "unexpected response shape: first chunk is not IHDR", {}},
};

class PngTest : public testing::TestWithParam<PngCase> {};

TEST_P(PngTest, ReadsTheHeader) {
  auto result = png::dimensions(GetParam().bytes);
  if (GetParam().error.empty()) {
    ASSERT_TRUE(result) << result.error().display();
    EXPECT_EQ(*result, GetParam().size);
  } else {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(Headers, PngTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Sha256Test, MatchesKnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string binary("\0\xff\x10", 3);
  std::string digest = sha256_hex(binary);
  EXPECT_EQ(digest.size(), 64u);
  EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
}

}  // namespace
}  // namespace kestrelite
