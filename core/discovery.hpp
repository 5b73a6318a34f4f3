// The tree search of browser discovery, apart for its tests.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace kestrelite {

// A regular file named exactly `name` below `dir`: every file of a
// directory is considered before its subdirectories are entered, and
// subdirectories are searched depth-first in listing order. Links are
// followed; a directory already visited is not entered again, so link
// cycles end the search instead of running it for ever.
std::optional<std::filesystem::path> find_in_tree(const std::filesystem::path& dir, std::string_view name);

}  // namespace kestrelite
