#pragma once

// The one translation point between C++ failures and Python exceptions. Every function CPython
// calls into runs its body through `guarded`, so no C++ exception ever crosses into the
// interpreter.

#include <string_view>

#include "bindings/python/py_ref.hpp"

namespace arborvane::python {

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Sets a MemoryError naming what did not fit and throws PythonError.
[[noreturn]] void raise_memory_error(std::string_view what);

// A core error (anything with a display text) becomes ValueError with that text, unchanged.
template <class CoreError>
[[noreturn]] void raise_core_error(const CoreError& error) {
  raise(PyExc_ValueError, error.to_string());
}

// Turns the exception being handled into the matching Python exception: PythonError keeps the
// error already set, InternalError and other standard exceptions become RuntimeError with their
// text, std::bad_alloc becomes MemoryError. Call only from inside a catch block.
void set_python_error_from_current_exception() noexcept;

// Runs `body`; on any exception sets the Python error and returns `failed` instead.
template <class Result, class Body>
Result guarded(Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_python_error_from_current_exception();
    return failed;
  }
}

}  // namespace arborvane::python
