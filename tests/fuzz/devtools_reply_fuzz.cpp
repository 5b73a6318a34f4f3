// DevTools messages: parse_devtools_message accepts exactly what nlohmann's
// parser accepts, with equal values; a refused text is a Json error, never
// an exception, with a UTF-8 text.
#include <nlohmann/json.hpp>

#include "cdp.hpp"
#include "fuzz_check.hpp"

using namespace kestrelite;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  const auto got = parse_devtools_message(std::string(text));
  const nlohmann::json want = nlohmann::json::parse(text, nullptr, false);
  if (!want.is_discarded()) {
    require(got && *got == want, "accepted text parsed differently");
    return 0;
  }
  require(!got, "refused text accepted", got ? got->dump() : "");
  require(got.error().kind() == Error::Kind::Json, "error kind", got.error().display());
  require(fuzz::valid_utf8(got.error().display()), "error text is not UTF-8", got.error().display());
  return 0;
}
