// _compare_png: the pixel comparison of two screenshots for the package's
// compare command. Private to the package (not in __all__): it takes the
// files' bytes and returns the figures as JSON text and the difference
// image's bytes, leaving every file to the caller.
#include <optional>

#include "args.hpp"
#include "functions.hpp"
#include "kestrelite/png_diff.hpp"

namespace kestrelite::native {

namespace {

bool bytes_view(PyObject* value, const char* name, std::string_view& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(value) || PyBytes_AsStringAndSize(value, &data, &size) != 0) {
    PyErr_Clear();
    raise(PyExc_TypeError, "argument '" + std::string(name) + "': expected bytes");
    return false;
  }
  out = {data, static_cast<std::size_t>(size)};
  return true;
}

const char* side_name(Side side) {
  switch (side) {
    case Side::Base:
      return "base";
    case Side::New:
      return "new";
    case Side::Difference:
      return "difference";
  }
  return "";
}

PyObject* compare_png_body(PyObject* args, PyObject* kwargs) {
  static constexpr const char* kNames[] = {"base", "new"};
  PyObject* given[2];
  if (!bind("_compare_png", kNames, 2, args, kwargs, given)) return nullptr;
  std::string_view base, now;
  if (!bytes_view(given[0], "base", base) || !bytes_view(given[1], "new", now)) return nullptr;

  // The bytes objects are immutable and held by the call's arguments, so
  // their buffers stay valid without the lock.
  std::optional<std::expected<Difference, CompareError>> result;
  {
    WithoutInterpreterLock unlocked;
    result.emplace(kestrelite::compare_png(base, now));
  }
  if (!*result) {
    // ValueError(side, message): which input the failure concerns, and why.
    Ref side(to_str(side_name((*result).error().side)));
    Ref message(to_str((*result).error().error.message()));
    if (!side || !message) return nullptr;
    Ref pair(PyTuple_Pack(2, side.get(), message.get()));
    if (pair) PyErr_SetObject(PyExc_ValueError, pair.get());
    return nullptr;
  }
  const Difference& d = **result;
  Ref figures(to_str(difference_json(d)));
  if (!figures) return nullptr;
  Ref image;
  if (d.png.empty()) {
    Py_INCREF(Py_None);
    image = Ref(Py_None);
  } else {
    image = Ref(PyBytes_FromStringAndSize(d.png.data(), static_cast<Py_ssize_t>(d.png.size())));
    if (!image) return nullptr;
  }
  return PyTuple_Pack(2, figures.get(), image.get());
}

}  // namespace

PyObject* compare_png(PyObject*, PyObject* args, PyObject* kwargs) { return guarded(compare_png_body, args, kwargs); }

}  // namespace kestrelite::native
