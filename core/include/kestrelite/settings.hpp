// What a capture emulates beyond the device, and how long it waits for the
// page to be still.
//
// Determinism holds the page's time zone, locale and seed and its virtual
// clock: Date starts at `epoch_ms`, animation frames are `frame_ms` apart,
// and once the document has loaded the clock runs the page's timers and
// frames without waiting, up to `budget_ms` of page time and `frame_budget`
// frames. StabilityOptions bound the settle wait: the page is still after
// `quiet_ticks` 16 ms ticks without a change, or at `timeout_ms` of real
// time. CaptureSettings gathers them for one capture of a session, with what
// only a session's captures do: the media features the page sees (dark
// mode, reduced motion, contrast, forced colours), the steps run before the
// picture (a click, text typed, a scroll ...; each followed by a settle
// wait), the masks whose boxes the capture records, and the glyph check.
// parse_capture_settings reads them from the JSON object a caller gives.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// One step before the picture. `target` is the CSS selector of click,
// hover, type, scroll_to and wait_for; `text` is what type types, the key
// press presses and the code javascript runs; `targets` are the selectors
// of hide and remove; `pixels` is how far scroll_by scrolls (CSS pixels).
struct Step {
  enum class Kind { Click, Hover, Type, Press, ScrollTo, ScrollBy, WaitFor, Hide, Remove, Javascript };
  Kind kind = Kind::Click;
  std::string target;
  std::string text;
  std::vector<std::string> targets;
  double pixels = 0;
  bool operator==(const Step&) const = default;
};

// The step's name in settings and messages ("click", "scroll_to" ...).
std::string_view step_name(Step::Kind kind);

struct CaptureSettings {
  Determinism determinism;
  StabilityOptions stability;
  // After the screenshot, find the characters no font draws and the fonts
  // that drew the rest (kestrelite/report.hpp, Glyphs).
  bool check_glyphs = false;
  // Before the settle wait counts the page as quiet, it asks the capture
  // for the requests it knows in flight (a binding the page could see).
  bool settle_barrier = false;
  // The commands before the navigation are sent together, not each after
  // the reply to the one before.
  bool pipelined = false;
  // Media features emulated for the page; empty or false: not emulated.
  std::string appearance;  // "light" or "dark": prefers-color-scheme
  bool reduced_motion = false;
  std::string contrast;    // "more" or "less": prefers-contrast
  bool forced_colors = false;
  std::vector<Step> steps;
  // The browser's faster PNG encoding: other bytes (larger, the same
  // pixels), so never by default.
  bool fast_png = false;
  // Selectors whose elements' boxes the capture records (Capture::masks).
  std::vector<std::string> masks;
  // What step errors call the screen ("menu"); empty: nothing.
  std::string screen;
};

// The settings of one capture from a JSON object whose members override
// `defaults`: "locale" and "timezone" (non-empty strings), "seed" (a whole
// number from 0 to 2^64-1), "check_glyphs", "reduced_motion",
// "forced_colors" and "fast_png" (true or false), "appearance" ("light" or "dark"),
// "contrast" ("more" or "less"), "steps" (a list of objects of one member
// each: {"click": selector}, {"hover": selector}, {"type": {"selector": s,
// "text": t}}, {"press": key}, {"scroll_to": selector}, {"scroll_by":
// pixels}, {"wait_for": selector}, {"hide": [selectors]}, {"remove":
// [selectors]}, {"javascript": code}), "mask" (a list of selectors),
// "settle_timeout_ms" (the settle wait's deadline, 1 to 600000) and "screen"
// (a name for messages). Any other member, or a value of the wrong
// kind, is Error::Shape naming it ("steps[2].type.text ...").
Result<CaptureSettings> parse_capture_settings(std::string_view json, const CaptureSettings& defaults);

// The defaults the module applies, as a JSON object ("seed", "locale",
// "timezone", "settle_timeout_ms"), for callers that name them.
std::string defaults_json();

}  // namespace kestrelite
