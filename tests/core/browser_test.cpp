#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "cdp.hpp"
#include "test_files.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::StartsWith;

// Waits up to five seconds for the process group `pgid` to have no
// process left, zombies included.
bool group_gone(pid_t pgid) {
  for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(100ms))
    if (::kill(-pgid, 0) != 0 && errno == ESRCH) return true;
  return false;
}

// The reply as compact JSON, or the error's display text.
std::string outcome(const Result<json>& r) { return r ? r->dump() : r.error().display(); }

class BrowserTest : public testing::Test {
 protected:
  LaunchOptions fake(const json& script, std::chrono::milliseconds timeout = 3s) {
    LaunchOptions o;
    o.executable = make_fake_browser(tmp_.path(), script, "fake" + std::to_string(serial_++));
    o.timeout = timeout;
    return o;
  }
  std::string log_path() const { return (tmp_.path() / "log.jsonl").string(); }

  TempDir tmp_;
  int serial_ = 0;
};

TEST_F(BrowserTest, FailedLaunchesGiveTheReasonAndLeaveNothingBehind) {
  const std::pair<json, std::string> cases[] = {
      {{{"startup", "no_port"}}, "browser: browser did not report a DevTools port"},
      {{{"startup", "exit"}}, "browser: browser did not report a DevTools port"},
      {{{"page_after_ms", 60000}}, "browser: could not attach: no page target yet"},
  };
  for (auto [script, error] : cases) {
    const std::string before = process_state();
    script["pid_file"] = (tmp_.path() / "pid").string();
    auto browser = Browser::launch(fake(script, 1500ms));
    EXPECT_EQ(browser ? "launched" : browser.error().display(), error);
    pid_t pid = 0;
    ASSERT_TRUE(std::ifstream(tmp_.path() / "pid") >> pid) << error;
    EXPECT_TRUE(group_gone(pid)) << script.dump();
    EXPECT_EQ(process_state(), before) << script.dump();
  }
}

TEST_F(BrowserTest, AProgramThatCannotStart) {
  LaunchOptions o;
  o.executable = tmp_.path() / "missing";
  auto browser = Browser::launch(o);
  EXPECT_EQ(browser ? "launched" : browser.error().display(),
            "browser: could not spawn " + o.executable.string() + ": No such file or directory");
}

TEST_F(BrowserTest, CallsSkipOtherMessagesAndMapReplies) {
  json noise = json::array({{{"method", "Some.event"}}, {{"id", 77}, {"result", {{"stray", 1}}}},
                            {{"id", -1}, {"error", {{"message", "x"}}}}, {{"id", 1.0}, {"result", json::object()}},
                            json::array({1, 2}), "null"});
  json replies = {{"Fail.me", {{"error", {{"code", 1}}}}},
                  {"Empty.reply", json::object()},
                  {"Echo.this", {{"result", {{"b", {1, 2}}, {"a", "x"}}}}}};
  // The page takes 400 ms to be listed, behind a service worker.
  auto browser = Browser::launch(fake({{"log", log_path()}, {"replies", replies}, {"page_after_ms", 400},
                                       {"before_reply", {{"*", noise}, {"Not.json", {"{not json"}}}}}));
  ASSERT_TRUE(browser) << browser.error().display();
  EXPECT_EQ(outcome(browser->call("Fail.me", json::object())), "cdp Fail.me: unknown");
  EXPECT_EQ(outcome(browser->call("No.such", json{{"z", 1}, {"a", {{"y", true}, {"b", nullptr}}}})),
            "cdp No.such: 'No.such' wasn't found");
  EXPECT_EQ(outcome(browser->call("Empty.reply", json::object())), "null");
  EXPECT_EQ(outcome(browser->call("Echo.this", json::array())), R"({"a":"x","b":[1,2]})");
  EXPECT_EQ(read_lines(log_path()), (std::vector<std::string>{R"({"id":1,"method":"Fail.me","params":{}})",
                                              R"({"id":2,"method":"No.such","params":{"a":{"b":null,"y":true},"z":1}})",
                                              R"({"id":3,"method":"Empty.reply","params":{}})",
                                              R"({"id":4,"method":"Echo.this","params":[]})"}));
  EXPECT_THAT(outcome(browser->call("Not.json", json::object())), StartsWith("json: syntax error"));
}

}  // namespace
}  // namespace kestrelite
