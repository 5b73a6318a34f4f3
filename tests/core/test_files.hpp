// Files of one test: a fresh temporary directory, removed with everything
// in it, and the scripted fake browser (tests/fake_browser/fake_browser.py)
// started through a wrapper that hands it its script.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

namespace kestrelite {

class TempDir {
 public:
  TempDir() : path_((std::filesystem::temp_directory_path() / "kestrelite-test-XXXXXX").string()) {
    if (!::mkdtemp(path_.data()))
      throw std::filesystem::filesystem_error("mkdtemp", std::error_code(errno, std::generic_category()));
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::filesystem::path path() const { return path_; }

 private:
  std::string path_;
};

// Writes `script` and an executable wrapper named `name` into `dir`;
// returns the wrapper.
inline std::filesystem::path make_fake_browser(const std::filesystem::path& dir, const nlohmann::json& script,
                                               const std::string& name) {
  std::ofstream(dir / (name + ".json")) << script.dump();
  std::ofstream(dir / name) << "#!/bin/sh\nFAKE_BROWSER_SCRIPT='" << (dir / (name + ".json")).string()
                            << "' exec /usr/bin/python3 '" KESTRELITE_SOURCE_DIR
                               "/tests/fake_browser/fake_browser.py' \"$@\"\n";
  ::chmod((dir / name).c_str(), 0755);
  return dir / name;
}

}  // namespace kestrelite
