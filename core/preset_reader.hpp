// The text of the built-in preset table, compiled in from presets.json.
#pragma once

#include <string_view>

namespace kestrelite {

std::string_view builtin_text();

}  // namespace kestrelite
