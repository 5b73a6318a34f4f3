// What the module's function bodies share: the preset table loader, the
// store names and the guard that turns C++ exceptions into RuntimeError.
#pragma once

#include "args.hpp"
#include "device.hpp"
#include "version.hpp"

namespace kestrelite::native {

inline constexpr std::string_view kVersion = kVersionText;

// Store names a caller may use, compared after ASCII lower-casing.
std::optional<Store> parse_store(std::string_view text);

// The built-in table, or the caller's preset file; nullopt with
// FileNotFoundError or ValueError set.
std::optional<std::vector<Device>> load_table(const std::optional<std::string>& presets);

// The module's functions, as PyCFunction bodies.
PyObject* capture_json(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* find_browser(PyObject* self, PyObject* unused);

// Runs a function body, turning any C++ exception into RuntimeError.
PyObject* guarded(PyObject* (*body)(PyObject*, PyObject*), PyObject* args, PyObject* kwargs);

}  // namespace kestrelite::native
