#pragma once

// The thin RAII layer over the CPython C API that every binding file uses: an owning
// reference, the marker exception for "a Python exception is set", a GIL-release guard and a
// recursion guard for adapters that call themselves on what a probed method returned.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace arborvane::python {

// Thrown after a C-API call failed (or after we set an exception ourselves): the Python error
// indicator is set, and the boundary only has to return NULL / -1.
struct PythonError {};

// One owned reference to a Python object, or none.
class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef& other) : object_(other.object_) { Py_XINCREF(object_); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (a C-API result); null is allowed.
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of our own to a borrowed one.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (for returning to CPython).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Owns the new reference a C-API call returned, or throws when the call failed.
inline PyRef checked(PyObject* result) {
  if (result == nullptr) {
    throw PythonError{};
  }
  return PyRef::steal(result);
}

// For C-API calls that report failure with a negative status.
inline int checked_status(int status) {
  if (status < 0) {
    throw PythonError{};
  }
  return status;
}

// Releases the interpreter lock for its lifetime. No Python object may be touched, created or
// dropped (not even a PyRef) while one is alive.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Runs `work` without the interpreter lock and returns its result; exceptions propagate after
// the lock is taken back.
template <class Work>
decltype(auto) without_gil(Work&& work) {
  GilRelease release;
  return std::forward<Work>(work)();
}

// Counts one level of Python-visible recursion, so an object whose probed method keeps
// returning new probe-able objects ends in RecursionError instead of exhausting the C stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) {
      throw PythonError{};
    }
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

// The attribute `name` of `object`, or an empty reference when it has none (AttributeError is
// cleared, as `hasattr` does; any other error propagates).
inline PyRef optional_attr(PyObject* object, const char* name) {
  PyObject* attr = PyObject_GetAttrString(object, name);
  if (attr == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      throw PythonError{};
    }
    PyErr_Clear();
  }
  return PyRef::steal(attr);
}

inline bool has_attr(PyObject* object, const char* name) {
  return static_cast<bool>(optional_attr(object, name));
}

// Calls `object.name()`.
inline PyRef call_method(PyObject* object, const char* name) {
  return checked(PyObject_CallMethod(object, name, nullptr));
}

inline PyRef call(const PyRef& callable) {
  return checked(PyObject_CallNoArgs(callable.get()));
}

}  // namespace arborvane::python
