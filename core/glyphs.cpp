#include "glyphs.hpp"

#include <algorithm>
#include <map>
#include <optional>

#include "determinism.hpp"

namespace kestrelite {

namespace {

using json = nlohmann::json;

// Elements whose fonts are asked for: enough to meet every script of a
// page's text, few enough to cost a few milliseconds.
constexpr std::size_t kSampleElements = 24;

// A whole number of at least 0, or nothing.
std::optional<std::uint64_t> count_of(const json& value) {
  if (!value.is_number_integer() || (!value.is_number_unsigned() && value.get<std::int64_t>() < 0))
    return std::nullopt;
  return value.get<std::uint64_t>();
}

// The member `key` of a DevTools result, or null.
const json& member(const json& object, std::string_view key) {
  static const json none;
  if (!object.is_object()) return none;
  auto it = object.find(key);
  return it == object.end() ? none : *it;
}

}  // namespace

std::string glyph_script() {
  return fill_placeholders(glyphs_template(), {{"__SAMPLE_ELEMENTS__", std::to_string(kSampleElements)},
                                               {"__MISSING_LIMIT__", std::to_string(kMissingGlyphsListed)}});
}

Result<Glyphs> glyphs_from_answers(const json& script, const std::vector<json>& fonts) {
  const json& value = member(member(script, "result"), "value");
  const json& missing = member(value, "missing");
  const json& count = member(value, "count");
  if (!missing.is_array() || !count_of(count)) return fail(Error::shape("the glyph check returned no result"));
  Glyphs glyphs;
  for (const json& code_point : missing)
    if (code_point.is_string() && glyphs.missing.size() < kMissingGlyphsListed)
      glyphs.missing.push_back(code_point.get<std::string>());
  glyphs.missing_count = *count_of(count);
  std::map<std::string, std::uint64_t> drawn;
  for (const json& answer : fonts) {
    const json& list = member(answer, "fonts");
    if (!list.is_array()) continue;
    for (const json& font : list) {
      const json& family = member(font, "familyName");
      const json& glyph_count = member(font, "glyphCount");
      if (family.is_string() && !family.get_ref<const std::string&>().empty())
        drawn[family.get<std::string>()] += count_of(glyph_count).value_or(0);
    }
  }
  std::vector<std::pair<std::string, std::uint64_t>> ranked(drawn.begin(), drawn.end());
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  for (auto& [family, glyph_count] : ranked) glyphs.fonts.push_back(std::move(family));
  return glyphs;
}

Result<Glyphs> check_glyphs(Connection& page) {
  auto tree = page.call("Page.getFrameTree", json::object());
  if (!tree) return fail(std::move(tree.error()));
  const json& frame = member(member(member(*tree, "frameTree"), "frame"), "id");
  if (!frame.is_string()) return fail(Error::shape("Page.getFrameTree returned no frame"));
  auto world = page.call("Page.createIsolatedWorld", {{"frameId", frame}, {"worldName", "kestrelite"}});
  if (!world) return fail(std::move(world.error()));
  const json& context = member(*world, "executionContextId");
  if (!context.is_number()) return fail(Error::shape("Page.createIsolatedWorld returned no context"));
  auto script = page.call("Runtime.evaluate", {{"expression", glyph_script()}, {"contextId", context},
                                              {"awaitPromise", true}, {"returnByValue", true}});
  if (!script) return fail(std::move(script.error()));
  if (const json& thrown = member(*script, "exceptionDetails"); !thrown.is_null())
    return fail(Error::shape("the glyph check failed: " + member(member(thrown, "exception"), "description").dump()));

  std::vector<json> fonts;
  for (const char* method : {"DOM.enable", "CSS.enable"})
    if (auto enabled = page.call(method, json::object()); !enabled) return fail(std::move(enabled.error()));
  auto document = page.call("DOM.getDocument", {{"depth", 0}});
  if (!document) return fail(std::move(document.error()));
  auto marked = page.call("DOM.querySelectorAll", {{"nodeId", member(member(*document, "root"), "nodeId")},
                                                   {"selector", "[data-kestrelite-glyphs]"}});
  if (!marked) return fail(std::move(marked.error()));
  for (const json& node : member(*marked, "nodeIds")) {
    auto used = page.call("CSS.getPlatformFontsForNode", {{"nodeId", node}});
    if (!used) return fail(std::move(used.error()));
    fonts.push_back(std::move(*used));
  }
  return glyphs_from_answers(*script, fonts);
}

}  // namespace kestrelite
