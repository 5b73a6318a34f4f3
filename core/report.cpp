#include "report.hpp"

#include "json_text.hpp"

namespace kestrelite {

namespace {

using namespace json_text;

void append_size(std::string& out, const ImageSize& size) {
  append_array(out, std::initializer_list<std::uint64_t>{size.width, size.height}, append_uint);
}

}  // namespace

void append_device_result(std::string& out, const DeviceResult& r) {
  ObjectWriter m(out);
  append_string(m.key("device_id"), r.device_id);
  append_string(m.key("outcome"), outcome_text(r.outcome));
  append_uint(m.key("elapsed_ms"), r.elapsed_ms);
  if (r.capture) append_capture_json(m.key("capture"), *r.capture);
  if (r.error) append_string(m.key("error"), *r.error);
  if (r.path) append_string(m.key("path"), *r.path);
  if (r.teardown) append_string(m.key("teardown"), *r.teardown);
}

void append_environment_json(std::string& out, const Environment& e) {
  ObjectWriter m(out);
  append_uint(m.key("inner_width"), e.inner_width);
  append_uint(m.key("inner_height"), e.inner_height);
  append_uint(m.key("device_pixel_ratio"), e.device_pixel_ratio);
  append_uint(m.key("touch_points"), e.touch_points);
  append_bool(m.key("viewport_honoured"), e.viewport_honoured);
}

void append_capture_json(std::string& out, const Capture& c) {
  ObjectWriter m(out);
  append_string(m.key("device_id"), c.device_id);
  append_size(m.key("expected"), c.expected);
  append_size(m.key("actual"), c.actual);
  append_string(m.key("sha256"), c.sha256);
  append_uint(m.key("bytes"), c.bytes);
  append_bool(m.key("exact"), c.exact);
  if (c.environment) append_environment_json(m.key("environment"), *c.environment);
  if (!c.settle.empty()) append_string(m.key("settle"), c.settle);
  if (!c.settle_open.empty()) append_array(m.key("settle_open"), c.settle_open, append_string);
  if (!c.dialogs.empty())
    append_array(m.key("dialogs"), c.dialogs, [](std::string& out, const Dialog& dialog) {
      ObjectWriter d(out);
      append_string(d.key("type"), dialog.type);
      append_string(d.key("message"), dialog.message);
    });
  if (c.final_url) append_string(m.key("final_url"), *c.final_url);
  if (!c.steps.empty())
    append_array(m.key("steps"), c.steps, [](std::string& out, const StepRecord& step) {
      ObjectWriter o(out);
      append_string(o.key("step"), step.step);
      append_string(o.key("settle"), step.settle);
      if (!step.settle_open.empty()) append_array(o.key("settle_open"), step.settle_open, append_string);
    });
  if (!c.masks.empty())
    append_array(m.key("masks"), c.masks, [](std::string& out, const Mask& mask) {
      ObjectWriter o(out);
      append_string(o.key("selector"), mask.selector);
      append_array(o.key("boxes"), mask.boxes, [](std::string& b, const Box& box) {
        append_array(b, std::initializer_list<std::uint64_t>{box.x, box.y, box.width, box.height}, append_uint);
      });
    });
  if (c.glyphs) {
    ObjectWriter g(m.key("glyphs"));
    append_array(g.key("fonts"), c.glyphs->fonts, append_string);
    if (c.glyphs->missing_count > 0) {
      append_array(g.key("missing"), c.glyphs->missing, append_string);
      append_uint(g.key("missing_count"), c.glyphs->missing_count);
    }
  }
}

std::string device_result_json(const DeviceResult& result) {
  std::string out;
  append_device_result(out, result);
  return out;
}

std::string report_json(const RunReport& r) {
  std::string out;
  out.reserve(128);
  {
    ObjectWriter m(out);
    append_string(m.key("kestrelite"), r.version_text);
    append_string(m.key("url"), r.url);
    append_uint(m.key("seed"), r.seed);
    append_string(m.key("locale"), r.locale);
    append_uint(m.key("exact"), r.exact);
    append_uint(m.key("off_size"), r.off_size);
    append_uint(m.key("failed"), r.failed);
    append_uint(m.key("elapsed_ms"), r.elapsed_ms);
    append_bool(m.key("ok"), r.ok);
    append_array(m.key("results"), r.results, append_device_result);
  }
  return out;
}

}  // namespace kestrelite
