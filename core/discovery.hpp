// Which browser executable a run starts, when the caller names none.
//
// Three sources in a fixed order: $KESTRELITE_CHROME names the executable
// outright (and is an error when it names no file: a wrong setting is not
// a hint); then the managed install root (or a given directory) is searched
// for a file named "chrome-headless-shell"; then every directory of $PATH
// for "chrome-headless-shell", "chromium", "chromium-browser",
// "google-chrome-stable" and "google-chrome", names taking precedence over
// directories. Look-ups only: nothing is started or changed, and the
// environment and file system are read afresh on every call. This is part
// of the DevTools session module (cdp), kept in a file of its own.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "error.hpp"

namespace kestrelite {

Result<std::filesystem::path> find_browser(const std::optional<std::filesystem::path>& search_dir = std::nullopt);

// A regular file named exactly `name` below `dir`: every file of a
// directory is considered before its subdirectories are entered, and
// subdirectories are searched depth-first in listing order. Links are
// followed; a directory already visited is not entered again, so link
// cycles end the search instead of running it for ever.
std::optional<std::filesystem::path> find_in_tree(const std::filesystem::path& dir, std::string_view name);

}  // namespace kestrelite
