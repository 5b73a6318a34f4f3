#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "cdp.hpp"
#include "fake_browser.hpp"
#include "temp_dir.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::StartsWith;

constexpr const char* kHeadlessShell = "/usr/bin/chromium-headless-shell";

// Process ids whose process group is `pgid`, zombies included.
std::vector<pid_t> group_members(pid_t pgid) {
  std::vector<pid_t> members;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string state;
    pid_t ppid = 0, group = 0;
    rest >> state >> ppid >> group;
    if (group == pgid) members.push_back(std::stoi(name));
  }
  return members;
}

// Waits up to five seconds for the group to disappear; helpers reparented
// to init may linger as zombies for a moment after the kill.
bool group_gone(pid_t pgid) {
  for (int i = 0; i < 50; ++i) {
    if (group_members(pgid).empty()) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

class BrowserTest : public testing::Test {
 protected:
  LaunchOptions fake(const json& script, std::chrono::milliseconds timeout = 3s) {
    LaunchOptions o;
    o.executable = make_fake_browser(tmp_.path(), script, "fake" + std::to_string(serial_++));
    o.timeout = timeout;
    return o;
  }
  std::string launch_error(const LaunchOptions& o) {
    auto b = Browser::launch(o);
    return b ? "launched" : b.error().display();
  }
  std::vector<std::string> log_lines() {
    std::ifstream in(tmp_.path() / "log.jsonl");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string log_path() const { return (tmp_.path() / "log.jsonl").string(); }

  TempDir tmp_;
  int serial_ = 0;
};

TEST_F(BrowserTest, CommandLineIsFixedAndOrdered) {
  LaunchOptions o;
  o.port = 9222;
  o.user_data_dir = "/tmp/profile";
  o.extra_args = {"--lang=de", "--x"};
  EXPECT_EQ(browser_arguments(o),
            (std::vector<std::string>{"--remote-debugging-port=9222", "--headless", "--no-sandbox", "--disable-gpu",
                                      "--hide-scrollbars", "--mute-audio", "--no-first-run",
                                      "--no-default-browser-check", "--disable-dev-shm-usage",
                                      "--force-device-scale-factor=1", "--disable-background-timer-throttling",
                                      "--disable-renderer-backgrounding", "--disable-backgrounding-occluded-windows",
                                      "--user-data-dir=/tmp/profile", "--lang=de", "--x", "about:blank"}));
  EXPECT_EQ(browser_arguments(LaunchOptions{}).front(), "--remote-debugging-port=0");
  EXPECT_EQ(browser_arguments(LaunchOptions{}).size(), 14u);
}

struct LaunchFailure {
  const char* name;
  json script;
  std::string error;
};

const LaunchFailure kFailures[] = {
    {"no_port", {{"startup", "no_port"}}, "browser: browser did not report a DevTools port"},
    {"page_without_url", {{"target_list", "page_without_url"}}, "browser: could not attach: no page target yet"},
    {"not_array", {{"target_list", "not_array"}}, "browser: could not attach: target list was not an array"},
    {"invalid_json", {{"target_list", "invalid_json"}}, "browser: could not attach: bad target list: "},
    {"refused", {{"target_list", "refuse"}}, "browser: could not attach: io: "},
    {"hang_up", {{"target_list", "hang_up"}}, "browser: could not attach: unexpected response shape: http response ended in headers"},
    {"truncated_handshake", {{"handshake", "truncated"}}, "websocket protocol: connection closed by peer"},
    {"wrong_accept", {{"handshake", "wrong_accept"}}, "websocket protocol: accept mismatch: got "},
};

class LaunchFailureTest : public BrowserTest, public testing::WithParamInterface<LaunchFailure> {};

TEST_P(LaunchFailureTest, EndsWithTheReasonAndLeavesNothingBehind) {
  const std::size_t descriptors = open_descriptors();
  json script = GetParam().script;
  script["pid_file"] = (tmp_.path() / "pid").string();
  EXPECT_THAT(launch_error(fake(script, 1500ms)), StartsWith(GetParam().error));
  pid_t pid = 0;
  ASSERT_TRUE(std::ifstream(tmp_.path() / "pid") >> pid);
  EXPECT_TRUE(group_gone(pid));
  EXPECT_EQ(open_descriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Faults, LaunchFailureTest, testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BrowserTest, ABrowserThatExitsAtOnceFailsWithoutWaitingForTheTimeout) {
  for (const char* startup : {"exit_at_once", "exit_without_port"}) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(launch_error(fake({{"startup", startup}}, 60s)), "browser: browser did not report a DevTools port");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << startup;
  }
}

TEST_F(BrowserTest, AProgramThatCannotStart) {
  LaunchOptions o;
  o.executable = tmp_.path() / "missing";
  EXPECT_EQ(launch_error(o), "browser: could not spawn " + o.executable.string() + ": No such file or directory");
  o.executable = tmp_.path();
  EXPECT_THAT(launch_error(o), StartsWith("browser: could not spawn " + o.executable.string() + ": "));
}

TEST_F(BrowserTest, UnparsablePortLinesAreSkippedAndLatePagesAwaited) {
  auto browser = Browser::launch(fake({{"startup", "bad_port_first"}, {"page_after_ms", 400}, {"service_worker", true}}));
  ASSERT_TRUE(browser) << browser.error().display();
}

TEST_F(BrowserTest, RequestsCarrySortedKeysAndIncreasingIds) {
  json replies = {{"Fail.me", {{"error", {{"code", 1}}}}},
                  {"Empty.reply", json::object()},
                  {"Echo.this", {{"result", {{"b", {1, 2}}, {"a", "x"}}}}}};
  auto browser = Browser::launch(fake({{"log", log_path()}, {"replies", replies},
                                       {"before_reply", {{"*", {{{"method", "Some.event"}}, {{"id", 77}}}}}}}));
  ASSERT_TRUE(browser) << browser.error().display();
  auto failed = browser->call("Fail.me", json::object());
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().display(), "cdp Fail.me: unknown");
  auto unknown = browser->call("No.such", json{{"z", 1}, {"a", {{"y", true}, {"b", nullptr}}}});
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().display(), "cdp No.such: 'No.such' wasn't found");
  auto empty = browser->call("Empty.reply", json::object());
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->is_null());
  auto echoed = browser->call("Echo.this", json::array());
  ASSERT_TRUE(echoed);
  EXPECT_EQ(*echoed, (json{{"a", "x"}, {"b", {1, 2}}}));
  EXPECT_EQ(log_lines(), (std::vector<std::string>{R"({"id":1,"method":"Fail.me","params":{}})",
                                                    R"({"id":2,"method":"No.such","params":{"a":{"b":null,"y":true},"z":1}})",
                                                    R"({"id":3,"method":"Empty.reply","params":{}})",
                                                    R"({"id":4,"method":"Echo.this","params":[]})"}));
}

