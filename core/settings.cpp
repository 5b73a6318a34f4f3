#include "kestrelite/settings.hpp"

#include <nlohmann/json.hpp>

#include "json_text.hpp"
#include "steps.hpp"

namespace kestrelite {

namespace {

using json = nlohmann::json;

constexpr std::string_view kStepNames[] = {"click",    "hover",   "type", "press",  "scroll_to",
                                           "scroll_by", "wait_for", "hide", "remove", "javascript"};

Error bad(std::string_view member, std::string_view what) {
  return Error::shape("setting '" + std::string(member) + "' " + std::string(what));
}

Result<std::string> text_member(const json& value, std::string_view member) {
  if (!value.is_string() || value.get_ref<const std::string&>().empty())
    return fail(bad(member, "must be a non-empty string"));
  return value.get<std::string>();
}

Result<bool> flag_member(const json& value, std::string_view member) {
  if (!value.is_boolean()) return fail(bad(member, "must be true or false"));
  return value.get<bool>();
}

Result<std::string> one_of(const json& value, std::string_view member, std::initializer_list<std::string_view> allowed) {
  for (std::string_view choice : allowed)
    if (value.is_string() && value.get_ref<const std::string&>() == choice) return std::string(choice);
  std::string names;
  for (std::string_view choice : allowed) names += (names.empty() ? "\"" : ", \"") + std::string(choice) + "\"";
  return fail(bad(member, "must be one of " + names));
}

Result<std::vector<std::string>> selectors_member(const json& value, std::string_view member) {
  if (!value.is_array() || value.empty()) return fail(bad(member, "must be a non-empty list of CSS selectors"));
  std::vector<std::string> out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    auto one = text_member(value[i], std::string(member) + "[" + std::to_string(i + 1) + "]");
    if (!one) return fail(std::move(one.error()));
    out.push_back(std::move(*one));
  }
  return out;
}

Result<Step> step_of(const json& value, const std::string& where) {
  if (!value.is_object() || value.size() != 1)
    return fail(bad(where, "must be a table of one step: click, hover, type, press, scroll_to, scroll_by, "
                           "wait_for, hide, remove or javascript"));
  // The key and value are read through an iterator that outlives them: a
  // dereferenced items() proxy is a temporary.
  const auto only = value.begin();
  const std::string name = only.key();
  const json& arg = only.value();
  const std::string at = where + "." + name;
  Step step;
  std::size_t index = 0;
  while (index < std::size(kStepNames) && kStepNames[index] != name) ++index;
  if (index == std::size(kStepNames)) return fail(bad(at, "is no step"));
  step.kind = static_cast<Step::Kind>(index);
  switch (step.kind) {
    case Step::Kind::Hide:
    case Step::Kind::Remove: {
      auto selectors = selectors_member(arg, at);
      if (!selectors) return fail(std::move(selectors.error()));
      step.targets = std::move(*selectors);
      return step;
    }
    case Step::Kind::ScrollBy:
      if (!arg.is_number()) return fail(bad(at, "must be a number of CSS pixels"));
      step.pixels = arg.get<double>();
      return step;
    case Step::Kind::Type: {
      if (!arg.is_object() || !arg.contains("selector") || !arg.contains("text") || arg.size() != 2)
        return fail(bad(at, "must be a table of selector and text"));
      auto target = text_member(arg["selector"], at + ".selector");
      if (!target) return fail(std::move(target.error()));
      if (!arg["text"].is_string()) return fail(bad(at + ".text", "must be a string"));
      step.target = std::move(*target);
      step.text = arg["text"].get<std::string>();
      return step;
    }
    case Step::Kind::Press: {
      auto key = text_member(arg, at);
      if (!key) return fail(std::move(key.error()));
      if (!known_key(*key)) return fail(bad(at, "names no key (" + key_names() + ")"));
      step.text = std::move(*key);
      return step;
    }
    case Step::Kind::Javascript: {
      auto code = text_member(arg, at);
      if (!code) return fail(std::move(code.error()));
      step.text = std::move(*code);
      return step;
    }
    default: {
      auto target = text_member(arg, at);
      if (!target) return fail(std::move(target.error()));
      step.target = std::move(*target);
      return step;
    }
  }
}

}  // namespace

std::string_view step_name(Step::Kind kind) { return kStepNames[static_cast<std::size_t>(kind)]; }

Result<CaptureSettings> parse_capture_settings(std::string_view text, const CaptureSettings& defaults) {
  json object = json::parse(text, nullptr, false);
  if (!object.is_object()) return fail(Error::shape("capture settings must be a JSON object"));
  CaptureSettings settings = defaults;
  for (const auto& [member, value] : object.items()) {
    Result<void> done;
    auto keep = [&](auto parsed, auto& field) {
      if (!parsed) done = fail(std::move(parsed.error()));
      else field = std::move(*parsed);
    };
    if (member == "locale") {
      keep(text_member(value, member), settings.determinism.locale);
    } else if (member == "timezone") {
      keep(text_member(value, member), settings.determinism.timezone);
    } else if (member == "screen") {
      keep(text_member(value, member), settings.screen);
    } else if (member == "settle_timeout_ms") {
      if (!value.is_number_unsigned() || value.get<std::uint64_t>() == 0 || value.get<std::uint64_t>() > 600000)
        return fail(bad(member, "must be a whole number of milliseconds from 1 to 600000"));
      settings.stability.timeout_ms = value.get<std::uint32_t>();
    } else if (member == "seed") {
      if (!value.is_number_unsigned()) return fail(bad(member, "must be a whole number from 0 to 2**64-1"));
      settings.determinism.seed = value.get<std::uint64_t>();
    } else if (member == "check_glyphs") {
      keep(flag_member(value, member), settings.check_glyphs);
    } else if (member == "fast_png") {
      keep(flag_member(value, member), settings.fast_png);
    } else if (member == "reduced_motion") {
      keep(flag_member(value, member), settings.reduced_motion);
    } else if (member == "forced_colors") {
      keep(flag_member(value, member), settings.forced_colors);
    } else if (member == "appearance") {
      keep(one_of(value, member, {"light", "dark"}), settings.appearance);
    } else if (member == "contrast") {
      keep(one_of(value, member, {"more", "less"}), settings.contrast);
    } else if (member == "mask") {
      keep(selectors_member(value, member), settings.masks);
    } else if (member == "steps") {
      if (!value.is_array()) return fail(bad(member, "must be a list of steps"));
      settings.steps.clear();
      for (std::size_t i = 0; i < value.size(); ++i) {
        auto step = step_of(value[i], "steps[" + std::to_string(i + 1) + "]");
        if (!step) return fail(std::move(step.error()));
        settings.steps.push_back(std::move(*step));
      }
    } else {
      return fail(bad(member, "is unknown"));
    }
    if (!done) return fail(std::move(done.error()));
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
