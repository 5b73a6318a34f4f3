// The glyph check's record from its answers, and its script as sent.
#include "glyphs.hpp"

#include <gtest/gtest.h>

namespace kestrelite {
namespace {

using json = nlohmann::json;

json script_answer(json value) { return {{"result", {{"type", "object"}, {"value", std::move(value)}}}}; }

json fonts_answer(std::vector<std::pair<std::string, int>> fonts) {
  json list = json::array();
  for (auto& [family, glyphs] : fonts) list.push_back({{"familyName", family}, {"glyphCount", glyphs}});
  return {{"fonts", list}};
}

TEST(GlyphsTest, FontsRankedByGlyphsAndMissingCodePointsBounded) {
  json missing = json::array();
  for (int i = 0; i < 40; ++i) missing.push_back("U+E0" + std::to_string(10 + i));
  auto glyphs = glyphs_from_answers(script_answer({{"missing", missing}, {"count", 41}}),
                                    {fonts_answer({{"Noto Sans", 3}, {"Noto Sans CJK JP", 9}}),
                                     fonts_answer({{"Noto Sans", 4}, {"", 50}}), json::object()});
  ASSERT_TRUE(glyphs) << glyphs.error().display();
  EXPECT_EQ(glyphs->fonts, (std::vector<std::string>{"Noto Sans CJK JP", "Noto Sans"}));
  ASSERT_EQ(glyphs->missing.size(), kMissingGlyphsListed);
  EXPECT_EQ(glyphs->missing.front(), "U+E010");
  EXPECT_EQ(glyphs->missing_count, 41u);
}

TEST(GlyphsTest, AnAnswerWithoutTheCheckIsRefused) {
  for (const json& answer : {json::object(), script_answer("quiet"), script_answer({{"missing", json::array()}})}) {
    auto glyphs = glyphs_from_answers(answer, {});
    ASSERT_FALSE(glyphs);
    EXPECT_EQ(glyphs.error().display(), "unexpected response shape: the glyph check returned no result");
  }
}

TEST(GlyphsTest, TheScriptIsSentWithItsLimitsFilledIn) {
  const std::string script = glyph_script();
  EXPECT_EQ(script.find("__"), std::string::npos);
  EXPECT_NE(script.find("slice(0, 32)"), std::string::npos);
  EXPECT_EQ(script.rfind("//", 0), std::string::npos) << "the header comment is not sent";
}

}  // namespace
}  // namespace kestrelite
