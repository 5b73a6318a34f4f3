// Preset files: parse_presets on any text. A refused text gives a Json or
// Shape error whose text is UTF-8 and whose position lies inside the text;
// an accepted one gives devices that pass the checks the reader promises
// and that read back equal after devices_json writes them.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>

#include "device.hpp"
#include "fuzz_check.hpp"

using namespace kestrelite;
using fuzz::require;

namespace {

void check_error(std::string_view text, const Error& error) {
  const std::string shown = error.display();
  require(error.kind() == Error::Kind::Json || error.kind() == Error::Kind::Shape, "error kind", shown);
  require(fuzz::valid_utf8(shown), "error text is not UTF-8", shown);
  if (error.kind() != Error::Kind::Json) return;
  const JsonError& json = error.json_error();
  const auto lines = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  require(json.line >= 1 && json.line <= lines, "error line outside the text", shown);
  require(json.column <= text.size(), "error column outside the text", shown);
}

void check_devices(const std::vector<Device>& devices) {
  std::set<std::string> ids;
  for (const Device& d : devices) {
    require(d.scale != 0 && d.output_width != 0 && d.output_height != 0, "zero size or scale accepted", d.id);
    require(d.output_width % d.scale == 0 && d.output_height % d.scale == 0, "size not divisible by scale", d.id);
    require(d.viewport_width() * d.scale == d.output_width && d.viewport_height() * d.scale == d.output_height,
            "viewport times scale is not the output", d.id);
    require(ids.insert(d.id).second, "duplicate id accepted", d.id);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  auto devices = parse_presets(text);
  if (!devices) {
    check_error(text, devices.error());
    return 0;
  }
  check_devices(*devices);

  const std::string written = devices_json(*devices);
  require(fuzz::valid_utf8(written), "devices_json wrote invalid UTF-8", written);
  for (const std::string& document : {R"({"version":1,"devices":)" + written + "}", "[1,\"\",\"\"," + written + "]"}) {
    auto back = parse_presets(document);
    require(back.has_value(), "written devices do not read back", back ? "" : back.error().display());
    require(*back == *devices, "written devices read back different", document);
  }
  return 0;
}
