#pragma once

#include <cstdint>
#include <string>

#include "bindings/python/py_ref.hpp"

namespace arborvane::python {

// An argument that must be a non-negative integer. A value of another type raises TypeError
// "argument '<name>': <the interpreter's message>"; a negative or too large integer raises the
// interpreter's OverflowError.
std::uint64_t unsigned_argument(PyObject* value, const char* name);

// Raises TypeError "argument '<name>': must be <expected>, not <type of value>".
[[noreturn]] void argument_type_error(const char* name, const char* expected, PyObject* value);

// A str argument, or `fallback` when it was not given (null).
std::string string_argument(PyObject* value, const char* name, const char* fallback);

// A bool argument (only True and False are accepted), false when it was not given (null).
bool bool_argument(PyObject* value, const char* name);

}  // namespace arborvane::python
