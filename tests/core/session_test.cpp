// Sessions against the scripted fake browser: the commands around each
// capture, faults contained to the capture they hit, and the restart bound.
#include "session.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fake_browser.hpp"
#include "temp_dir.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::StartsWith;

std::size_t entries(const char* dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

// Child processes of this process, over all its threads.
std::string children() {
  std::string all;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "children");
    all += std::string(std::istreambuf_iterator<char>(in), {});
  }
  return all;
}

Device phone() {
  Device d;
  d.id = "phone";
  d.label = "Phone";
  d.output_width = 1080;
  d.output_height = 1920;
  d.scale = 3;
  d.mobile = true;
  d.platform = Platform::AndroidPhone;
  d.requirement = Requirement::Optional;
  return d;
}

class SessionTest : public testing::Test {
 protected:
  SessionOptions fake(json script, std::size_t captures_per_browser = kCapturesPerBrowser) {
    script["log"] = (tmp_.path() / "log.jsonl").string();
    SessionOptions o;
    o.executable = make_fake_browser(tmp_.path(), script, "fake" + std::to_string(serial_++));
    o.timeout = 2s;
    o.captures_per_browser = captures_per_browser;
    return o;
  }
  std::string once() const { return (tmp_.path() / "once").string(); }

  Result<WrittenCapture> capture(Session& session, std::optional<std::string>* teardown = nullptr) {
    DeviceTimings timings;
    std::optional<std::string> note;
    CaptureRequest request{url_, device_, determinism_, stability_};
    auto out = session.capture(request, tmp_.path() / "shot.png", timings, note);
    if (teardown) *teardown = std::move(note);
    return out;
  }

  std::vector<json> log() {
    std::ifstream in(tmp_.path() / "log.jsonl");
    std::vector<json> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
  }

  TempDir tmp_;
  int serial_ = 0;
  const std::string url_ = "http://127.0.0.1:9/page.html";
  const Device device_ = phone();
  const Determinism determinism_;
  const StabilityOptions stability_;
};

TEST_F(SessionTest, EachCaptureRunsInAContextOfItsOwnOnOneBrowser) {
  Session session(fake(json::object()));
  for (int i = 0; i < 2; ++i) {
    auto shot = capture(session);
    ASSERT_TRUE(shot) << shot.error().display();
    EXPECT_TRUE(shot->capture.exact);
    EXPECT_EQ(std::filesystem::file_size(tmp_.path() / "shot.png"), shot->capture.bytes);
  }
  EXPECT_EQ(session.launches(), 1u);

  // The page commands of a run's capture, wrapped in the context's
  // creation and disposal; each connection numbers its requests from 1.
  std::vector<json> sent = log();
  const std::size_t per_capture = sent.size() / 2;
  ASSERT_EQ(sent.size(), 2 * per_capture);
  for (std::size_t c = 0; c < 2; ++c) {
    const json* first = &sent[c * per_capture];
    const json& made = first[0];
    const json& target = first[1];
    const json& disposed = first[per_capture - 1];
    EXPECT_EQ(made["method"], "Target.createBrowserContext");
    EXPECT_EQ(made["id"], 3 * c + 1);
    EXPECT_EQ(target["method"], "Target.createTarget");
    EXPECT_EQ(target["params"]["url"], "about:blank");
    EXPECT_EQ(target["id"], 3 * c + 2);
    EXPECT_EQ(disposed["method"], "Target.disposeBrowserContext");
    EXPECT_EQ(disposed["id"], 3 * c + 3);
    EXPECT_EQ(disposed["params"]["browserContextId"], target["params"]["browserContextId"]);
    std::vector<std::string> page;
    for (std::size_t i = 2; i + 1 < per_capture; ++i) {
      EXPECT_EQ(first[i]["id"], i - 1);
      page.push_back(first[i]["method"]);
    }
    EXPECT_EQ(page.front(), "Page.enable");
    EXPECT_EQ(page.back(), "Page.captureScreenshot");
  }
  EXPECT_NE(sent[1]["params"]["browserContextId"], sent[per_capture + 1]["params"]["browserContextId"]);
}

