// Which browser executable a capture starts, when the caller names none.
//
// find_browser takes three sources in a fixed order: $KESTRELITE_CHROME
// names the executable outright (and is an error when it names no file: a
// wrong setting is not a hint); then the managed install root (or a given
// directory) is searched for a file named "chrome-headless-shell"; then
// every directory of $PATH for the names of kPathNames, names taking
// precedence over directories. choose_browser, which the command line and
// the Python library use, goes on where find_browser finds nothing and
// $KESTRELITE_CHROME is not set: it takes Debian's headless shell,
// kDebianShell, from $PATH. Look-ups only: nothing is started or changed,
// and the environment and file system are read afresh on every call.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "kestrelite/error.hpp"

namespace kestrelite {

inline constexpr std::array<std::string_view, 5> kPathNames = {"chrome-headless-shell", "chromium", "chromium-browser",
                                                                "google-chrome-stable", "google-chrome"};
inline constexpr std::string_view kDebianShell = "chromium-headless-shell";

// $KESTRELITE_HOME/browser when that is set and not empty; otherwise
// <home>/.kestrelite/browser with <home> from $HOME (even when empty), else
// $USERPROFILE, else ".". Never fails.
std::filesystem::path managed_root();

Result<std::filesystem::path> find_browser(const std::optional<std::filesystem::path>& search_dir = std::nullopt);

struct ChosenBrowser {
  std::filesystem::path path;
  bool debian_shell = false;  // found only by its Debian name on $PATH
};

// find_browser, then kDebianShell on $PATH. When neither finds one, the
// error names every place looked at; find_browser's own error for a
// $KESTRELITE_CHROME that names no file is kept.
Result<ChosenBrowser> choose_browser();

// A path as UTF-8 text, invalid bytes replaced.
std::string path_text(const std::filesystem::path& path);

}  // namespace kestrelite
