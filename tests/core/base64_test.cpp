#include "base64.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace kestrelite {
namespace {

// The test vectors of RFC 4648, section 10, and the two characters that
// differ between the standard and the URL alphabet.
const std::pair<const char*, const char*> kVectors[] = {
    {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "+/+/"},
};

TEST(Base64Test, EncodesAndDecodesTheRfcVectors) {
  for (const auto& [bytes, text] : kVectors) {
    EXPECT_EQ(base64::encode(bytes), text);
    EXPECT_EQ(base64::decode(text).value_or("failed"), bytes);
  }
}

TEST(Base64Test, EveryLengthRoundTripsInPlaceToo) {
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
      {"Zm9v*mFy", "invalid byte 0x2a at offset 4"},
      {"Zm9v\nm9v", "invalid byte 0x0a at offset 4"},
      {"Zm9vYm y", "invalid byte 0x20 at offset 6"},
      {"Zm9vYmF\x80", "invalid byte 0x80 at offset 7"},
      {"Zm9vYmFy-A==", "invalid byte 0x2d at offset 8"},
      {"A!A*", "invalid byte 0x21 at offset 1"},
      {std::string(3001, 'A') + "!" + std::string(998, 'A'), "invalid byte 0x21 at offset 3001"},
      {"Zh==", "non-zero trailing bits at offset 1"},
      {"Zm9=", "non-zero trailing bits at offset 2"},
      {"Z===", "misplaced padding at offset 1"},
      {"Zm=v", "misplaced padding at offset 2"},
      {"Zg==Zg==", "misplaced padding at offset 2"},
  };
  for (const auto& [text, error] : cases) {
    auto bytes = base64::decode(text);
    std::string in_place = text;
    auto done = base64::decode_in_place(in_place);
    EXPECT_EQ(bytes ? "decoded" : bytes.error(), error) << text.substr(0, 20);
    EXPECT_EQ(done ? "decoded" : done.error(), error) << text.substr(0, 20);
  }
}

}  // namespace
}  // namespace kestrelite
