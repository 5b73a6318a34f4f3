#include "args.hpp"

#include <string_view>

namespace kestrelite::native {

namespace {

// A text attribute of the value's type ("__name__", "__module__"); empty
// when it has none.
std::string type_attribute(PyObject* value, const char* attribute) {
  Ref text(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), attribute));
  std::string out;
  if (text && PyUnicode_Check(text.get())) {
    Ref bytes(PyUnicode_AsUTF8String(text.get()));
    if (bytes) out = PyBytes_AsString(bytes.get());
  }
  PyErr_Clear();
  return out;
}

std::string type_name(PyObject* value) {
  std::string name = type_attribute(value, "__name__");
  return name.empty() ? "object" : name;
}

bool wrong_type(PyObject* value, const char* name, const char* expected) {
  raise(PyExc_TypeError,
        "argument '" + std::string(name) + "': '" + type_name(value) + "' object cannot be converted to '" + expected + "'");
  return false;
}

// UTF-8 of a str; fails (exception set) for text that has no UTF-8 form.
bool utf8_of(PyObject* str, std::string& out) {
  Ref bytes(PyUnicode_AsUTF8String(str));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

// The value as an int through __index__; TypeError naming the argument
// when it has none.
Ref int_index(PyObject* value, const char* name) {
  Ref index(PyNumber_Index(value));
  if (!index && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    wrong_type(value, name, "int");
  }
  return index;
}

// After a failed conversion of an int: the interpreter's OverflowError
// gets the argument's name in front; other errors stay as they are.
bool out_of_range(const char* name, const char* type) {
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    raise(PyExc_OverflowError, "argument '" + std::string(name) + "': out of range for " + type);
  }
  return false;
}

}  // namespace

void raise(PyObject* type, std::string_view message) {
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

PyObject* to_str(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

bool bind(const char* function, std::span<const char* const> names, std::size_t required, PyObject* args,
          PyObject* kwargs, std::span<PyObject*> out) {
  const std::string fn = std::string(function) + "()";
  for (PyObject*& o : out) o = nullptr;
  Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > names.size()) {
    std::string takes = required == names.size()
                            ? std::to_string(names.size())
                            : "from " + std::to_string(required) + " to " + std::to_string(names.size());
    raise(PyExc_TypeError, fn + " takes " + takes + " positional arguments but " + std::to_string(given) +
                               (given == 1 ? " was" : " were") + " given");
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  if (kwargs) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        raise(PyExc_TypeError, fn + " keywords must be strings");
        return false;
      }
      std::string name;
      if (!utf8_of(key, name)) return false;
      std::size_t index = names.size();
      for (std::size_t i = 0; i < names.size(); ++i)
        if (name == names[i]) index = i;
      if (index == names.size()) {
        raise(PyExc_TypeError, fn + " got an unexpected keyword argument '" + name + "'");
        return false;
      }
      if (out[index]) {
        raise(PyExc_TypeError, fn + " got multiple values for argument '" + name + "'");
        return false;
      }
      out[index] = value;
    }
  }
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < required; ++i)
    if (!out[i]) missing.emplace_back(names[i]);
  if (!missing.empty()) {
    raise(PyExc_TypeError, fn + " missing " + std::to_string(missing.size()) + " required positional argument" +
                               (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
    return false;
  }
  return true;
}

bool text(PyObject* value, const char* name, std::string& out) {
  if (!PyUnicode_Check(value)) return wrong_type(value, name, "str");
  return utf8_of(value, out);
}

bool path_text(PyObject* value, const char* name, std::string& out) {
  if (PyUnicode_Check(value)) return text(value, name, out);
  // os.PathLike is any type with __fspath__; other values keep text()'s
  // refusal and its message.
  if (!PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__fspath__")) return text(value, name, out);
  Ref path(PyOS_FSPath(value));
  if (!path) return false;
  if (!PyUnicode_Check(path.get())) {
    raise(PyExc_TypeError, "argument '" + std::string(name) + "': '" + type_name(value) +
                               "' object gives a bytes path; only str paths are accepted");
    return false;
  }
  return utf8_of(path.get(), out);
}

bool optional_path_text(PyObject* value, const char* name, std::optional<std::string>& out) {
  out.reset();
  if (!value || value == Py_None) return true;
  std::string s;
  if (!path_text(value, name, s)) return false;
  out = std::move(s);
  return true;
}

bool optional_text(PyObject* value, const char* name, std::optional<std::string>& out) {
  out.reset();
  if (!value || value == Py_None) return true;
  std::string s;
  if (!text(value, name, s)) return false;
  out = std::move(s);
  return true;
}

bool text_sequence(PyObject* value, const char* name, std::vector<std::string>& out) {
  out.clear();
  if (PyUnicode_Check(value)) {
    raise(PyExc_TypeError, "argument '" + std::string(name) + "': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(value)) return wrong_type(value, name, "Sequence");
  Py_ssize_t size = PySequence_Size(value);
  if (size < 0) return false;
  out.reserve(static_cast<std::size_t>(size));
  Ref iter(PyObject_GetIter(value));
  if (!iter) return false;
  while (Ref item{PyIter_Next(iter.get())}) {
    if (!PyUnicode_Check(item.get())) return wrong_type(item.get(), name, "str");
    std::string s;
    if (!utf8_of(item.get(), s)) return false;
    out.push_back(std::move(s));
  }
  return !PyErr_Occurred();
}

bool unsigned64(PyObject* value, const char* name, std::uint64_t& out) {
  Ref index = int_index(value, name);
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())
    return out_of_range(name, "an unsigned 64-bit integer");
  out = v;
  return true;
}

bool signed64(PyObject* value, const char* name, std::int64_t& out) {
  Ref index = int_index(value, name);
  if (!index) return false;
  long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return out_of_range(name, "a 64-bit integer");
  out = v;
  return true;
}

bool boolean(PyObject* value, const char* name, bool& out) {
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  std::string type = type_name(value);
  if (type_attribute(value, "__module__") == "numpy" && (type == "bool_" || type == "bool")) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  return wrong_type(value, name, "bool");
}

}  // namespace kestrelite::native
