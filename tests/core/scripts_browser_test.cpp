// The page scripts at work in the real headless shell.
#include <gtest/gtest.h>
#include <unistd.h>

#include "cdp.hpp"
#include "determinism.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;

constexpr const char* kHeadlessShell = "/usr/bin/chromium-headless-shell";

// A browser whose every new document runs the determinism script.
class PageScriptsTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::access(kHeadlessShell, X_OK) != 0) GTEST_SKIP() << "needs " << kHeadlessShell;
  }

  Browser start(const Determinism& d) {
    LaunchOptions o;
    o.executable = kHeadlessShell;
    auto browser = Browser::launch(o);
    if (!browser) throw std::runtime_error(browser.error().display());
    must(browser->call("Page.enable", json::object()));
    must(browser->call("Page.addScriptToEvaluateOnNewDocument", {{"source", determinism_script(d)}}));
    return std::move(*browser);
  }

  // Loads a fresh document and waits until it has loaded.
  void fresh_document(Browser& b) {
    must(b.call("Page.navigate", {{"url", "data:text/html,<p>fresh</p>"}}));
    evaluate(b, "new Promise((r) => document.readyState === 'complete' ? r(1) : addEventListener('load', () => r(1)))");
  }

  json evaluate(Browser& b, const std::string& expression) {
    json reply = must(b.call("Runtime.evaluate", {{"expression", expression}, {"awaitPromise", true},
                                                   {"returnByValue", true}}));
    if (reply.contains("exceptionDetails")) throw std::runtime_error(reply.dump());
    return reply["result"]["value"];
  }

  static json must(Result<json> r) {
    if (!r) throw std::runtime_error(r.error().display());
    return std::move(*r);
  }
};

TEST_F(PageScriptsTest, SeededRandomFrozenClockAndVirtualFrames) {
  Browser b = start(Determinism{});
  fresh_document(b);
  EXPECT_EQ(evaluate(b, "[Math.random(), Math.random(), Math.random()]"),
            (json{0.6011037519201636, 0.44829055899754167, 0.8524657934904099}));

  fresh_document(b);
  EXPECT_EQ(evaluate(b, "Array.from(crypto.getRandomValues(new Uint8Array(4)))"), (json{153, 114, 218, 171}));

  fresh_document(b);
  EXPECT_EQ(evaluate(b, "[Date.now(), new Date().getTime(), new Date(0).getTime(), typeof Date(), Date.name, "
                        "new Date() instanceof Date, Date.UTC(2000, 0, 1)]"),
            (json{1750000000000, 1750000000000, 0, "string", "Date", true, 946684800000}));
  EXPECT_EQ(evaluate(b, "new Promise((r) => setTimeout(() => r(Date.now()), 50))"), 1750000000000);

  fresh_document(b);
  EXPECT_EQ(evaluate(b, "(() => { const before = performance.now();"
                        "  requestAnimationFrame(() => {}); requestAnimationFrame(() => {});"
                        "  return new Promise((r) => requestAnimationFrame((t) => r([before, t, performance.now()])));"
                        "})()"),
            (json{0, 50, 50}));
  EXPECT_EQ(evaluate(b, "(() => { requestAnimationFrame(() => {}); return performance.now(); })()"),
            50 + 1000.0 / 60);
}

TEST_F(PageScriptsTest, SeedZero) {
  Browser b = start(Determinism{.seed = 0});
  fresh_document(b);
  EXPECT_EQ(evaluate(b, "Math.random()"), 0.26642920868471265);
}

TEST_F(PageScriptsTest, StabilityScriptSettlesAQuietPage) {
  Browser b = start(Determinism{});
  fresh_document(b);
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{})), "quiet");
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{.quiet_ticks = 0, .timeout_ms = 1000,
                                                           .wait_fonts = false, .wait_images = false})),
            "quiet");
}

TEST_F(PageScriptsTest, StabilityScriptGivesUpOnAPageThatNeverSettles) {
  Browser b = start(Determinism{});
  fresh_document(b);
  evaluate(b, "(() => { const tick = () => { document.body.dataset.n = Math.random(); requestAnimationFrame(tick); };"
              " tick(); return 1; })()");
  EXPECT_EQ(evaluate(b, stability_script(StabilityOptions{.timeout_ms = 300})), "timeout");
}

}  // namespace
}  // namespace kestrelite
