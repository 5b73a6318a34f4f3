// Files of one test: a fresh temporary directory, removed with everything
// in it, the scripted fake browser (tests/fake_browser/fake_browser.py)
// started through a wrapper that hands it its script, and what the process
// holds, which a test must leave as it found it.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kestrelite {

class TempDir {
 public:
  TempDir() {
    if (!::mkdtemp(path_.data()))
      throw std::filesystem::filesystem_error("mkdtemp", std::error_code(errno, std::generic_category()));
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::filesystem::path path() const { return path_; }

 private:
  std::string path_ = (std::filesystem::temp_directory_path() / "kestrelite-test-XXXXXX").string();
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

// The lines of the file at `path`; none when it does not exist.
inline std::vector<std::string> read_lines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// This process's child processes and its counts of open descriptors and threads.
inline std::string process_state() {
  std::string state = "children:";
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    for (const auto& line : read_lines(task.path() / "children")) state += " " + line;
  for (const char* dir : {"/proc/self/fd", "/proc/self/task"}) {
    std::filesystem::directory_iterator all(dir);
    state += ", " + std::to_string(std::distance(begin(all), end(all))) + " in " + dir;
  }
  return state;
}

}  // namespace kestrelite
