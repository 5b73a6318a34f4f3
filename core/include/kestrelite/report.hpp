// What captures produce, and the run report as compact JSON.
//
// The records are plain values: a Capture describes one written image (its
// sizes, digest, what the page reported and how it settled), a DeviceResult
// one attempted device, a RunReport a run over several. The JSON writers put
// members in declaration order, leave absent members out (never null),
// write integers in full (128-bit milliseconds included) and escape strings
// as json_text does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelite {

// Whole milliseconds of a run are held in 128 bits and written in full.
__extension__ typedef unsigned __int128 uint128;

struct ImageSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool operator==(const ImageSize&) const = default;
};

// What the page reported about itself.
struct Environment {
  std::uint32_t inner_width = 0;
  std::uint32_t inner_height = 0;
  std::uint32_t device_pixel_ratio = 0;
  std::uint32_t touch_points = 0;
  bool viewport_honoured = false;
  bool operator==(const Environment&) const = default;
};

// A JavaScript dialog the page opened, which the capture dismissed.
struct Dialog {
  std::string type;  // "alert", "confirm", "prompt" or "beforeunload"
  std::string message;
  bool operator==(const Dialog&) const = default;
};

// The names of the waits a settle wait can end at its deadline with.
inline constexpr std::string_view kSettleWaits[] = {"load", "fonts", "images", "network", "DOM", "timers", "ready"};

// What the glyph check found in the text of the picture: the platform fonts
// that drew it, most used first, and the characters no font has a glyph for
// ("U+XXXX", the first kMissingGlyphsListed of `missing_count`).
struct Glyphs {
  std::vector<std::string> fonts;
  std::vector<std::string> missing;
  std::uint64_t missing_count = 0;
  bool operator==(const Glyphs&) const = default;
};
inline constexpr std::size_t kMissingGlyphsListed = 32;

// A rectangle of the picture in device pixels.
struct Box {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool operator==(const Box&) const = default;
};

// The boxes, at the moment of the picture, of the elements a mask selector
// matched (none when it matched none in view).
struct Mask {
  std::string selector;
  std::vector<Box> boxes;
  bool operator==(const Mask&) const = default;
};

// A step done before the picture ("click", "type" ...) and how the settle
// wait after it ended (as Capture::settle and settle_open).
struct StepRecord {
  std::string step;
  std::string settle;
  std::vector<std::string> settle_open;
  bool operator==(const StepRecord&) const = default;
};

struct Capture {
  std::string device_id;
  ImageSize expected;
  ImageSize actual;
  std::string sha256;
  std::uint64_t bytes = 0;
  bool exact = false;
  std::optional<Environment> environment;
  // How the settle wait ended: "quiet", or "deadline" with the waits still
  // open then (names from kSettleWaits). Empty in records made by hand.
  std::string settle;
  std::vector<std::string> settle_open;
  std::vector<Dialog> dialogs;
  // The address of the document captured, when it is not the one requested.
  std::optional<std::string> final_url;
  // Present when the capture checked the glyphs (a session's captures).
  std::optional<Glyphs> glyphs;
  std::vector<StepRecord> steps;
  std::vector<Mask> masks;
};

enum class Outcome { Exact, OffSize, Failed };

constexpr std::string_view outcome_text(Outcome o) {
  switch (o) {
    case Outcome::Exact: return "exact";
    case Outcome::OffSize: return "off-size";
    case Outcome::Failed: return "failed";
  }
  return "failed";
}

struct DeviceResult {
  std::string device_id;
  Outcome outcome = Outcome::Failed;
  uint128 elapsed_ms = 0;
  std::optional<Capture> capture;   // exact and off-size
  std::optional<std::string> error; // failed
  std::optional<std::string> path;  // exact and off-size
  std::optional<std::string> teardown = std::nullopt;  // browser processes outlived the wait
};

struct RunReport {
  std::string version_text;
  std::string url;
  std::uint64_t seed = 0;
  std::string locale;
  std::size_t exact = 0;
  std::size_t off_size = 0;
  std::size_t failed = 0;
  uint128 elapsed_ms = 0;
  bool ok = false;
  std::vector<DeviceResult> results;
};

std::string report_json(const RunReport& report);
// One device's result, as it appears in the report's "results".
std::string device_result_json(const DeviceResult& result);

}  // namespace kestrelite
