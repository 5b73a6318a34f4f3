#include "kestrelite/discovery.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>

#include "discovery.hpp"
#include "test_files.hpp"

namespace kestrelite {
namespace {

namespace fs = std::filesystem;

const char* const kVariables[] = {"KESTRELITE_CHROME", "KESTRELITE_HOME", "HOME", "USERPROFILE", "PATH"};
const char* const kNoBrowser = "browser: no browser found. Set KESTRELITE_CHROME, or run `kestrelite install-browser`.";

// Each test sees only the variables it sets (the five above are cleared
// and restored afterwards) and a fresh tree.
class DiscoveryTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) {
      if (const char* v = std::getenv(name)) saved_[name] = v;
      ::unsetenv(name);
    }
  }
  void TearDown() override {
    for (const char* name : kVariables) {
      ::unsetenv(name);
      if (auto it = saved_.find(name); it != saved_.end()) ::setenv(name, it->second.c_str(), 1);
    }
  }
  // `text` with every "{tmp}" replaced by the tree's path.
  std::string in_tree(const std::string& text) const {
    return std::regex_replace(text, std::regex("\\{tmp\\}"), tmp_.path().string());
  }
  void file(const std::string& relative) {
    fs::path p = tmp_.path() / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\n";
  }

  TempDir tmp_;
  std::map<std::string, std::string> saved_;
};

struct FindCase {
  const char* name;
  std::vector<std::string> files;
  std::map<std::string, std::string> env;
  std::string found;  // a path or the error, "{tmp}" standing for the tree
};
void PrintTo(const FindCase& c, std::ostream* out) { *out << c.name; }

const FindCase kCases[] = {
    {"explicit_path_trimmed", {"bin/my browser"}, {{"KESTRELITE_CHROME", " \n\t{tmp}/bin/my browser\xE2\x80\x83\n "}},
     "{tmp}/bin/my browser"},
    {"blank_explicit_path_ignored", {"bin/chromium"}, {{"KESTRELITE_CHROME", "  \n "}, {"PATH", "{tmp}/bin"}},
     "{tmp}/bin/chromium"},
    {"explicit_directory_is_an_error", {"d/x", "bin/chromium"},
     {{"KESTRELITE_CHROME", "{tmp}/d"}, {"PATH", "{tmp}/bin"}},
     "browser: KESTRELITE_CHROME points at {tmp}/d, which is not a file"},
    {"managed_root_before_path", {"home/browser/x/y/chrome-headless-shell", "bin/chromium"},
     {{"KESTRELITE_HOME", "{tmp}/home"}, {"PATH", "{tmp}/bin"}}, "{tmp}/home/browser/x/y/chrome-headless-shell"},
    {"home_holds_the_default_root", {"h/.kestrelite/browser/chrome-headless-shell"}, {{"HOME", "{tmp}/h"}},
     "{tmp}/h/.kestrelite/browser/chrome-headless-shell"},
    {"files_before_subdirectories", {"r/browser/a/chrome-headless-shell", "r/browser/chrome-headless-shell"},
     {{"KESTRELITE_HOME", "{tmp}/r"}}, "{tmp}/r/browser/chrome-headless-shell"},
    {"name_is_case_sensitive", {"r/browser/Chrome-Headless-Shell"}, {{"KESTRELITE_HOME", "{tmp}/r"}}, kNoBrowser},
    {"names_before_path_order", {"a/google-chrome", "b/chromium"},
     {{"KESTRELITE_HOME", "{tmp}/none"}, {"PATH", "{tmp}/a:{tmp}/b"}}, "{tmp}/b/chromium"},
    {"headless_shell_first", {"p/chromium", "p/chrome-headless-shell"}, {{"HOME", "{tmp}"}, {"PATH", "/none:{tmp}/p"}},
     "{tmp}/p/chrome-headless-shell"},
    {"nothing_found", {"empty/x"}, {{"KESTRELITE_HOME", "{tmp}/none"}, {"PATH", "{tmp}/empty"}}, kNoBrowser},
};

class FindBrowserTest : public DiscoveryTest, public testing::WithParamInterface<FindCase> {};

TEST_P(FindBrowserTest, FindsTheExpectedBrowser) {
  for (const std::string& f : GetParam().files) file(f);
  for (const auto& [name, value] : GetParam().env) ::setenv(name.c_str(), in_tree(value).c_str(), 1);
  auto found = find_browser();
  EXPECT_EQ(found ? found->string() : found.error().display(), in_tree(GetParam().found));
}

INSTANTIATE_TEST_SUITE_P(Sources, FindBrowserTest, testing::ValuesIn(kCases), testing::PrintToStringParamName());

TEST_F(DiscoveryTest, LinkedDirectoriesAreSearchedOnceAndCyclesEnd) {
  fs::create_directories(tmp_.path() / "r/a");
  fs::create_directory_symlink(tmp_.path() / "r", tmp_.path() / "r/a/loop");
  EXPECT_FALSE(find_in_tree(tmp_.path() / "r", "chrome-headless-shell"));
  file("elsewhere/chrome-headless-shell");
  fs::create_directory_symlink(tmp_.path() / "elsewhere", tmp_.path() / "r/linked");
  EXPECT_EQ(find_in_tree(tmp_.path() / "r", "chrome-headless-shell"), tmp_.path() / "r/linked/chrome-headless-shell");
}

TEST_F(DiscoveryTest, ManagedRootFollowsTheEnvironment) {
  EXPECT_EQ(managed_root(), fs::path("./.kestrelite/browser"));
  ::setenv("USERPROFILE", "C:/Users/u", 1);
  EXPECT_EQ(managed_root(), fs::path("C:/Users/u/.kestrelite/browser"));
  ::setenv("HOME", "", 1);
  EXPECT_EQ(managed_root(), fs::path(".kestrelite/browser"));
  ::setenv("HOME", "/Users/a", 1);
  ::setenv("KESTRELITE_HOME", "", 1);
  EXPECT_EQ(managed_root(), fs::path("/Users/a/.kestrelite/browser"));
  ::setenv("KESTRELITE_HOME", "/opt/k", 1);
  EXPECT_EQ(managed_root(), fs::path("/opt/k/browser"));
}

}  // namespace
}  // namespace kestrelite
