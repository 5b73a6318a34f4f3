// The page scripts at work in the real headless shell.
#include <gtest/gtest.h>
#include <unistd.h>

#include "cdp.hpp"
#include "determinism.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;

constexpr const char* kHeadlessShell = "/usr/bin/chromium-headless-shell";
constexpr double kFrame = 1000.0 / 60;
constexpr std::int64_t kEpoch = 1750000000000;  // the default start of the page clock

json must(Result<json> r) {
  if (!r) throw std::runtime_error(r.error().display());
  return std::move(*r);
}

json evaluate(Browser& b, const std::string& expression) {
  json reply = must(b.call("Runtime.evaluate",
                           {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}}));
  if (reply.contains("exceptionDetails")) throw std::runtime_error(reply.dump());
  return reply["result"]["value"];
}

// Loads a fresh document and waits until it has loaded.
void fresh_document(Browser& b) {
  must(b.call("Page.navigate", {{"url", "data:text/html,<p>fresh</p>"}}));
  evaluate(b, "new Promise((r) => document.readyState === 'complete' ? r(1) : addEventListener('load', () => r(1)))");
}

// A browser whose every new document runs the determinism script, on a fresh document.
Browser start(const Determinism& d) {
  LaunchOptions o;
  o.executable = kHeadlessShell;
  auto browser = Browser::launch(o);
  if (!browser) throw std::runtime_error(browser.error().display());
  must(browser->call("Page.enable", json::object()));
  must(browser->call("Page.addScriptToEvaluateOnNewDocument", {{"source", determinism_script(d)}}));
  fresh_document(*browser);
  return std::move(*browser);
}

// A promise of `value`'s result after `ms` on the real clock, which the page clock does not hold back.
std::string after_real_ms(int ms, const std::string& value) {
  return "new Promise((r) => window[Symbol.for('kestrelite.clock')].setTimeout(() => r(" + value + "), " +
         std::to_string(ms) + "))";
}

class PageScriptsTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::access(kHeadlessShell, X_OK) != 0) GTEST_SKIP() << "needs " << kHeadlessShell;
  }
};

TEST_F(PageScriptsTest, SeededRandomAndTheVirtualClock) {
  Browser b = start(Determinism{});
  // Every document draws the same numbers again.
  const std::string draws = "[Math.random(), Math.random(), Array.from(crypto.getRandomValues(new Uint8Array(4)))]";
  const json first = evaluate(b, draws);
  EXPECT_NE(first[0], first[1]);
  fresh_document(b);
  EXPECT_EQ(evaluate(b, draws), first);
  EXPECT_EQ(evaluate(b, "[Date.now(), new Date().getTime(), new Date(0).getTime(), typeof Date(), Date.name, "
                        "new Date() instanceof Date, Date.UTC(2000, 0, 1)]"),
            (json{kEpoch, kEpoch, 0, "string", "Date", true, 946684800000}));
  EXPECT_EQ(evaluate(b, "new Promise((r) => setTimeout(() => r(Date.now()), 50))"), kEpoch + 50);
  // The callbacks of one frame share its time; asking for a frame does not move the clock.
  fresh_document(b);
  EXPECT_EQ(evaluate(b, "(() => { const before = performance.now();"
                        "  requestAnimationFrame(() => {}); requestAnimationFrame(() => {});"
                        "  return new Promise((r) => requestAnimationFrame((t) => r([before, t, performance.now()])));"
                        "})()"),
            (json{0, kFrame, kFrame}));
  EXPECT_EQ(evaluate(b, "(() => { requestAnimationFrame(() => {}); return performance.now(); })()"), kFrame);
}

TEST_F(PageScriptsTest, TimersAndFramesRunInVirtualTimeOrderUpToTheBudget) {
  Browser b = start(Determinism{.budget_ms = 1000});
  // A frame at 16.67 ms comes between the timers at 10 and 20 ms; an
  // interval of 400 ms runs at 400 and 800 ms and then meets the budget.
  EXPECT_EQ(evaluate(b, "new Promise((r) => { const seen = [];"
                        "  const note = (what) => seen.push([what, performance.now(), Date.now() - 1750000000000]);"
                        "  setTimeout(() => note('b'), 20); setTimeout(note, 10, 'a'); setTimeout(() => note('c'), 20);"
                        "  requestAnimationFrame(() => note('frame'));"
                        "  setInterval(() => note('tick'), 400);"
                        "  setTimeout(() => r(seen), 1500); setTimeout(() => r(seen.concat([['stopped']])), 990); })"),
            (json{{"a", 10, 10}, {"frame", kFrame, 16}, {"b", 20, 20}, {"c", 20, 20}, {"tick", 400, 400},
                  {"tick", 800, 800}, {"stopped"}}));
}

TEST_F(PageScriptsTest, AReadinessPromiseHoldsTheClockUntilItSettles) {
  Browser b = start(Determinism{});
  evaluate(b, "window.kestreliteReady = new Promise((r) => { window.release = r; });"
              "setTimeout(() => { document.title = 'ran'; }, 10); 1");
  EXPECT_EQ(evaluate(b, after_real_ms(200, "[document.title, window[Symbol.for('kestrelite.clock')].busy()]")),
            (json{"", true}));
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{.timeout_ms = 300})), "timeout");
  evaluate(b, "release(); 1");
  EXPECT_EQ(evaluate(b, after_real_ms(100, "document.title")), "");
}

TEST_F(PageScriptsTest, StabilityScriptSettlesAQuietPageAndGivesUpOnABusyOne) {
  Browser b = start(Determinism{});
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{})), "quiet");
  EXPECT_EQ(evaluate(b, stability_script({.quiet_ticks = 0, .wait_fonts = false, .wait_images = false})), "quiet");
  // Messages are no timers: this loop changes the document without end.
  evaluate(b, "(() => { const c = new MessageChannel();"
              " c.port1.onmessage = () => { document.body.dataset.n = Math.random(); c.port2.postMessage(0); };"
              " c.port2.postMessage(0); return 1; })()");
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{.timeout_ms = 300})), "timeout");
}

TEST_F(PageScriptsTest, EndlessLoopsStopAtTheBudgetsAndNothingRunsOnceSettled) {
  // Frames stop after the thirtieth, at 500 ms; the interval goes on to the 2 s budget.
  Browser b = start(Determinism{.budget_ms = 2000, .frame_budget = 30});
  evaluate(b, "(() => { const tick = (t) => { document.body.dataset.t = t; requestAnimationFrame(tick); };"
              " requestAnimationFrame(tick); setInterval(() => { document.title = String(performance.now()); }, 300);"
              " return 1; })()");
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{})), "quiet");
  const json state = evaluate(b, "[Number(document.body.dataset.t), document.title, performance.now()]");
  EXPECT_NEAR(state[0].get<double>(), 30 * kFrame, 1e-9);
  EXPECT_EQ(state[1], "1800");
  EXPECT_EQ(state[2], 1800);
  evaluate(b, "setTimeout(() => { document.title = 'late'; }, 0);"
              " requestAnimationFrame(() => { document.title = 'late'; }); 1");
  EXPECT_EQ(evaluate(b, after_real_ms(100, "document.title")), "1800");
}

}  // namespace
}  // namespace kestrelite
