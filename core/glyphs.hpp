// The glyph check of a capture, run on its page after the screenshot.
//
// check_glyphs() evaluates core/scripts/glyphs.js in an isolated world of
// the page's main frame: it finds the characters of the text in the
// viewport that no font has a glyph for, and marks a few elements that hold
// the text's characters. The platform fonts that drew those elements, asked
// of the CSS domain, are the capture's fonts, most glyphs first. Nothing here
// changes what the page shows; the page is discarded after the capture.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "cdp.hpp"
#include "kestrelite/report.hpp"

namespace kestrelite {

// The script as sent, with its limits filled in.
std::string glyph_script();

Result<Glyphs> check_glyphs(Connection& page);

// The record from the script's answer and the answers of
// CSS.getPlatformFontsForNode, one per marked element; Error::Shape when the
// script answered nothing of the expected form.
Result<Glyphs> glyphs_from_answers(const nlohmann::json& script, const std::vector<nlohmann::json>& fonts);

}  // namespace kestrelite
