// What a capture emulates beyond the device, and how long it waits for the
// page to be still.
//
// Determinism holds the page's time zone, locale and seed and its virtual
// clock: Date starts at `epoch_ms`, animation frames are `frame_ms` apart,
// and once the document has loaded the clock runs the page's timers and
// frames without waiting, up to `budget_ms` of page time and `frame_budget`
// frames. StabilityOptions bound the settle wait: the page is still after
// `quiet_ticks` 16 ms ticks without a change, or at `timeout_ms` of real
// time. CaptureSettings gathers them for one capture of a session;
// parse_capture_settings reads them from the JSON object a caller gives.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kestrelite/error.hpp"

namespace kestrelite {

struct Determinism {
  std::string timezone = "UTC";
  std::string locale = "en-US";
  std::uint64_t seed = 42;
  std::int64_t epoch_ms = 1750000000000;  // 2025-06-15T15:06:40Z
  double frame_ms = 1000.0 / 60.0;
  // How far the page clock may run after the document has loaded, and how
  // many animation frames a document gets (5 s of them).
  std::uint32_t budget_ms = 10000;
  std::uint32_t frame_budget = 300;
};

struct StabilityOptions {
  std::uint32_t quiet_ticks = 2;  // 0 acts as 1
  std::uint32_t timeout_ms = 10000;
  bool wait_fonts = true;
  bool wait_images = true;
};

struct CaptureSettings {
  Determinism determinism;
  StabilityOptions stability;
  // After the screenshot, find the characters no font draws and the fonts
  // that drew the rest (kestrelite/report.hpp, Glyphs).
  bool check_glyphs = false;
};

// The settings of one capture from a JSON object whose members override
// `defaults`: "locale" and "timezone" (non-empty strings), "seed" (a whole
// number from 0 to 2^64-1), "check_glyphs" (true or false). Any other
// member, or a value of the wrong kind, is Error::Shape naming the member.
Result<CaptureSettings> parse_capture_settings(std::string_view json, const CaptureSettings& defaults);

// The defaults the module applies, as a JSON object ("seed", "locale",
// "timezone", "settle_timeout_ms"), for callers that name them.
std::string defaults_json();

}  // namespace kestrelite
