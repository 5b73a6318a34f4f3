// _compare_png: the pixel comparison of two screenshots for the package's
// compare command. Private to the package (not in __all__): it takes the
// files' bytes and returns the figures as JSON text and the difference
// image's bytes, leaving every file to the caller.
//
// Keyword-only options: masks, a sequence of (x, y, width, height) boxes
// of ints left out of the comparison; antialiasing, "count" (the default)
// or "ignore".
#include <optional>
#include <vector>

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

// str and bytes are sequences too, but never meant as boxes.
bool plain_sequence(PyObject* value) {
  return PySequence_Check(value) && !PyUnicode_Check(value) && !PyBytes_Check(value);
}

bool mask_box(PyObject* item, MaskBox& out) {
  if (!plain_sequence(item) || PySequence_Size(item) != 4) {
    PyErr_Clear();
    raise(PyExc_TypeError, "argument 'masks': each mask is a sequence of 4 ints (x, y, width, height)");
    return false;
  }
  std::int64_t* fields[] = {&out.x, &out.y, &out.width, &out.height};
  for (Py_ssize_t i = 0; i < 4; ++i) {
    Ref field(PySequence_GetItem(item, i));
    if (!field || !signed64(field.get(), "masks", *fields[i])) return false;
  }
  return true;
}

bool mask_boxes(PyObject* value, std::vector<MaskBox>& out) {
  if (!value || value == Py_None) return true;
  if (!plain_sequence(value)) {
    raise(PyExc_TypeError, "argument 'masks': expected a sequence of (x, y, width, height)");
    return false;
  }
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) return false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item(PySequence_GetItem(value, i));
    if (!item || !mask_box(item.get(), out.emplace_back())) return false;
  }
  return true;
}

bool antialiasing_mode(PyObject* value, Antialiasing& out) {
  std::optional<std::string> text;
  if (!optional_text(value, "antialiasing", text)) return false;
  if (!text) return true;
  if (*text != "count" && *text != "ignore") {
    raise(PyExc_ValueError, "argument 'antialiasing': expected 'count' or 'ignore', got '" + *text + "'");
    return false;
  }
  out = *text == "ignore" ? Antialiasing::Ignore : Antialiasing::Count;
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
  static constexpr const char* kNames[] = {"base", "new", "masks", "antialiasing"};
  constexpr Py_ssize_t kPositional = 2;  // the options are keyword-only
  if (args && PyTuple_Size(args) > kPositional) {
    raise(PyExc_TypeError, "_compare_png() takes 2 positional arguments but " + std::to_string(PyTuple_Size(args)) +
                               " were given");
    return nullptr;
  }
  PyObject* given[4];
  if (!bind("_compare_png", kNames, kPositional, args, kwargs, given)) return nullptr;
  std::string_view base, now;
  if (!bytes_view(given[0], "base", base) || !bytes_view(given[1], "new", now)) return nullptr;
  CompareOptions options;
  if (!mask_boxes(given[2], options.masks) || !antialiasing_mode(given[3], options.antialiasing)) return nullptr;

  // The bytes objects are immutable and held by the call's arguments, so
  // their buffers stay valid without the lock.
  std::optional<std::expected<Difference, CompareError>> result;
  {
    WithoutInterpreterLock unlocked;
    result.emplace(kestrelite::compare_png(base, now, options));
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
