#include "bindings/python/arguments.hpp"

#include <string>

#include "bindings/python/errors.hpp"

namespace arborvane::python {

namespace {

// Replaces the pending TypeError by one whose message names the argument.
[[noreturn]] void raise_argument_type_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  PyRef original = checked(PyObject_Str(owned_value.get()));
  PyRef message = checked(PyUnicode_FromFormat("argument '%s': %U", name, original.get()));
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PythonError{};
}

}  // namespace

std::uint64_t unsigned_argument(PyObject* value, const char* name) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      raise_argument_type_error(name);
    }
    throw PythonError{};
  }
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    throw PythonError{};
  }
  return result;
}

void argument_type_error(const char* name, const char* expected, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "argument '%s': must be %s, not %.200s", name, expected,
               Py_TYPE(value)->tp_name);
  throw PythonError{};
}

std::string string_argument(PyObject* value, const char* name, const char* fallback) {
  if (value == nullptr) return fallback;
  if (!PyUnicode_Check(value)) argument_type_error(name, "str", value);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) throw PythonError{};
  return std::string(data, static_cast<std::size_t>(size));
}

bool bool_argument(PyObject* value, const char* name) {
  if (value == nullptr) return false;
  if (!PyBool_Check(value)) argument_type_error(name, "bool", value);
  return value == Py_True;
}

}  // namespace arborvane::python
