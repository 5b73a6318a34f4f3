// The two scripts a capture sends into the page, and their settings.
//
// The determinism script is installed before navigation and runs ahead of
// the page's own scripts in every document: it seeds Math.random,
// crypto.getRandomValues and crypto.randomUUID, fixes
// navigator.hardwareConcurrency and navigator.deviceMemory (8 each), and
// puts the page on a virtual clock. Date (from
// `epoch_ms`), performance.now, setTimeout, setInterval and animation
// frames (`frame_ms` apart) all follow that clock, which stands still
// while the document loads and then runs the page's timers and frames in
// order without waiting, up to `budget_ms` of virtual time and
// `frame_budget` frames: finite motion reaches its end, endless motion
// stops at the budget, whatever the machine's speed. A page may hold the clock, and the capture, by setting
// window.kestreliteReady to a promise.
//
// The stability script is evaluated after navigation; its promise resolves
// to 'quiet' once the document has loaded, its fonts and images are ready
// (lazy images outside the viewport, which the browser does not load, left
// aside), no page clock has work left before its budget, none of the
// page's requests is in flight (the capture keeps their count in the page
// as window[Symbol.for('kestrelite.network')]) and the DOM has gone
// `quiet_ticks` 16 ms ticks without a change, or to 'timeout' once
// `timeout_ms` of real time have passed since it started, whichever comes
// first. The deadline is a real-time timer; at the deadline the waits
// still open ('load', 'fonts', 'images', 'network', 'DOM', 'ready' for a
// readiness promise, 'timers' for clock work) are left in the page as
// window[Symbol.for('kestrelite.open')]. Before it resolves, it holds
// the page clocks, finishes the page's finite animations and transitions,
// pauses infinite ones at their start, pauses SMIL where the budget ends,
// shows animated GIFs at their first frame, pauses playing videos and
// hides the text caret, since those run on clocks no page script controls.
#pragma once

#include <cstdint>
#include <string>

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

std::string determinism_script(const Determinism& d);
std::string stability_script(const StabilityOptions& s);

// Shortest decimal that reads back as the same double, without exponent.
std::string shortest_decimal(double value);

}  // namespace kestrelite
