// PNG header check: png::dimensions against a reference that reads the
// 24 bytes of signature, IHDR length and type, width and height by hand.
#include <cstdint>
#include <cstring>
#include <optional>

#include "fuzz_check.hpp"
#include "png.hpp"

using namespace kestrelite;
using fuzz::require;

namespace {

std::optional<ImageSize> reference(const std::uint8_t* p, std::size_t size) {
  static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size < 24 || std::memcmp(p, kSignature, 8) != 0 || std::memcmp(p + 12, "IHDR", 4) != 0) return std::nullopt;
  auto word = [&](std::size_t at) {
    return std::uint32_t{p[at]} << 24 | std::uint32_t{p[at + 1]} << 16 | std::uint32_t{p[at + 2]} << 8 | p[at + 3];
  };
  return ImageSize{word(16), word(20)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto got = png::dimensions(fuzz::as_text(data, size));
  const auto want = reference(data, size);
  if (want) {
    require(got.has_value(), "header refused", got ? "" : got.error().display());
    require(*got == *want, "dimensions");
    return 0;
  }
  require(!got.has_value(), "header accepted");
  require(got.error().kind() == Error::Kind::Shape, "error kind", got.error().display());
  return 0;
}
