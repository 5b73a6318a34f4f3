#include "base64.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace kestrelite {
namespace {

struct Vector {
  const char* bytes;
  const char* text;
};

// The test vectors of RFC 4648, section 10, and the two characters that
// differ between the standard and the URL alphabet.
const Vector kVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\xfb\xff\xbf", "+/+/"},
};

class VectorTest : public testing::TestWithParam<Vector> {};

TEST_P(VectorTest, EncodesAndDecodes) {
  EXPECT_EQ(base64::encode(GetParam().bytes), GetParam().text);
  auto bytes = base64::decode(GetParam().text);
  ASSERT_TRUE(bytes) << bytes.error();
  EXPECT_EQ(*bytes, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, VectorTest, testing::ValuesIn(kVectors));

TEST(Base64Test, EveryByteValueAndLengthRoundTrips) {
  std::mt19937 random(7);
  for (std::size_t n = 0; n < 300; ++n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string text = base64::encode(bytes);
    ASSERT_EQ(text.size(), (n + 2) / 3 * 4);
    auto back = base64::decode(text);
    ASSERT_TRUE(back) << n << ": " << back.error();
    ASSERT_EQ(*back, bytes) << n;
  }
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(base64::decode(base64::encode(all)).value_or("failed"), all);
}

struct Fault {
  const char* name;
  std::string text;
  const char* error;
};

const Fault kFaults[] = {
    {"length", "Zg=", "length 3 is not a multiple of 4"},
    {"length_one", "Z", "length 1 is not a multiple of 4"},
    {"star", "Zm9v*mFy", "invalid byte 0x2a at offset 4"},
    {"newline", "Zm9v\nm9v", "invalid byte 0x0a at offset 4"},
    {"space_in_last_group", "Zm9vYm y", "invalid byte 0x20 at offset 6"},
    {"nul", std::string("Zm\0v", 4), "invalid byte 0x00 at offset 2"},
    {"high_byte", "Zm9vYmF\x80", "invalid byte 0x80 at offset 7"},
    {"url_alphabet_minus", "Zm9vYmFy-A==", "invalid byte 0x2d at offset 8"},
    {"url_alphabet_underscore", "Zm9_", "invalid byte 0x5f at offset 3"},
    {"first_fault_wins", "A!A*", "invalid byte 0x21 at offset 1"},
    {"deep_in_long_text", std::string(3001, 'A') + "!" + std::string(998, 'A'), "invalid byte 0x21 at offset 3001"},
    {"trailing_bits_two_pads", "Zh==", "non-zero trailing bits at offset 1"},
    {"trailing_bits_one_pad", "Zm9=", "non-zero trailing bits at offset 2"},
    {"three_pads", "Z===", "misplaced padding at offset 1"},
    {"all_pads", "====", "misplaced padding at offset 0"},
    {"pad_inside_group", "Zm=v", "misplaced padding at offset 2"},
    {"pad_before_data", "Zg=A", "misplaced padding at offset 2"},
    {"padded_group_not_last", "Zg==Zg==", "misplaced padding at offset 2"},
    {"leading_pad", "=Zm9", "misplaced padding at offset 0"},
};

class FaultTest : public testing::TestWithParam<Fault> {};

TEST_P(FaultTest, IsRefusedWithItsPosition) {
  auto bytes = base64::decode(GetParam().text);
  ASSERT_FALSE(bytes) << "decoded to " << bytes->size() << " bytes";
  EXPECT_EQ(bytes.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Strict, FaultTest, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrelite
