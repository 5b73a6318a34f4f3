// kestrelite._native: the binding over kestrelite_core. It converts
// arguments, loads the preset table, selects devices and maps every failure
// to a Python exception; it keeps no state between calls.
#include <exception>
#include <filesystem>
#include <string>

#include "args.hpp"
#include "functions.hpp"
#include "kestrelite/device.hpp"
#include "kestrelite/discovery.hpp"
#include "kestrelite/settings.hpp"

namespace kestrelite::native {

std::optional<Store> parse_store(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (lowered == "apple" || lowered == "ios" || lowered == "appstore") return Store::Apple;
  if (lowered == "play" || lowered == "google" || lowered == "android") return Store::Play;
  if (lowered == "web") return Store::Web;
  return std::nullopt;
}

std::optional<std::vector<Device>> load_table(const std::optional<std::string>& presets) {
  auto devices = load_presets(presets ? std::optional<std::filesystem::path>(*presets) : std::nullopt);
  if (!devices) {
    if (devices.error().kind() == Error::Kind::Io)
      raise(PyExc_FileNotFoundError, "cannot read presets " + *presets + ": " + devices.error().message());
    else
      raise(PyExc_ValueError, "invalid presets: " + devices.error().display());
    return std::nullopt;
  }
  return std::move(*devices);
}

std::optional<std::filesystem::path> browser_path(const std::optional<std::string>& browser, bool chosen) {
  if (browser) return std::filesystem::path(*browser);
  if (chosen) {
    auto found = choose_browser();
    if (found) return std::move(found->path);
    raise(PyExc_RuntimeError, found.error().display());
    return std::nullopt;
  }
  auto found = kestrelite::find_browser();
  if (found) return std::move(*found);
  raise(PyExc_RuntimeError, found.error().display());
  return std::nullopt;
}

PyObject* guarded(PyObject* (*body)(PyObject*, PyObject*), PyObject* args, PyObject* kwargs) {
  try {
    return body(args, kwargs);
  } catch (const std::exception& e) {
    raise(PyExc_RuntimeError, e.what());
  } catch (...) {
    raise(PyExc_RuntimeError, "internal error");
  }
  return nullptr;
}

namespace {

PyObject* devices_json_body(PyObject* args, PyObject* kwargs) {
  static constexpr const char* kNames[] = {"store", "presets"};
  PyObject* given[2];
  if (!bind("devices_json", kNames, 0, args, kwargs, given)) return nullptr;
  std::optional<std::string> store, presets;
  if (!optional_text(given[0], "store", store) || !optional_path_text(given[1], "presets", presets)) return nullptr;
  auto table = load_table(presets);
  if (!table) return nullptr;
  if (store) {
    std::optional<Store> wanted = parse_store(*store);
    if (!wanted) {
      raise(PyExc_ValueError, "unknown store: " + *store);
      return nullptr;
    }
    *table = for_store(*table, *wanted);
  }
  return to_str(kestrelite::devices_json(*table));
}

PyObject* devices_json(PyObject*, PyObject* args, PyObject* kwargs) { return guarded(devices_json_body, args, kwargs); }

PyObject* version(PyObject*, PyObject*) { return to_str(kVersion); }

// The package's own listing: every preset with the upload tools' places.
PyObject* presets_json_body(PyObject* args, PyObject* kwargs) {
  static constexpr const char* kNames[] = {"presets"};
  PyObject* given[1];
  if (!bind("_presets_json", kNames, 0, args, kwargs, given)) return nullptr;
  std::optional<std::string> presets;
  if (!optional_path_text(given[0], "presets", presets)) return nullptr;
  auto table = load_table(presets);
  if (!table) return nullptr;
  return to_str(devices_json_with_places(*table));
}

PyObject* presets_json(PyObject*, PyObject* args, PyObject* kwargs) { return guarded(presets_json_body, args, kwargs); }

// The browser the command line and the package use: (path, whether it was
// found only by Debian's name on PATH).
PyObject* choose_browser_body(PyObject*, PyObject*) {
  auto chosen = kestrelite::choose_browser();
  if (!chosen) {
    raise(PyExc_RuntimeError, chosen.error().display());
    return nullptr;
  }
  Ref path(to_str(kestrelite::path_text(chosen->path)));
  if (!path) return nullptr;
  return Py_BuildValue("(OO)", path.get(), chosen->debian_shell ? Py_True : Py_False);
}

PyObject* choose_browser_function(PyObject*, PyObject*) { return guarded(choose_browser_body, nullptr, nullptr); }

PyObject* managed_root_function(PyObject*, PyObject*) { return to_str(kestrelite::path_text(managed_root())); }

PyObject* defaults_function(PyObject*, PyObject*) { return to_str(defaults_json()); }

// Checks a capture's settings (the JSON object Session.capture makes of its
// keywords) before any browser starts: None, or ValueError with the reason.
PyObject* check_settings_body(PyObject* args, PyObject* kwargs) {
  static constexpr const char* kNames[] = {"settings"};
  PyObject* given[1];
  if (!bind("_check_settings", kNames, 1, args, kwargs, given)) return nullptr;
  std::string settings;
  if (!text(given[0], "settings", settings)) return nullptr;
  if (auto parsed = parse_capture_settings(settings, CaptureSettings{}); !parsed) {
    raise(PyExc_ValueError, parsed.error().message());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* check_settings(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded(check_settings_body, args, kwargs);
}

PyMethodDef kDevicesJson = {
    "devices_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(devices_json)),
    METH_VARARGS | METH_KEYWORDS,
    "devices_json(store=None, presets=None)\n--\n\nDevice presets as a JSON string, optionally filtered to one store."};
PyMethodDef kCaptureJson = {
    "capture_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture_json)),
    METH_VARARGS | METH_KEYWORDS,
    "capture_json(url, out_dir, device_ids=None, store=None, seed=42, locale=None, timezone=None, browser=None, "
    "fail_fast=False, presets=None)\n--\n\nRun a capture matrix and return the report as a JSON string."};
PyMethodDef kFindBrowser = {"find_browser", find_browser, METH_NOARGS,
                            "find_browser()\n--\n\nPath to the browser kestrelite would use."};
PyMethodDef kVersionDef = {"version", version, METH_NOARGS, "version()\n--\n\nVersion of the native core."};
PyMethodDef kComparePng = {
    "_compare_png", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compare_png)),
    METH_VARARGS | METH_KEYWORDS,
    "_compare_png(base, new, *, masks=None, antialiasing=None)\n--\n\nThe pixel comparison of two PNG files' "
    "bytes, for kestrelite's compare command: (figures as JSON text, difference image as PNG bytes or None)."};

PyMethodDef kPrivate[] = {
    {"_presets_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(presets_json)),
     METH_VARARGS | METH_KEYWORDS,
     "_presets_json(presets=None)\n--\n\nThe presets as devices_json lists them, with each preset's App Store "
     "display type and Play image type when it gives them."},
    {"_choose_browser", choose_browser_function, METH_NOARGS,
     "_choose_browser()\n--\n\nThe browser the command line uses, and whether only Debian's name on PATH "
     "found it: (path, bool)."},
    {"_managed_root", managed_root_function, METH_NOARGS,
     "_managed_root()\n--\n\nThe folder below which discovery looks for chrome-headless-shell."},
    {"_defaults", defaults_function, METH_NOARGS,
     "_defaults()\n--\n\nThe settings a capture gets when it is given none, as JSON text."},
    {"_check_settings", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_settings)),
     METH_VARARGS | METH_KEYWORDS,
     "_check_settings(settings)\n--\n\nRaises ValueError when the JSON text is no capture's settings."},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_native", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

// Appends `name` to the module's __all__ (creating the list on first use),
// then sets the attribute. Takes the reference to `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return false;
  Ref all_name(PyUnicode_FromString("__all__"));
  if (!all_name) return false;
  Ref all(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) != 0) return false;
  }
  Ref attr_name(PyUnicode_FromString(name));
  if (!attr_name || PyList_Append(all.get(), attr_name.get()) != 0) return false;
  return PyObject_SetAttr(module, attr_name.get(), owned.get()) == 0;
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  return add(module, def->ml_name, PyCFunction_NewEx(def, module, module_name));
}

