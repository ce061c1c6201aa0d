#pragma once

#include <cstdint>

#include "bindings/python/py_ref.hpp"

namespace arborvane::python {

// An argument that must be a non-negative integer. A value of another type raises TypeError
// "argument '<name>': <the interpreter's message>"; a negative or too large integer raises the
// interpreter's OverflowError.
std::uint64_t unsigned_argument(PyObject* value, const char* name);

}  // namespace arborvane::python
