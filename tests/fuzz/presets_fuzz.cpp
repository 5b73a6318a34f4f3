// Preset files: a refused text gets a Json or Shape error whose text is
// UTF-8; an accepted one gives devices that pass the promised checks and
// read back equal after devices_json writes them.
#include <set>

#include "kestrelite/device.hpp"
#include "fuzz_check.hpp"

using namespace kestrelite;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto devices = parse_presets(fuzz::as_text(data, size));
  if (!devices) {
    const Error& e = devices.error();
    require(e.kind() == Error::Kind::Json || e.kind() == Error::Kind::Shape, "error kind", e.display());
    require(fuzz::valid_utf8(e.display()), "error text is not UTF-8", e.display());
    return 0;
  }
  std::set<std::string> ids;
  for (const Device& d : *devices) {
    require(d.scale && d.output_width && d.output_height && d.output_width % d.scale == 0 &&
                d.output_height % d.scale == 0 && ids.insert(d.id).second,
            "a device the checks refuse was accepted", d.id);
  }
  auto back = parse_presets(R"({"version":1,"devices":)" + devices_json(*devices) + "}");
  require(back && *back == *devices, "written devices do not read back equal");
  return 0;
}
