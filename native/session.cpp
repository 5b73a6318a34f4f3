// kestrelite._native.Session: many captures through one browser, each in a
// browser context of its own (kestrelite/session.hpp), for Python callers.
//
// The session's settings (browser, preset table, and the locale, time zone
// and seed that captures use unless they say otherwise) are fixed when it is
// made. capture(url, device_id, out_dir, name=None, **settings) captures one
// URL on one device into out_dir/<name or device id>.png with that
// capture's own settings (the keywords, read by the core from their JSON)
// and returns the device's result as JSON text, in the form of an entry of
// capture_json's "results"; capture_json(url, device_id, path) does the same
// into one given file. The interpreter lock is released while it works. A
// session's own lock lets one capture run at a time when several threads
// share it; separate sessions run side by side.
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "functions.hpp"
#include "kestrelite/report.hpp"
#include "kestrelite/session.hpp"
#include "kestrelite/settings.hpp"

namespace kestrelite::native {

namespace {

struct State {
  std::vector<Device> table;
  CaptureSettings defaults;
  std::mutex mutex;                // held by the capture under way, and by close()
  std::optional<Session> session;  // nullopt once closed
};

struct SessionObject {
  PyObject_HEAD
  State* state;
};

State& state_of(PyObject* self) { return *reinterpret_cast<SessionObject*>(self)->state; }

template <class Body>
PyObject* guard(Body body) {
  try {
    return body();
  } catch (const std::exception& e) {
    raise(PyExc_RuntimeError, e.what());
  } catch (...) {
    raise(PyExc_RuntimeError, "internal error");
  }
  return nullptr;
}

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"browser", "locale", "timezone", "seed", "presets",
                                             "captures_per_browser"};
    PyObject* given[6];
    if (!bind("Session", kNames, 0, args, kwargs, given)) return nullptr;
    std::optional<std::string> browser, locale, timezone, presets;
    std::uint64_t seed = CaptureSettings{}.determinism.seed;
    std::uint64_t per_browser = kCapturesPerBrowser;
    if (!optional_path_text(given[0], "browser", browser) || !optional_text(given[1], "locale", locale) ||
        !optional_text(given[2], "timezone", timezone))
      return nullptr;
    if (given[3] && !unsigned64(given[3], "seed", seed)) return nullptr;
    if (!optional_path_text(given[4], "presets", presets)) return nullptr;
    if (given[5] && !unsigned64(given[5], "captures_per_browser", per_browser)) return nullptr;
    if (per_browser == 0) {
      raise(PyExc_ValueError, "captures_per_browser must be at least 1");
      return nullptr;
    }

    auto table = load_table(presets);
    if (!table) return nullptr;
    SessionOptions options;
    auto executable = browser_path(browser, true);
    if (!executable) return nullptr;
    options.executable = std::move(*executable);
    options.captures_per_browser = static_cast<std::size_t>(per_browser);
    auto state = std::make_unique<State>();
    state->table = std::move(*table);
    state->defaults.determinism.seed = seed;
    if (locale) state->defaults.determinism.locale = std::move(*locale);
    if (timezone) state->defaults.determinism.timezone = std::move(*timezone);
    state->session.emplace(std::move(options));

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<SessionObject*>(self)->state = state.release();
    return self;
  });
}

// Ends the browser of a session that was not closed. The lock is kept:
// the object is unreachable, and the wait for the process group is short.
void session_dealloc(PyObject* self) {
  delete reinterpret_cast<SessionObject*>(self)->state;
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// The device's result as JSON text, or nullopt when the session is closed.
// `work` captures with the session; it runs without the interpreter lock.
template <class Work>
PyObject* capture_unlocked(State& state, Work work) {
  std::optional<std::string> result;
  {
    WithoutInterpreterLock unlocked;
    std::lock_guard<std::mutex> hold(state.mutex);
    if (state.session) result = device_result_json(work(*state.session));
  }
  if (!result) {
    raise(PyExc_ValueError, "the session is closed");
    return nullptr;
  }
  return to_str(*result);
}

const Device* device_of(State& state, const std::string& device_id) {
  for (const Device& d : state.table)
    if (d.id == device_id) return &d;
  raise(PyExc_ValueError, "unknown device id: " + device_id);
  return nullptr;
}

PyObject* session_capture_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"url", "device_id", "path"};
    PyObject* given[3];
    if (!bind("capture_json", kNames, 3, args, kwargs, given)) return nullptr;
    std::string url, device_id, path;
    if (!text(given[0], "url", url) || !text(given[1], "device_id", device_id) || !path_text(given[2], "path", path))
      return nullptr;
    State& state = state_of(self);
    const Device* device = device_of(state, device_id);
    if (!device) return nullptr;
    return capture_unlocked(state, [&](Session& session) {
      return session.capture(url, *device, state.defaults, std::filesystem::path(path));
    });
  });
}

