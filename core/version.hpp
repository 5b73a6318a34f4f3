// The version of kestrelite_core, as reported by the module and in every run report.
#pragma once

#include <string_view>

namespace kestrelite {

inline constexpr std::string_view kVersionText = "0.1.14";

}  // namespace kestrelite
