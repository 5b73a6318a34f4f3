#include "steps.hpp"

#include <array>
#include <cmath>

#include "determinism.hpp"

namespace kestrelite {

namespace {

using json = nlohmann::json;

struct Key {
  std::string_view name;
  std::string_view code;
  int key_code;
  std::string_view text;  // what the key types, if anything
};

// The keys a press step knows, as a US keyboard sends them.
constexpr std::array<Key, 14> kKeys = {{
    {"Enter", "Enter", 13, "\r"},
    {"Tab", "Tab", 9, ""},
    {"Escape", "Escape", 27, ""},
    {"Backspace", "Backspace", 8, ""},
    {"Delete", "Delete", 46, ""},
    {"Space", "Space", 32, " "},
    {"ArrowUp", "ArrowUp", 38, ""},
    {"ArrowDown", "ArrowDown", 40, ""},
    {"ArrowLeft", "ArrowLeft", 37, ""},
    {"ArrowRight", "ArrowRight", 39, ""},
    {"Home", "Home", 36, ""},
    {"End", "End", 35, ""},
    {"PageUp", "PageUp", 33, ""},
    {"PageDown", "PageDown", 34, ""},
}};

const json& member(const json& object, std::string_view key) {
  static const json none;
  if (!object.is_object()) return none;
  auto it = object.find(key);
  return it == object.end() ? none : *it;
}

// Runs steps.js with `action` in an isolated world of the main frame; its
// answer, or Error::Browser with the reason it gave.
Result<json> act(Connection& page, json action) {
  auto tree = page.call("Page.getFrameTree", json::object());
  if (!tree) return fail(std::move(tree.error()));
  auto world = page.call("Page.createIsolatedWorld",
                         {{"frameId", member(member(member(*tree, "frameTree"), "frame"), "id")},
                          {"worldName", "kestrelite"}});
  if (!world) return fail(std::move(world.error()));
  auto answer = page.call("Runtime.evaluate", {{"expression", "(" + std::string(steps_template()) + ")(" +
                                                                  action.dump() + ")"},
                                               {"contextId", member(*world, "executionContextId")},
                                               {"awaitPromise", true},
                                               {"returnByValue", true}});
  if (!answer) return fail(std::move(answer.error()));
  const json& value = member(member(*answer, "result"), "value");
  if (!value.is_object()) return fail(Error::shape("the page gave no answer to a step"));
  if (const json& why = member(value, "error"); why.is_string()) return fail(Error::browser(why.get<std::string>()));
  return value;
}

// The outcome of an action whose answer says nothing more.
Result<void> done(Result<json> answer) {
  if (!answer) return fail(std::move(answer.error()));
  return {};
}

Result<void> mouse(Connection& page, std::string_view type, double x, double y, bool press) {
  json params = {{"type", type}, {"x", x}, {"y", y}};
  if (press) params.update({{"button", "left"}, {"buttons", type == "mousePressed" ? 1 : 0}, {"clickCount", 1}});
  auto sent = page.call("Input.dispatchMouseEvent", std::move(params));
  if (!sent) return fail(std::move(sent.error()));
  return {};
}

Result<void> key(Connection& page, json down) {
  json up = {{"type", "keyUp"}, {"key", down["key"]}};
  if (down.contains("code")) up.update({{"code", down["code"]}, {"windowsVirtualKeyCode", down["windowsVirtualKeyCode"]}});
  for (json* event : {&down, &up})
    if (auto sent = page.call("Input.dispatchKeyEvent", *event); !sent) return fail(std::move(sent.error()));
  return {};
}

// The UTF-8 characters of `text`, one string each.
std::vector<std::string> characters(std::string_view text) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    out.emplace_back(text.substr(i, length));
    i += length;
  }
  return out;
}

// The script of a javascript step, run in the page: its value, awaited when
// a promise, within `ms` of real time (the page's own timers follow its
// virtual clock, which the capture's clock object keeps the real one of).
std::string page_script(std::string_view code, std::chrono::milliseconds ms) {
  return "(() => { const clock = window[Symbol.for('kestrelite.clock')]; "
         "const later = clock ? clock.setTimeout : setTimeout; "
         "return Promise.race([Promise.resolve((0, eval)(" + json(code).dump() + ")), "
         "new Promise((_, fail) => later(() => fail(new Error('it was still running at the settle deadline (" +
         std::to_string(ms.count()) + " ms)')), " + std::to_string(ms.count()) + "))]).then(() => undefined); })()";
}

}  // namespace

