// The two scripts a capture sends into the page, made from their settings.
//
// The texts live in core/scripts/ as JavaScript files (determinism.js,
// stability.js), compiled in without their header comment; each setting
// fills a placeholder of its own. The determinism script is installed
// before navigation and runs ahead of the page's own scripts in every
// document: it seeds Math.random, crypto.getRandomValues and
// crypto.randomUUID, fixes navigator.hardwareConcurrency and
// navigator.deviceMemory (8 each), and puts the page on a virtual clock
// (kestrelite/settings.hpp). A page may hold the clock, and the capture, by
// setting window.kestreliteReady to a promise.
//
// The stability script is evaluated after navigation; its promise resolves
// to 'quiet' once the document has loaded, its fonts and images are ready
// (lazy images outside the viewport, which the browser does not load, left
// aside), no page clock has work left before its budget, none of the
// page's requests is in flight (the capture keeps their count in the page
// as window[Symbol.for('kestrelite.network')]) and the DOM has gone
// `quiet_ticks` 16 ms ticks without a change, or to 'timeout' once
// `timeout_ms` of real time have passed since it started, whichever comes
// first. At the deadline the waits still open ('load', 'fonts', 'images',
// 'network', 'DOM', 'ready' for a readiness promise, 'timers' for clock
// work) are left in the page as window[Symbol.for('kestrelite.open')].
// Before it resolves, it holds the page clocks and stops what runs on the
// browser's own clocks (animations, SMIL, GIFs, videos, the caret).
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "kestrelite/settings.hpp"

namespace kestrelite {

std::string determinism_script(const Determinism& d);
std::string stability_script(const StabilityOptions& s);

// The page scripts as compiled in from core/scripts/, with their
// placeholders (names such as __SEED__).
std::string_view determinism_template();
std::string_view stability_template();
std::string_view glyphs_template();
std::string_view steps_template();

// `text` with every occurrence of each placeholder replaced by its value.
std::string fill_placeholders(std::string_view text,
                              std::initializer_list<std::pair<std::string_view, std::string>> values);

// Shortest decimal that reads back as the same double, without exponent.
std::string shortest_decimal(double value);

}  // namespace kestrelite