TEST_F(BrowserTest, AMessageThatIsNotJsonFailsTheCall) {
  auto browser = Browser::launch(fake({{"before_reply", {{"Page.enable", {"{not json"}}}}}));
  ASSERT_TRUE(browser) << browser.error().display();
  auto out = browser->call("Page.enable", json::object());
  ASSERT_FALSE(out);
  EXPECT_THAT(out.error().display(), StartsWith("json: "));
}

TEST_F(BrowserTest, DroppingTheBrowserEndsItsWholeGroup) {
  const std::size_t descriptors = open_descriptors();
  pid_t pid = 0;
  {
    auto browser = Browser::launch(fake(json::object()));
    ASSERT_TRUE(browser) << browser.error().display();
    pid = browser->pid();
    EXPECT_FALSE(group_members(pid).empty());
    Browser moved = std::move(*browser);
    EXPECT_TRUE(moved.call("Page.enable", json::object()));
  }
  EXPECT_TRUE(group_gone(pid));
  EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(BrowserTest, ABrowserKilledFromOutsideFailsTheNextCall) {
  auto browser = Browser::launch(fake(json::object()));
  ASSERT_TRUE(browser) << browser.error().display();
  ::kill(-browser->pid(), SIGKILL);
  auto out = browser->call("Page.enable", json::object());
  ASSERT_FALSE(out);
  EXPECT_THAT(out.error().display(), testing::AnyOf(StartsWith("websocket protocol: connection closed by peer"),
                                                   StartsWith("io: ")));
}

class RealBrowserTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::access(kHeadlessShell, X_OK) != 0) GTEST_SKIP() << "needs " << kHeadlessShell;
  }
};

TEST_F(RealBrowserTest, LaunchCallAndTeardownOfTheWrappedHeadlessShell) {
  LaunchOptions o;
  o.executable = kHeadlessShell;
  pid_t pid = 0;
  {
    auto browser = Browser::launch(o);
    ASSERT_TRUE(browser) << browser.error().display();
    pid = browser->pid();
    auto version = browser->call("Browser.getVersion", json::object());
    ASSERT_TRUE(version) << version.error().display();
    EXPECT_THAT((*version)["product"].get<std::string>(), HasSubstr("Chrome"));
    // The wrapper script and the real browser's processes share the group.
    EXPECT_GT(group_members(pid).size(), 1u);
  }
  EXPECT_TRUE(group_gone(pid));
}

}  // namespace
}  // namespace kestrelite
