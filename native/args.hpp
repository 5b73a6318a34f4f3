// Argument binding and conversion for the module's functions, on the
// limited API. Every function here returns false (or nullptr) with a Python
// exception set when it fails; messages of conversion failures begin with
// "argument '<name>': ".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrelite::native {

// Owns one strong reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(object_);
    object_ = other.release();
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }
  PyObject* get() const { return object_; }
  PyObject* release() {
    PyObject* o = object_;
    object_ = nullptr;
    return o;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Binds positional and keyword arguments to the parameters, in order.
// Unpassed parameters stay nullptr (borrowed references otherwise).
// Raises TypeError as Python functions do for surplus, duplicate, unknown
// or missing arguments.
bool bind(const char* function, std::span<const char* const> names, std::size_t required, PyObject* args,
          PyObject* kwargs, std::span<PyObject*> out);

// Absent (not passed or None) gives nullopt; otherwise the value must be a str.
bool optional_text(PyObject* value, const char* name, std::optional<std::string>& out);
// A str, required.
bool text(PyObject* value, const char* name, std::string& out);
// A filesystem path: a str, or a path-like object (os.PathLike, such as
// pathlib.Path) whose __fspath__ gives a str. Anything else is refused as
// text() refuses it; bytes paths among them.
bool path_text(PyObject* value, const char* name, std::string& out);
// Absent (not passed or None) gives nullopt; otherwise as path_text().
bool optional_path_text(PyObject* value, const char* name, std::optional<std::string>& out);
// Any sequence of str except a str itself.
bool text_sequence(PyObject* value, const char* name, std::vector<std::string>& out);
// An int (anything with __index__) from 0 to 2**64-1; OverflowError outside.
bool unsigned64(PyObject* value, const char* name, std::uint64_t& out);
// An int (anything with __index__) from -2**63 to 2**63-1; OverflowError outside.
bool signed64(PyObject* value, const char* name, std::int64_t& out);
// A bool, or numpy's boolean scalar.
bool boolean(PyObject* value, const char* name, bool& out);

// Python text from UTF-8 bytes.
PyObject* to_str(std::string_view utf8);
// Raises `type` with the message as its single argument.
void raise(PyObject* type, std::string_view message);

}  // namespace kestrelite::native
