// A capture's steps before the picture and its masks, on its page.
//
// run_step() does one step's action: a click or a hover as real mouse
// events at the centre of the element's box (scrolled into view first), text
// typed as key input into the focused element, a named key pressed, a scroll,
// a wait for an element, elements hidden or taken out of the layout, or the
// caller's script run in the page (a promise it gives is awaited). Finding
// elements runs core/scripts/steps.js in an isolated world of the main frame,
// where the page's scripts cannot interfere; the settle wait that follows a
// step is the capture's. mask_boxes() gives the device-pixel boxes of the
// elements of each mask selector.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "cdp.hpp"
#include "kestrelite/report.hpp"
#include "kestrelite/settings.hpp"

namespace kestrelite {

// Whether `name` is a key a press step knows ("Enter", "ArrowDown" ...), and
// their names for a message.
bool known_key(std::string_view name);
std::string key_names();

// What a step does to the page, or Error::Browser with the reason it cannot
// (the caller names the step). `time_left` bounds a wait or a script.
Result<void> run_step(Connection& page, const Step& step, std::chrono::milliseconds time_left);

// The expression, evaluated in the page itself, that lets the page clocks
// of the document and its frames run again after a settle wait held them.
extern const std::string_view kReleaseClocks;

Result<std::vector<Mask>> mask_boxes(Connection& page, const std::vector<std::string>& selectors,
                                     std::uint32_t scale);

}  // namespace kestrelite
