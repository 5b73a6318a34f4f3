// Strict base64: the input is taken both as bytes to encode and as text to
// decode. Encoding pads to whole groups and decodes back to the same bytes;
// a text that decodes is the one canonical encoding of what it decodes to,
// and a refused text gets a description with an offset inside it.
// decode_in_place gives what decode gives, bytes or error.
#include <cstdint>
#include <string>

#include "base64.hpp"
#include "fuzz_check.hpp"

using namespace kestrelite;
using fuzz::require;

namespace {

bool alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in = fuzz::as_text(data, size);

  const std::string text = base64::encode(in);
  require(text.size() == (in.size() + 2) / 3 * 4, "encoded length");
  for (std::size_t i = 0; i < text.size(); ++i)
    require(alphabet(text[i]) || (text[i] == '=' && i + 2 >= text.size()), "encoded character", text);
  const auto bytes = base64::decode(text);
  require(bytes.has_value(), "encoding refused by decode", bytes ? "" : bytes.error());
  require(*bytes == in, "decode(encode(x)) differs from x");

  const auto decoded = base64::decode(in);
  std::string in_place(in);
  const auto done = base64::decode_in_place(in_place);
  require(done.has_value() == decoded.has_value(), "decode_in_place and decode disagree");
  if (decoded) {
    require(in_place == *decoded, "decode_in_place bytes differ from decode's");
  } else {
    require(done.error() == decoded.error(), "decode_in_place error differs from decode's", done.error());
  }
  if (decoded) {
    require(base64::encode(*decoded) == in, "accepted text is not the canonical encoding", in);
    return 0;
  }
  const std::string& why = decoded.error();
  if (in.size() % 4 != 0) {
    require(why == "length " + std::to_string(in.size()) + " is not a multiple of 4", "length error", why);
    return 0;
  }
  const std::size_t at = why.rfind(" at offset ");
  require(at != std::string::npos, "error without offset", why);
  const std::size_t offset = std::stoul(why.substr(at + 11));
  require(offset < in.size(), "error offset outside the text", why);
  // The offset names a byte outside the alphabet, misplaced padding, or the
  // last character before the padding whose unused bits are set.
  const char c = in[offset];
  const bool misplaced = why.starts_with("misplaced padding") && c == '=';
  const bool invalid = why.starts_with("invalid byte") && !alphabet(c) && c != '=';
  const bool trailing = why.starts_with("non-zero trailing bits") && alphabet(c) && in.back() == '=';
  require(misplaced || invalid || trailing, "error names the wrong byte", why);
  for (std::size_t i = 0; i < offset; ++i)
    require(alphabet(in[i]), "a bad byte before the one named", why);
  return 0;
}
