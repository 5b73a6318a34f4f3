// kestrelite._native: the binding over kestrelite_core. It converts
// arguments, loads the preset table, selects devices and maps every failure
// to a Python exception; it keeps no state between calls.
#include <exception>
#include <filesystem>
#include <string>

#include "args.hpp"
#include "device.hpp"
#include "discovery.hpp"
#include "files.hpp"
#include "functions.hpp"

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
  if (!presets) return builtin();
  auto text = read_text_file(std::filesystem::path(*presets));
  if (!text) {
    raise(PyExc_FileNotFoundError, "cannot read presets " + *presets + ": " + text.error().message());
    return std::nullopt;
  }
  auto devices = parse_presets(*text);
  if (!devices) {
    raise(PyExc_ValueError, "invalid presets: " + devices.error().display());
    return std::nullopt;
  }
  return std::move(*devices);
}

std::optional<std::filesystem::path> browser_path(const std::optional<std::string>& browser) {
  if (browser) return std::filesystem::path(*browser);
  auto found = kestrelite::find_browser();
  if (!found) {
    raise(PyExc_RuntimeError, found.error().display());
    return std::nullopt;
  }
  return std::move(*found);
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
    "_compare_png(base, new)\n--\n\nThe pixel comparison of two PNG files' bytes, for kestrelite's compare "
    "command: (figures as JSON text, difference image as PNG bytes or None)."};

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
  // A type beside the functions, outside __all__, which lists the functions.
  Ref session(make_session_type());
  if (!session || PyObject_SetAttrString(module.get(), "Session", session.get()) != 0) return nullptr;
  return module.release();
}
