// kestrelite._native.Session: many captures through one browser, each in a
// browser context of its own (core/session.hpp), for Python callers.
//
// The settings (browser, locale, time zone, seed, preset table) are fixed
// when the session is made; capture_json() captures one URL on one device
// into one file and returns that device's result as JSON text, in the form
// of an entry of capture_json's "results". The interpreter lock is released
// while it works. A session's own lock lets one capture run at a time when
// several threads share it; separate sessions run side by side.
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "files.hpp"
#include "functions.hpp"
#include "report.hpp"
#include "session.hpp"
#ifdef KESTRELITE_BENCH_HOOK
#include "timings_progress.hpp"
#endif

namespace kestrelite::native {

namespace {

using Clock = std::chrono::steady_clock;

struct State {
  std::vector<Device> table;
  Determinism determinism;
  StabilityOptions stability;
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
    static constexpr const char* kNames[] = {"browser", "locale", "timezone", "seed", "presets"};
    PyObject* given[5];
    if (!bind("Session", kNames, 0, args, kwargs, given)) return nullptr;
    std::optional<std::string> browser, locale, timezone, presets;
    std::uint64_t seed = 42;
    if (!optional_path_text(given[0], "browser", browser) || !optional_text(given[1], "locale", locale) ||
        !optional_text(given[2], "timezone", timezone))
      return nullptr;
    if (given[3] && !unsigned64(given[3], "seed", seed)) return nullptr;
    if (!optional_path_text(given[4], "presets", presets)) return nullptr;

    auto table = load_table(presets);
    if (!table) return nullptr;
    SessionOptions options;
    auto executable = browser_path(browser);
    if (!executable) return nullptr;
    options.executable = std::move(*executable);
    auto state = std::make_unique<State>();
    state->table = std::move(*table);
    state->determinism.seed = seed;
    if (locale) state->determinism.locale = std::move(*locale);
    if (timezone) state->determinism.timezone = std::move(*timezone);
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
std::optional<std::string> capture_locked(State& state, const std::string& url, const Device& device,
                                          const std::filesystem::path& path) {
  std::lock_guard<std::mutex> hold(state.mutex);
  if (!state.session) return std::nullopt;
  DeviceTimings timings;
  std::optional<std::string> teardown;
  const auto start = Clock::now();
  Result<WrittenCapture> attempt = [&]() -> Result<WrittenCapture> {
    if (path.has_parent_path())
      if (auto made = create_directory_tree(path.parent_path()); !made) return fail(std::move(made.error()));
    CaptureRequest request{url, device, state.determinism, state.stability};
    return state.session->capture(request, path, timings, teardown);
  }();
  const auto elapsed = Clock::now() - start;
  DeviceResult result = device_result(device, std::move(attempt), elapsed, std::move(teardown));
#ifdef KESTRELITE_BENCH_HOOK
  bench::TimingsProgress hook;
  hook.device_finished(DeviceEvent{elapsed, device, 1, 1, result.capture ? &*result.capture : nullptr,
                                   result.error ? &*result.error : nullptr, result.outcome, timings});
#endif
  std::string out;
  append_device_result(out, result);
  return out;
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
    auto device = by_id(state.table, device_id);
    if (!device) {
      raise(PyExc_ValueError, "unknown device id: " + device_id);
      return nullptr;
    }
    std::optional<std::string> result;
    {
      WithoutInterpreterLock unlocked;
      result = capture_locked(state, url, *device, std::filesystem::path(path));
    }
    if (!result) {
      raise(PyExc_ValueError, "the session is closed");
      return nullptr;
    }
    return to_str(*result);
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
                    "Session(browser=None, locale=None, timezone=None, seed=42, presets=None)\n--\n\n"
                    "One browser for many captures, each in a fresh browser context.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrelite._native.Session", sizeof(SessionObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* make_session_type() { return PyType_FromSpec(&kSpec); }

}  // namespace kestrelite::native
