// Handshake response heads: the input's first byte gives the key's length,
// the key follows, the rest is the head. A refused head gets a Protocol
// error with a UTF-8 text; an accepted one holds the accept value.
#include "fuzz_check.hpp"
#include "ws.hpp"

using namespace kestrelite;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view in = fuzz::as_text(data + 1, size - 1);
  const std::string_view key = in.substr(0, data[0] % 32);
  const std::string_view head = in.substr(key.size());
  auto checked = ws::check_response_head(head, key);
  if (checked) {
    require(head.find(ws::accept_for(key)) != std::string_view::npos, "accepted without the accept value");
    return 0;
  }
  require(checked.error().kind() == Error::Kind::Protocol, "error kind", checked.error().display());
  require(fuzz::valid_utf8(checked.error().display()), "error text is not UTF-8", checked.error().display());
  return 0;
}