// A function for the package's own use: an attribute, left out of __all__.
bool add_private_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref function(PyCFunction_NewEx(def, module, module_name));
  return function && PyObject_SetAttrString(module, def->ml_name, function.get()) == 0;
}

}  // namespace

}  // namespace kestrelite::native

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  using namespace kestrelite::native;
  Ref module(PyModule_Create2(&kModule, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  Ref module_name(PyObject_GetAttrString(module.get(), "__name__"));
  if (!module_name) return nullptr;
  if (!add_function(module.get(), module_name.get(), &kDevicesJson) ||
      !add_function(module.get(), module_name.get(), &kCaptureJson) ||
      !add_function(module.get(), module_name.get(), &kFindBrowser) ||
      !add_function(module.get(), module_name.get(), &kVersionDef) ||
      !add(module.get(), "__version__", to_str(kVersion)) ||
      !add_private_function(module.get(), module_name.get(), &kComparePng))
    return nullptr;
  for (PyMethodDef& def : kPrivate)
    if (!add_private_function(module.get(), module_name.get(), &def)) return nullptr;
  Ref names(PyTuple_New(static_cast<Py_ssize_t>(kestrelite::kPathNames.size() + 1)));
  if (!names) return nullptr;
  PyTuple_SetItem(names.get(), 0, to_str(kestrelite::kDebianShell));
  for (std::size_t i = 0; i < kestrelite::kPathNames.size(); ++i)
    PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i + 1), to_str(kestrelite::kPathNames[i]));
  if (PyObject_SetAttrString(module.get(), "_BROWSER_NAMES", names.get()) != 0) return nullptr;
  // A type beside the functions, outside __all__, which lists the functions.
  Ref session(make_session_type());
  if (!session || PyObject_SetAttrString(module.get(), "Session", session.get()) != 0) return nullptr;
  return module.release();
}
