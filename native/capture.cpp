// capture_json and find_browser: the run from Python, and the browser a
// run would start.
#include <filesystem>

#include "args.hpp"
#include "functions.hpp"
#include "kestrelite/discovery.hpp"
#include "kestrelite/progress.hpp"
#include "kestrelite/report.hpp"
#include "kestrelite/run.hpp"

namespace kestrelite::native {

namespace {

// The run's listener: passes every device on to `inner` and, between two
// devices, lets the interpreter run its signal handlers. When one raises
// (Ctrl-C raises KeyboardInterrupt) the run stops after the device just
// finished, whose browser is already gone, and the exception stays set on
// this thread for capture_json to raise. Handlers only run on the main
// thread; elsewhere the check finds nothing.
class StopOnSignal final : public Progress {
 public:
  StopOnSignal(Progress& inner, WithoutInterpreterLock& unlocked) : inner_(inner), unlocked_(unlocked) {}

  void device_finished(const DeviceEvent& event) override {
    inner_.device_finished(event);
    if (!raised_) raised_ = unlocked_.locked([] { return PyErr_CheckSignals() != 0; });
  }
  bool stop_requested() override { return raised_; }
  bool raised() const { return raised_; }

 private:
  Progress& inner_;
  WithoutInterpreterLock& unlocked_;
  bool raised_ = false;
};

// The devices a run captures: the listed ids in their order (repeats kept),
// else the store's devices; nullopt with ValueError set.
std::optional<std::vector<Device>> select_devices(const std::vector<Device>& table,
                                                  const std::optional<std::vector<std::string>>& ids,
                                                  const std::optional<std::string>& store) {
  std::vector<Device> selected;
  if (ids) {
    for (const std::string& id : *ids) {
      auto device = by_id(table, id);
      if (!device) {
        raise(PyExc_ValueError, "unknown device id: " + id);
        return std::nullopt;
      }
      selected.push_back(std::move(*device));
    }
    return selected;
  }
  if (!store) {
    raise(PyExc_ValueError, "specify either device_ids or store");
    return std::nullopt;
  }
  std::optional<Store> wanted = parse_store(*store);
  if (!wanted) {
    raise(PyExc_ValueError, "unknown store: " + *store);
    return std::nullopt;
  }
  selected = for_store(table, *wanted);
  if (selected.empty()) {
    raise(PyExc_ValueError, "no presets for store " + *store);
    return std::nullopt;
  }
  return selected;
}

PyObject* capture_json_body(PyObject* args, PyObject* kwargs) {
  static constexpr const char* kNames[] = {"url",      "out_dir",  "device_ids", "store",     "seed",
                                           "locale",   "timezone", "browser",    "fail_fast", "presets"};
  PyObject* given[10];
  if (!bind("capture_json", kNames, 2, args, kwargs, given)) return nullptr;

  std::string url, out_dir;
  std::optional<std::vector<std::string>> ids;
  std::optional<std::string> store, locale, timezone, browser, presets;
  std::uint64_t seed = 42;
  bool fail_fast = false;
  if (!text(given[0], "url", url) || !path_text(given[1], "out_dir", out_dir)) return nullptr;
  if (given[2] && given[2] != Py_None) {
    ids.emplace();
    if (!text_sequence(given[2], "device_ids", *ids)) return nullptr;
  }
  if (!optional_text(given[3], "store", store)) return nullptr;
  if (given[4] && !unsigned64(given[4], "seed", seed)) return nullptr;
  if (!optional_text(given[5], "locale", locale) || !optional_text(given[6], "timezone", timezone) ||
      !optional_path_text(given[7], "browser", browser))
    return nullptr;
  if (given[8] && !boolean(given[8], "fail_fast", fail_fast)) return nullptr;
  if (!optional_path_text(given[9], "presets", presets)) return nullptr;

  auto table = load_table(presets);
  if (!table) return nullptr;
  auto devices = select_devices(*table, ids, store);
  if (!devices) return nullptr;

  RunOptions options;
  options.url = std::move(url);
  options.devices = std::move(*devices);
  options.out_dir = std::filesystem::path(out_dir);
  options.determinism.seed = seed;
  if (locale) options.determinism.locale = std::move(*locale);
  if (timezone) options.determinism.timezone = std::move(*timezone);
  auto executable = browser_path(browser, false);
  if (!executable) return nullptr;
  options.browser = std::move(*executable);
  options.fail_fast = fail_fast;

  std::optional<Result<RunReport>> report;
  bool interrupted = false;
  {
    WithoutInterpreterLock unlocked;
    Collector collector;
    StopOnSignal listener(collector, unlocked);
    report.emplace(run(options, listener));
    interrupted = listener.raised();
  }
  if (interrupted) return nullptr;
  if (!*report) {
    raise(PyExc_RuntimeError, report->error().display());
    return nullptr;
  }
  return to_str(report_json(**report));
}

PyObject* find_browser_body(PyObject*, PyObject*) {
  auto found = kestrelite::find_browser();
  if (!found) {
    raise(PyExc_RuntimeError, found.error().display());
    return nullptr;
  }
  return to_str(kestrelite::path_text(*found));
}

}  // namespace

PyObject* capture_json(PyObject*, PyObject* args, PyObject* kwargs) { return guarded(capture_json_body, args, kwargs); }

PyObject* find_browser(PyObject*, PyObject*) { return guarded(find_browser_body, nullptr, nullptr); }

}  // namespace kestrelite::native