// The capture's settings: the keywords other than `name`, as JSON text made
// by the json module, over the session's defaults. Unlike capture_json's,
// these captures check their glyphs unless told otherwise, their settle
// wait asks the capture before it counts the page as quiet, and their first
// commands go out together.
std::optional<CaptureSettings> settings_of(State& state, PyObject* keywords) {
  CaptureSettings defaults = state.defaults;
  defaults.check_glyphs = true;
  defaults.settle_barrier = true;
  defaults.pipelined = true;
  if (!keywords) return defaults;
  Ref json_module(PyImport_ImportModule("json"));
  if (!json_module) return std::nullopt;
  Ref text_object(PyObject_CallMethod(json_module.get(), "dumps", "O", keywords));
  if (!text_object) return std::nullopt;
  std::string json_text;
  if (!text(text_object.get(), "settings", json_text)) return std::nullopt;
  auto settings = parse_capture_settings(json_text, defaults);
  if (!settings) {
    raise(PyExc_ValueError, settings.error().message());
    return std::nullopt;
  }
  return std::move(*settings);
}

PyObject* session_capture(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"url", "device_id", "out_dir", "name"};
    PyObject* given[4];
    // The fixed parameters are bound from a copy of the keywords without the settings.
    Ref fixed(PyDict_New()), settings(PyDict_New());
    if (!fixed || !settings) return nullptr;
    if (kwargs) {
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        bool is_fixed = false;
        for (const char* name : kNames) is_fixed = is_fixed || PyUnicode_CompareWithASCIIString(key, name) == 0;
        if (PyDict_SetItem(is_fixed ? fixed.get() : settings.get(), key, value) != 0) return nullptr;
      }
    }
    if (!bind("capture", kNames, 3, args, fixed.get(), given)) return nullptr;
    std::string url, device_id, out_dir;
    std::optional<std::string> name;
    if (!text(given[0], "url", url) || !text(given[1], "device_id", device_id) ||
        !path_text(given[2], "out_dir", out_dir) || !optional_text(given[3], "name", name))
      return nullptr;
    State& state = state_of(self);
    const Device* device = device_of(state, device_id);
    if (!device) return nullptr;
    auto chosen = settings_of(state, PyDict_Size(settings.get()) > 0 ? settings.get() : nullptr);
    if (!chosen) return nullptr;
    return capture_unlocked(state, [&](Session& session) {
      return session.capture_into(url, *device, *chosen, std::filesystem::path(out_dir), name ? *name : device_id);
    });
  });
}

PyObject* session_close(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    State& state = state_of(self);
    bool ended = true;
    {
      WithoutInterpreterLock unlocked;
      std::lock_guard<std::mutex> hold(state.mutex);
      if (state.session) ended = state.session->end();
      state.session.reset();
    }
    if (!ended && PyErr_WarnEx(PyExc_RuntimeWarning,
                               "processes of the session's browser still existed after it was ended", 1) != 0)
      return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* session_enter(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* session_exit(PyObject* self, PyObject*) { return session_close(self, nullptr); }

PyMethodDef kMethods[] = {
    {"capture", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_capture)),
     METH_VARARGS | METH_KEYWORDS,
     "capture($self, url, device_id, out_dir, name=None, **settings)\n--\n\nCapture url on one device preset in a "
     "fresh browser context, write the PNG to out_dir/<name or device id>.png, and return the device's result as a "
     "JSON string. settings: locale, timezone, seed (default: the session's), check_glyphs (default true)."},
    {"capture_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_capture_json)),
     METH_VARARGS | METH_KEYWORDS,
     "capture_json($self, url, device_id, path)\n--\n\nCapture url on one device preset in a fresh browser "
     "context, write the PNG to path, and return the device's result as a JSON string."},
    {"close", session_close, METH_NOARGS, "close($self)\n--\n\nEnd the session's browser; later captures raise."},
    {"__enter__", session_enter, METH_NOARGS, nullptr},
    {"__exit__", session_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(
                    "Session(browser=None, locale=None, timezone=None, seed=42, presets=None, "
                    "captures_per_browser=100)\n--\n\n"
                    "One browser for many captures, each in a fresh browser context.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrelite._native.Session", sizeof(SessionObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* make_session_type() { return PyType_FromSpec(&kSpec); }

}  // namespace kestrelite::native
