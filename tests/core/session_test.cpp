// Sessions against the scripted fake browser: the commands around each
// capture, faults contained to the capture they hit, and the restart bound.
#include "kestrelite/session.hpp"

#include <gtest/gtest.h>

#include "test_files.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

class SessionTest : public testing::Test {
 protected:
  SessionOptions fake(json script, std::size_t captures_per_browser = kCapturesPerBrowser) {
    script["log"] = (tmp_.path() / "log.jsonl").string();
    return {make_fake_browser(tmp_.path(), script, "fake"), 2s, captures_per_browser};
  }

  // The capture's error text, or "exact".
  std::string capture(Session& session) {
    const Device phone{.id = "phone", .label = "Phone", .output_width = 1080, .output_height = 1920, .scale = 3,
                       .mobile = true, .source = "", .apple_display_type = "", .play_image_type = ""};
    DeviceResult out = session.capture("http://127.0.0.1:9/", phone, {}, tmp_.path() / "shot.png");
    if (out.error) return *out.error;
    return out.capture->exact && std::filesystem::file_size(*out.path) == out.capture->bytes ? "exact" : "off";
  }

  std::vector<json> log() const {
    std::vector<json> sent;
    for (const std::string& line : read_lines(tmp_.path() / "log.jsonl")) sent.push_back(json::parse(line));
    return sent;
  }

  TempDir tmp_;
};

TEST_F(SessionTest, EachCaptureRunsInAContextOfItsOwnOnOneBrowser) {
  Session session(fake(json::object()));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(capture(session), "exact");
  EXPECT_EQ(session.launches(), 1u);
  // A page in a context of its own for each capture, the next made while
  // the one before runs (so a third waits for a capture that does not
  // come), each context disposed after its capture; each page's connection
  // carries its capture's commands, from Page.enable to the screenshot.
  std::vector<json> created, disposed, pages;
  for (json& m : log()) {
    if (m["method"] == "Target.createTarget") created.push_back(m["params"]["browserContextId"]);
    if (m["method"] == "Target.disposeBrowserContext") disposed.push_back(m["params"]["browserContextId"]);
    if (!m["method"].get<std::string>().starts_with("Target.")) pages.push_back(m);
  }
  ASSERT_EQ(created.size(), 3u);
  EXPECT_NE(created[0], created[1]);
  EXPECT_EQ(disposed, (std::vector<json>{created[0], created[1]}));
  ASSERT_EQ(pages.size() % 2, 0u);
  const std::size_t n = pages.size() / 2;
  for (std::size_t c = 0; c < 2; ++c) {
    EXPECT_EQ(pages[c * n]["method"], "Page.enable");
    EXPECT_EQ(pages[c * n + n - 1]["method"], "Page.captureScreenshot");
  }
}

struct FaultCase {
  const char* name;
  json script;           // followed by the first browser only: "#1" keys where it is kept
  std::string error;     // the first capture's error, up to its length
  std::size_t launches;  // after the second capture
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class SessionFaultTest : public SessionTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(SessionFaultTest, TheNextCaptureIsUnaffectedAndNothingLeaks) {
  const FaultCase& c = GetParam();
  const std::string before = process_state();
  json script = c.script;
  script["once"] = (tmp_.path() / "once").string();
  {
    Session session(fake(script));
    EXPECT_EQ(capture(session).substr(0, c.error.size()), c.error);
    EXPECT_EQ(capture(session), "exact");
    EXPECT_EQ(session.launches(), c.launches);
  }
  EXPECT_EQ(process_state(), before);
}

json reply(const char* key, json members) { return {{"replies", {{key, std::move(members)}}}}; }
json fault(const char* key, const char* what) { return {{"faults", {{key, what}}}}; }

INSTANTIATE_TEST_SUITE_P(
    Faults, SessionFaultTest,
    testing::Values(
        // A browser that does not start, a broken connection or a failed Target command ends the browser.
        FaultCase{"cannot_start", {{"startup", "exit"}}, "browser: browser did not report a DevTools port", 2},
        FaultCase{"exits", fault("Page.captureScreenshot", "exit"), "websocket protocol: connection closed by peer", 2},
        FaultCase{"silent_page", fault("Runtime.evaluate", "silent"), "websocket protocol: ", 2},
        FaultCase{"silent_browser_target", fault("Target.createTarget", "silent"), "websocket protocol: ", 2},
        FaultCase{"garbage", fault("Emulation.setDeviceMetricsOverride", "garbage"), "websocket protocol: ", 2},
        FaultCase{"not_json", {{"before_reply", {{"Page.enable", json::array({"{not json"})}}}}, "json: ", 2},
        FaultCase{"context_refused", reply("Target.createBrowserContext", {{"error", {{"message", "no contexts"}}}}),
                  "cdp Target.createBrowserContext: no contexts", 2},
        FaultCase{"dispose_refused", reply("Target.disposeBrowserContext", {{"error", {{"message", "busy"}}}}),
                  "exact", 2},
        // Failures of the page alone, and messages of other targets, keep it.
        FaultCase{"navigation_error",
                  reply("Page.navigate#1", {{"result", {{"errorText", "net::ERR_CONNECTION_REFUSED"}}}}),
                  "browser: page did not load: net::ERR_CONNECTION_REFUSED", 1},
        FaultCase{"screenshot_without_data", reply("Page.captureScreenshot#1", {{"result", json::object()}}),
                  "unexpected response shape: captureScreenshot returned no data", 1},
        FaultCase{"events_of_other_targets",
                  {{"before_reply",
                    {{"Target.createTarget", {{{"method", "Target.targetCreated"}, {"params", {{"targetId", "X"}}}}}},
                     {"Page.captureScreenshot", {{{"method", "Page.loadEventFired"}, {"sessionId", "X"}},
                                                 {{"id", 1}, {"sessionId", "X"}, {"result", json::object()}}}}}}},
                  "exact", 1}),
    testing::PrintToStringParamName());

TEST_F(SessionTest, TheBrowserIsRestartedAfterTheBoundOfCaptures) {
  // {bound, captures, launches, disposals}: the last capture of each
  // browser ends it instead of disposing its context; a bound of 0 acts as 1.
  const std::size_t cases[][4] = {{2, 5, 3, 3}, {1, 2, 2, 0}, {0, 2, 2, 0}};
  for (const auto& [bound, captures, launches, disposed] : cases) {
    std::filesystem::remove(tmp_.path() / "log.jsonl");
    Session session(fake(json::object(), bound));
    for (std::size_t i = 0; i < captures; ++i) EXPECT_EQ(capture(session), "exact");
    EXPECT_EQ(session.launches(), launches) << bound;
    std::size_t disposals = 0;
    for (const json& m : log()) disposals += m["method"] == "Target.disposeBrowserContext";
    EXPECT_EQ(disposals, disposed) << bound;
  }
}

}  // namespace
}  // namespace kestrelite
