#include "bindings/python/errors.hpp"

#include <exception>
#include <new>
#include <string>

#include "platform/check.hpp"

namespace arborvane::python {

void raise(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) {
    PyErr_SetObject(type, text.get());
  }
  // When even the message could not be made, its own exception (MemoryError) stays set.
  throw PythonError{};
}

void raise_memory_error(std::string_view what) {
  std::string message(what);
  message += " does not fit in memory.";
  raise(PyExc_MemoryError, message);
}

namespace {

void set_runtime_error(const char* text) {
  PyErr_SetString(PyExc_RuntimeError, text);
}

}  // namespace

void set_python_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (PyErr_Occurred() == nullptr) {
      set_runtime_error("internal error: a Python error was reported but none is set");
    }
  } catch (const InternalError& error) {
    set_runtime_error(error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_runtime_error(error.what());
  } catch (...) {
    set_runtime_error("internal error: unknown C++ exception");
  }
}

}  // namespace arborvane::python
