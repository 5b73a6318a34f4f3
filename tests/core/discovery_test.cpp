#include "discovery.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "install.hpp"
#include "temp_dir.hpp"

namespace kestrelite {
namespace {

namespace fs = std::filesystem;

const char* const kVariables[] = {"KESTRELITE_CHROME", "KESTRELITE_HOME", "HOME", "USERPROFILE", "PATH"};

// Runs each case with only the environment it sets (the five variables
// above are cleared first and restored afterwards) inside a fresh tree.
class DiscoveryTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) {
      if (const char* v = std::getenv(name)) saved_[name] = v;
      ::unsetenv(name);
    }
    cwd_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(cwd_);
    for (const char* name : kVariables) {
      ::unsetenv(name);
      if (auto it = saved_.find(name); it != saved_.end()) ::setenv(name, it->second.c_str(), 1);
    }
  }
  fs::path file(const fs::path& relative) {
    fs::path p = tmp_.path() / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\n";
    return p;
  }
  fs::path dir(const fs::path& relative) {
    fs::path p = tmp_.path() / relative;
    fs::create_directories(p);
    return p;
  }
  static void set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }
  std::string found() {
    auto r = find_browser();
    return r ? r->string() : r.error().display();
  }

  TempDir tmp_;
  std::map<std::string, std::string> saved_;
  fs::path cwd_;
};

TEST_F(DiscoveryTest, ExplicitPathIsTrimmedAndReturnedAsGiven) {
  fs::path browser = file("bin/my browser");
  set("KESTRELITE_CHROME", " \n\t" + browser.string() + "\xE2\x80\x83\n ");
  EXPECT_EQ(found(), browser.string());
}

TEST_F(DiscoveryTest, ExplicitPathOfSpacesIsIgnored) {
  fs::path chromium = file("bin/chromium");
  set("KESTRELITE_CHROME", "  \n ");
  set("PATH", chromium.parent_path().string());
  EXPECT_EQ(found(), chromium.string());
}

TEST_F(DiscoveryTest, ExplicitPathThatIsNoFileIsAnErrorEvenWithABrowserOnPath) {
  fs::path d = dir("not-a-file");
  set("PATH", file("bin/chromium").parent_path().string());
  fs::path dangling = tmp_.path() / "dangling";
  fs::create_symlink(tmp_.path() / "nowhere", dangling);
  for (const fs::path& target : {d, dangling, tmp_.path() / "missing"}) {
    set("KESTRELITE_CHROME", target.string());
    EXPECT_EQ(found(), "browser: KESTRELITE_CHROME points at " + target.string() + ", which is not a file");
  }
}

TEST_F(DiscoveryTest, ExplicitPathThroughALinkToAFile) {
  fs::path target = file("real/chrome");
  fs::path link = tmp_.path() / "link";
  fs::create_symlink(target, link);
  set("KESTRELITE_CHROME", link.string());
  EXPECT_EQ(found(), link.string());
}

TEST_F(DiscoveryTest, ManagedRootWinsOverPath) {
  fs::path shell = file("home/browser/x/y/chrome-headless-shell");
  set("KESTRELITE_HOME", (tmp_.path() / "home").string());
  set("PATH", file("bin/chromium").parent_path().string());
  EXPECT_EQ(found(), shell.string());
}

TEST_F(DiscoveryTest, FilesOfADirectoryComeBeforeItsSubdirectories) {
  file("r1/sub/chrome-headless-shell");
  fs::path top = file("r1/chrome-headless-shell");
  EXPECT_EQ(find_browser(tmp_.path() / "r1").value(), top);
  file("r2/a/b/chrome-headless-shell");
  fs::path shallow = file("r2/a/chrome-headless-shell");
  EXPECT_EQ(find_browser(tmp_.path() / "r2").value(), shallow);
}

TEST_F(DiscoveryTest, ADirectoryWithTheNameIsEntered) {
  fs::path inner = file("r/chrome-headless-shell/x/chrome-headless-shell");
  EXPECT_EQ(find_browser(tmp_.path() / "r").value(), inner);
}

TEST_F(DiscoveryTest, NameIsCaseSensitive) {
  file("r/Chrome-Headless-Shell");
  EXPECT_FALSE(find_in_tree(tmp_.path() / "r", "chrome-headless-shell"));
}

