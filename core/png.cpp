#include "png.hpp"

#include <openssl/sha.h>

namespace kestrelite {

namespace {

constexpr std::string_view kSignature = "\x89PNG\r\n\x1a\n";

std::uint32_t big_endian32(std::string_view bytes, std::size_t at) {
  auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
  return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

}  // namespace

Result<ImageSize> png::dimensions(std::string_view bytes) {
  if (bytes.size() <= 23) return fail(Error::shape("png too short: " + std::to_string(bytes.size()) + " bytes"));
  if (bytes.substr(0, 8) != kSignature) return fail(Error::shape("not a png (bad magic)"));
  if (bytes.substr(12, 4) != "IHDR") return fail(Error::shape("first chunk is not IHDR"));
  return ImageSize{big_endian32(bytes, 16), big_endian32(bytes, 20)};
}

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * SHA256_DIGEST_LENGTH);
  for (unsigned char b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

}  // namespace kestrelite
