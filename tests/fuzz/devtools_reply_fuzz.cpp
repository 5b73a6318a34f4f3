// DevTools messages: parse_devtools_message against nlohmann's parser on the
// whole text. Both accept the same texts and give equal values; a refused
// text gets a Json error, never an exception, whose text is UTF-8 and whose
// position lies inside the text.
#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "cdp.hpp"
#include "fuzz_check.hpp"

using namespace kestrelite;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  const auto got = parse_devtools_message(std::string(text));
  const nlohmann::json want = nlohmann::json::parse(text, nullptr, false);
  if (!want.is_discarded()) {
    require(got.has_value(), "message refused", got ? "" : got.error().display());
    require(*got == want, "parsed value differs", got->dump());
    return 0;
  }
  require(!got.has_value(), "message accepted", got ? got->dump() : "");
  const Error& e = got.error();
  require(e.kind() == Error::Kind::Json, "error kind", e.display());
  require(fuzz::valid_utf8(e.display()), "error text is not UTF-8", e.display());
  // A number beyond a double's range is the one error without a position.
  const JsonError& json = e.json_error();
  if (json.line == 0) {
    require(json.column == 0 && json.text.starts_with("number overflow"), "error without position", e.display());
    return 0;
  }
  const auto lines = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  require(json.line <= lines, "error line outside the text", e.display());
  require(json.column <= text.size(), "error column outside the text", e.display());
  return 0;
}