TEST_F(DiscoveryTest, LinkCyclesEndTheSearch) {
  dir("r/a");
  fs::create_directory_symlink(tmp_.path() / "r", tmp_.path() / "r/a/loop");
  fs::create_directory_symlink(tmp_.path() / "r/a", tmp_.path() / "r/a/self");
  EXPECT_FALSE(find_in_tree(tmp_.path() / "r", "chrome-headless-shell"));
  fs::path shell = file("r/z/chrome-headless-shell");
  EXPECT_EQ(find_in_tree(tmp_.path() / "r", "chrome-headless-shell"), shell);
}

TEST_F(DiscoveryTest, LinkedSubdirectoryIsSearched) {
  file("elsewhere/chrome-headless-shell");
  dir("r");
  fs::create_directory_symlink(tmp_.path() / "elsewhere", tmp_.path() / "r/linked");
  EXPECT_EQ(find_in_tree(tmp_.path() / "r", "chrome-headless-shell"), tmp_.path() / "r/linked/chrome-headless-shell");
}

TEST_F(DiscoveryTest, NamesTakePrecedenceOverPathOrder) {
  fs::path a = file("a/google-chrome").parent_path();
  fs::path chromium = file("b/chromium");
  set("PATH", a.string() + ":" + chromium.parent_path().string());
  set("KESTRELITE_HOME", (tmp_.path() / "no-such-root").string());
  EXPECT_EQ(found(), chromium.string());
}

TEST_F(DiscoveryTest, PathFindsEachNameInOrder) {
  const char* names[] = {"chrome-headless-shell", "chromium", "chromium-browser", "google-chrome-stable",
                         "google-chrome"};
  set("KESTRELITE_HOME", (tmp_.path() / "none").string());
  for (int keep = 4; keep >= 0; --keep) {
    fs::path d = dir("p" + std::to_string(keep));
    for (int i = keep; i < 5; ++i) file(d.filename() / names[i]);
    set("PATH", "/nonexistent:" + d.string());
    EXPECT_EQ(found(), (d / names[keep]).string());
  }
}

TEST_F(DiscoveryTest, EmptyPathElementIsTheCurrentDirectory) {
  fs::path d = dir("cwd");
  file("cwd/chromium");
  fs::current_path(d);
  set("KESTRELITE_HOME", (tmp_.path() / "none").string());
  set("PATH", "/nonexistent::/also-not");
  EXPECT_EQ(found(), "chromium");
}

TEST_F(DiscoveryTest, NothingFound) {
  set("KESTRELITE_HOME", (tmp_.path() / "missing-root").string());
  set("PATH", dir("empty").string());
  EXPECT_EQ(found(), "browser: no browser found. Set KESTRELITE_CHROME, or run `kestrelite install-browser`.");
  ::unsetenv("PATH");
  EXPECT_EQ(found(), "browser: no browser found. Set KESTRELITE_CHROME, or run `kestrelite install-browser`.");
}

TEST_F(DiscoveryTest, ManagedRootFollowsTheEnvironment) {
  EXPECT_EQ(managed_root(), fs::path("./.kestrelite/browser"));
  set("USERPROFILE", "C:/Users/u");
  EXPECT_EQ(managed_root(), fs::path("C:/Users/u/.kestrelite/browser"));
  set("HOME", "");
  EXPECT_EQ(managed_root(), fs::path(".kestrelite/browser"));
  set("HOME", "/Users/a");
  EXPECT_EQ(managed_root(), fs::path("/Users/a/.kestrelite/browser"));
  set("KESTRELITE_HOME", "");
  EXPECT_EQ(managed_root(), fs::path("/Users/a/.kestrelite/browser"));
  set("KESTRELITE_HOME", "/opt/k");
  EXPECT_EQ(managed_root(), fs::path("/opt/k/browser"));
}

TEST_F(DiscoveryTest, HomeDirectoryIsTheDefaultManagedRoot) {
  fs::path shell = file("h/.kestrelite/browser/chrome-headless-shell");
  set("HOME", (tmp_.path() / "h").string());
  EXPECT_EQ(found(), shell.string());
}

}  // namespace
}  // namespace kestrelite
