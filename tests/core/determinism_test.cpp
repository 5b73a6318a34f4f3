#include "determinism.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestrelite {
namespace {

using testing::HasSubstr;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t nl = text.find('\n', start);
    out.push_back(text.substr(start, nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return out;
}

TEST(DeterminismTest, DefaultsAreTheStartInstantSixtyFramesASecondAndTheBudgets) {
  Determinism d;
  EXPECT_EQ(d.timezone, "UTC");
  EXPECT_EQ(d.locale, "en-US");
  EXPECT_EQ(d.seed, 42u);
  EXPECT_EQ(d.epoch_ms, 1750000000000);
  EXPECT_EQ(d.frame_ms, 16.666666666666668);
  EXPECT_EQ(d.budget_ms, 10000u);
  EXPECT_EQ(d.frame_budget, 300u);
}

TEST(DeterminismTest, DefaultScriptHasTheSeedEpochFrameAndBudgetLines) {
  std::vector<std::string> l = lines(determinism_script(Determinism{}));
  ASSERT_EQ(l.size(), 161u);
  EXPECT_EQ(l[0], "(() => {");
  EXPECT_EQ(l[1], "  let s = 42 >>> 0;");
  EXPECT_EQ(l[8], "  const T0 = 1750000000000;");
  EXPECT_EQ(l[9], "  const FRAME = 16.666666666666668;");
  EXPECT_EQ(l[10], "  const BUDGET = 10000;");
  EXPECT_EQ(l[11], "  const FRAMES = 300;");
  EXPECT_EQ(l[12], "");
  EXPECT_EQ(l[134], "  // crypto.getRandomValues is a second entropy source that would otherwise");
  EXPECT_EQ(l[160], "})();");
}

struct NumberCase {
  Determinism d;
  const char* seed_line;
  const char* epoch_line;
  const char* frame_line;
  const char* budget_line;
};

TEST(DeterminismTest, NumbersPrintInPlainDecimal) {
  const NumberCase cases[] = {
      {{.seed = 0, .epoch_ms = -1, .frame_ms = 16.0, .budget_ms = 0}, "  let s = 0 >>> 0;", "  const T0 = -1;",
       "  const FRAME = 16;", "  const BUDGET = 0;"},
      {{.seed = 18446744073709551615u, .epoch_ms = 0, .frame_ms = 0.1, .budget_ms = 4294967295u},
       "  let s = 18446744073709551615 >>> 0;", "  const T0 = 0;", "  const FRAME = 0.1;",
       "  const BUDGET = 4294967295;"},
      {{.seed = 7, .epoch_ms = 9, .frame_ms = 1e21}, "  let s = 7 >>> 0;", "  const T0 = 9;",
       "  const FRAME = 1000000000000000000000;", "  const BUDGET = 10000;"},
  };
  for (const NumberCase& c : cases) {
    std::vector<std::string> l = lines(determinism_script(c.d));
    EXPECT_EQ(l[1], c.seed_line);
    EXPECT_EQ(l[8], c.epoch_line);
    EXPECT_EQ(l[9], c.frame_line);
    EXPECT_EQ(l[10], c.budget_line);
  }
}

TEST(StabilityTest, InsertsTheSettingsEveryRunUses) {
  std::string script = stability_script(StabilityOptions{});
  EXPECT_THAT(script, HasSubstr("  const deadline = sleep(10000);\n"));
  EXPECT_THAT(script, HasSubstr("  if (true && document.fonts && document.fonts.ready) {\n"));
  EXPECT_THAT(script, HasSubstr("  const images = true;\n"));
  EXPECT_THAT(script, HasSubstr("      if (quiet >= 2) {\n"));
  EXPECT_TRUE(script.starts_with("new Promise((resolve) => {\n"));
  EXPECT_TRUE(script.ends_with("\n})"));
}

TEST(StabilityTest, ZeroQuietTicksActsAsOne) {
  StabilityOptions o{.quiet_ticks = 0, .timeout_ms = 5, .wait_fonts = false, .wait_images = false};
  std::string script = stability_script(o);
  EXPECT_THAT(script, HasSubstr("      if (quiet >= 1) {"));
  EXPECT_THAT(script, HasSubstr("  if (false && document.fonts"));
  EXPECT_THAT(script, HasSubstr("  const images = false;\n"));
  EXPECT_THAT(script, HasSubstr("  const deadline = sleep(5);\n"));
}

TEST(StabilityTest, NoDeadlineReadsThePageClock) {
  EXPECT_THAT(stability_script(StabilityOptions{}), testing::Not(HasSubstr("Date.now()")));
}

}  // namespace
}  // namespace kestrelite
