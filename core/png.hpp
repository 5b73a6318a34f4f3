// The checks a capture runs on a screenshot: the pixel size from the PNG
// header, and the SHA-256 digest of the file's bytes. Both are pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kestrelite/error.hpp"
#include "kestrelite/report.hpp"

namespace kestrelite {

namespace png {

// Width and height from the IHDR chunk, which must come first. Only the
// first 24 bytes are read: signature, first chunk type, width, height.
Result<ImageSize> dimensions(std::string_view bytes);

}  // namespace png

// SHA-256 of the bytes as 64 lower-case hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

}  // namespace kestrelite
