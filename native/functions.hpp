// What the module's function bodies share: the preset table loader, the
// browser choice, the store names, the guard that turns C++ exceptions into
// RuntimeError and the release of the interpreter lock.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "kestrelite/device.hpp"
#include "kestrelite/version.hpp"

namespace kestrelite::native {

inline constexpr std::string_view kVersion = kVersionText;

// Store names a caller may use, compared after ASCII lower-casing.
std::optional<Store> parse_store(std::string_view text);

// The built-in table, or the caller's preset file; nullopt with
// FileNotFoundError or ValueError set.
std::optional<std::vector<Device>> load_table(const std::optional<std::string>& presets);

// The caller's browser, or the one discovery finds (find_browser for
// capture_json, choose_browser for sessions); nullopt with RuntimeError set
// when there is none.
std::optional<std::filesystem::path> browser_path(const std::optional<std::string>& browser, bool chosen);

// Releases the interpreter lock for its lifetime; no Python object may be
// touched meanwhile, except inside locked().
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

  // Runs `work` with the lock held, then releases it again.
  template <class Work>
  auto locked(Work work) {
    PyEval_RestoreThread(state_);
    auto result = work();
    state_ = PyEval_SaveThread();
    return result;
  }

 private:
  PyThreadState* state_;
};

// The module's functions, as PyCFunction bodies.
PyObject* capture_json(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* find_browser(PyObject* self, PyObject* unused);
PyObject* compare_png(PyObject* self, PyObject* args, PyObject* kwargs);

// Runs a function body, turning any C++ exception into RuntimeError.
PyObject* guarded(PyObject* (*body)(PyObject*, PyObject*), PyObject* args, PyObject* kwargs);

// The Session type (native/session.cpp), made for the module.
PyObject* make_session_type();

}  // namespace kestrelite::native