struct FaultCase {
  const char* name;
  json script;         // followed by the first browser only, unless "once" is dropped
  const char* error;   // start of the first capture's error; nullptr: it succeeds
  std::size_t launches;  // after the second capture
};

class SessionFaultTest : public SessionTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(SessionFaultTest, TheNextCaptureIsUnaffected) {
  const FaultCase& c = GetParam();
  const std::size_t descriptors = entries("/proc/self/fd");
  const std::size_t threads = entries("/proc/self/task");
  json script = c.script;
  if (c.launches > 1) script["once"] = once();
  {
    Session session(fake(script));
    auto first = capture(session);
    if (c.error) {
      ASSERT_FALSE(first) << c.name;
      EXPECT_THAT(first.error().display(), StartsWith(c.error));
    } else {
      ASSERT_TRUE(first) << first.error().display();
    }
    auto second = capture(session);
    ASSERT_TRUE(second) << second.error().display();
    EXPECT_TRUE(second->capture.exact);
    EXPECT_EQ(session.launches(), c.launches);
  }
  EXPECT_EQ(children(), "");
  EXPECT_EQ(entries("/proc/self/fd"), descriptors);
  EXPECT_EQ(entries("/proc/self/task"), threads);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SessionFaultTest,
    testing::Values(
        FaultCase{"killed_during_screenshot", {{"faults", {{"Page.captureScreenshot#1", "sigkill"}}}},
                  "websocket protocol: connection closed by peer", 2},
        FaultCase{"exits_during_navigation", {{"faults", {{"Page.navigate#1", "exit"}}}},
                  "websocket protocol: connection closed by peer", 2},
        FaultCase{"silent_page", {{"faults", {{"Runtime.evaluate#1", "silent"}}}}, "websocket protocol: ", 2},
        FaultCase{"silent_browser_target", {{"faults", {{"Target.createTarget#1", "silent"}}}},
                  "websocket protocol: ", 2},
        FaultCase{"garbage_frame", {{"faults", {{"Emulation.setDeviceMetricsOverride#1", "garbage"}}}},
                  "websocket protocol: ", 2},
        FaultCase{"not_json", {{"before_reply", {{"Page.enable#1", {"{not json"}}}}}, "json: ", 2},
        FaultCase{"context_refused",
                  {{"replies", {{"Target.createBrowserContext#1", {{"error", {{"message", "no contexts"}}}}}}}},
                  "cdp Target.createBrowserContext: no contexts", 2},
        FaultCase{"dispose_refused",
                  {{"replies", {{"Target.disposeBrowserContext#1", {{"error", {{"message", "busy"}}}}}}}}, nullptr, 2},
        // Failures of the page alone keep the browser.
        FaultCase{"navigation_error",
                  {{"replies", {{"Page.navigate#1", {{"result", {{"errorText", "net::ERR_CONNECTION_REFUSED"}}}}}}}},
                  "browser: page did not load: net::ERR_CONNECTION_REFUSED", 1},
        FaultCase{"screenshot_without_data",
                  {{"replies", {{"Page.captureScreenshot#1", {{"result", json::object()}}}}}},
                  "unexpected response shape: captureScreenshot returned no data", 1}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(SessionTest, TheBrowserIsRestartedAfterTheBoundOfCaptures) {
  Session session(fake(json::object(), 2));
  for (int i = 0; i < 5; ++i) {
    auto shot = capture(session);
    ASSERT_TRUE(shot) << shot.error().display();
  }
  EXPECT_EQ(session.launches(), 3u);
  // The last capture of each browser ends it instead of disposing its context.
  std::size_t disposals = 0;
  for (const json& m : log()) disposals += m["method"] == "Target.disposeBrowserContext";
  EXPECT_EQ(disposals, 3u);
}

TEST_F(SessionTest, ABrowserThatCannotStartFailsEachCaptureAndLeavesNothing) {
  Session session(fake({{"startup", "exit_at_once"}}));
  for (int i = 0; i < 2; ++i) {
    auto shot = capture(session);
    ASSERT_FALSE(shot);
    EXPECT_EQ(shot.error().display(), "browser: browser did not report a DevTools port");
  }
  EXPECT_EQ(session.launches(), 2u);
  EXPECT_EQ(children(), "");
}

}  // namespace
}  // namespace kestrelite
