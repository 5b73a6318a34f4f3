#include "kestrelite/settings.hpp"

#include <nlohmann/json.hpp>

#include "json_text.hpp"

namespace kestrelite {

namespace {

using json = nlohmann::json;

Error bad(std::string_view member, std::string_view what) {
  return Error::shape("setting '" + std::string(member) + "' " + std::string(what));
}

Result<std::string> text_member(const json& value, std::string_view member) {
  if (!value.is_string() || value.get_ref<const std::string&>().empty())
    return fail(bad(member, "must be a non-empty string"));
  return value.get<std::string>();
}

}  // namespace

Result<CaptureSettings> parse_capture_settings(std::string_view text, const CaptureSettings& defaults) {
  json object = json::parse(text, nullptr, false);
  if (!object.is_object()) return fail(Error::shape("capture settings must be a JSON object"));
  CaptureSettings settings = defaults;
  for (const auto& [member, value] : object.items()) {
    if (member == "locale" || member == "timezone") {
      auto given = text_member(value, member);
      if (!given) return fail(std::move(given.error()));
      (member == "locale" ? settings.determinism.locale : settings.determinism.timezone) = std::move(*given);
    } else if (member == "check_glyphs") {
      if (!value.is_boolean()) return fail(bad(member, "must be true or false"));
      settings.check_glyphs = value.get<bool>();
    } else if (member == "seed") {
      if (!value.is_number_unsigned()) return fail(bad(member, "must be a whole number from 0 to 2**64-1"));
      settings.determinism.seed = value.get<std::uint64_t>();
    } else {
      return fail(bad(member, "is unknown"));
    }
  }
  return settings;
}

std::string defaults_json() {
  const CaptureSettings d;
  std::string out;
  {
    json_text::ObjectWriter o(out);
    json_text::append_uint(o.key("seed"), d.determinism.seed);
    json_text::append_string(o.key("locale"), d.determinism.locale);
    json_text::append_string(o.key("timezone"), d.determinism.timezone);
    json_text::append_uint(o.key("settle_timeout_ms"), d.stability.timeout_ms);
  }
  return out;
}

}  // namespace kestrelite