const std::string_view kReleaseClocks =
    "(() => { const visit = (w) => { try { const c = w[Symbol.for('kestrelite.clock')]; if (c) c.release(); } "
    "catch (e) {} for (let i = 0; i < w.frames.length; i++) visit(w.frames[i]); }; visit(window); })()";

bool known_key(std::string_view name) {
  for (const Key& k : kKeys)
    if (k.name == name) return true;
  return false;
}

std::string key_names() {
  std::string out;
  for (const Key& k : kKeys) out += (out.empty() ? "" : ", ") + std::string(k.name);
  return out;
}

Result<void> run_step(Connection& page, const Step& step, std::chrono::milliseconds time_left) {
  switch (step.kind) {
    case Step::Kind::Click:
    case Step::Kind::Hover:
    case Step::Kind::Type: {
      auto at = act(page, {{"action", "point"}, {"selector", step.target}, {"focus", step.kind == Step::Kind::Type}});
      if (!at) return fail(std::move(at.error()));
      const double x = (*at)["x"].get<double>(), y = (*at)["y"].get<double>();
      if (auto moved = mouse(page, "mouseMoved", x, y, false); !moved) return moved;
      if (step.kind == Step::Kind::Click) {
        if (auto down = mouse(page, "mousePressed", x, y, true); !down) return down;
        if (auto up = mouse(page, "mouseReleased", x, y, true); !up) return up;
      }
      if (step.kind == Step::Kind::Type)
        for (const std::string& c : characters(step.text))
          if (auto typed = key(page, {{"type", "keyDown"}, {"key", c}, {"text", c}, {"unmodifiedText", c}}); !typed)
            return typed;
      return {};
    }
    case Step::Kind::Press: {
      for (const Key& k : kKeys) {
        if (k.name != step.text) continue;
        json down = {{"type", k.text.empty() ? "rawKeyDown" : "keyDown"}, {"key", k.name == "Space" ? " " : k.name},
                     {"code", k.code}, {"windowsVirtualKeyCode", k.key_code}, {"nativeVirtualKeyCode", k.key_code}};
        if (!k.text.empty()) down.update({{"text", k.text}, {"unmodifiedText", k.text}});
        return key(page, std::move(down));
      }
      return fail(Error::browser("no key is named " + step.text));
    }
    case Step::Kind::ScrollTo:
      return done(act(page, {{"action", "scroll_to"}, {"selector", step.target}}));
    case Step::Kind::ScrollBy:
      return done(act(page, {{"action", "scroll_by"}, {"pixels", step.pixels}}));
    case Step::Kind::Hide:
    case Step::Kind::Remove:
      return done(act(page, {{"action", step_name(step.kind)}, {"selectors", step.targets}}));
    case Step::Kind::WaitFor: {
      auto waited = act(page, {{"action", "wait_for"}, {"selector", step.target}, {"ms", time_left.count()}});
      if (!waited) return fail(std::move(waited.error()));
      if ((*waited)["found"] != true)
        return fail(Error::browser("no visible element matched " + json(step.target).dump() + " by the settle deadline (" +
                                   std::to_string(time_left.count()) + " ms)"));
      return {};
    }
    case Step::Kind::Javascript: {
      auto ran = page.call("Runtime.evaluate", {{"expression", page_script(step.text, time_left)}, {"awaitPromise", true}});
      if (!ran) return fail(std::move(ran.error()));
      if (const json& thrown = member(*ran, "exceptionDetails"); !thrown.is_null()) {
        // The first line of the description: the error without its stack.
        const json& description = member(member(thrown, "exception"), "description");
        std::string why = description.is_string() ? description.get<std::string>() : member(thrown, "text").dump();
        return fail(Error::browser("the script failed: " + why.substr(0, why.find('\n'))));
      }
      return {};
    }
  }
  return {};
}

Result<std::vector<Mask>> mask_boxes(Connection& page, const std::vector<std::string>& selectors,
                                     std::uint32_t scale) {
  auto found = act(page, {{"action", "boxes"}, {"selectors", selectors}, {"scale", scale}});
  if (!found) return fail(std::move(found.error()));
  std::vector<Mask> masks;
  const json& boxes = member(*found, "boxes");
  for (std::size_t i = 0; i < selectors.size(); ++i) {
    Mask mask{selectors[i], {}};
    if (boxes.is_array() && i < boxes.size())
      for (const json& box : boxes[i])
        if (box.is_array() && box.size() == 4)
          mask.boxes.push_back({box[0].get<std::uint32_t>(), box[1].get<std::uint32_t>(), box[2].get<std::uint32_t>(),
                                box[3].get<std::uint32_t>()});
    masks.push_back(std::move(mask));
  }
  return masks;
}

}  // namespace kestrelite
