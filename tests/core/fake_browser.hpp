// Starting the scripted fake browser (tests/fake_browser/fake_browser.py)
// from C++ tests: a script file and a wrapper that runs the fake with it.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

namespace kestrelite {

// Writes `script` and an executable wrapper into `dir`; returns the wrapper.
inline std::filesystem::path make_fake_browser(const std::filesystem::path& dir, const nlohmann::json& script,
                                               const std::string& name = "fake") {
  std::filesystem::path script_path = dir / (name + ".json");
  std::filesystem::path wrapper = dir / (name + ".sh");
  std::ofstream(script_path) << script.dump();
  std::ofstream(wrapper) << "#!/bin/sh\nFAKE_BROWSER_SCRIPT='" << script_path.string()
                         << "' exec /usr/bin/python3 '" KESTRELITE_SOURCE_DIR "/tests/fake_browser/fake_browser.py' \"$@\"\n";
  ::chmod(wrapper.c_str(), 0755);
  return wrapper;
}

}  // namespace kestrelite
