// Strict base64: the input is encoded and decoded back, and decoded as
// text; decode_in_place agrees with decode, and an accepted text is the one
// canonical encoding of its bytes.
#include "base64.hpp"
#include "fuzz_check.hpp"

using namespace kestrelite;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in = fuzz::as_text(data, size);
  require(base64::decode(base64::encode(in)) == std::string(in), "decode(encode(x)) is not x");
  const auto decoded = base64::decode(in);
  std::string in_place(in);
  const auto done = base64::decode_in_place(in_place);
  require(done.has_value() == decoded.has_value(), "decode_in_place and decode disagree");
  if (decoded) {
    require(in_place == *decoded && base64::encode(*decoded) == in, "accepted text is not canonical");
  } else {
    require(done.error() == decoded.error(), "errors differ", decoded.error());
  }
  return 0;
}
