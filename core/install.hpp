// Where a browser installed for kestrelite lives: the managed install root.
// An installer outside the core places an executable named
// "chrome-headless-shell" anywhere below it; discovery searches it.
#pragma once

#include <filesystem>

namespace kestrelite {

// $KESTRELITE_HOME/browser when that is set and not empty; otherwise
// <home>/.kestrelite/browser with <home> from $HOME (even when empty), else
// $USERPROFILE, else ".". Reads the environment on every call; never fails.
std::filesystem::path managed_root();

}  // namespace kestrelite
