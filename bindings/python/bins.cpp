#include "bindings/python/bins.hpp"

#include <optional>
#include <string>

#include "bindings/python/errors.hpp"
#include "data/table.hpp"

namespace arborvane::python {

namespace {

// The value of an integer-like object when it fits in 64 unsigned bits; none (error cleared)
// when it does not, as for a negative or a huge integer.
std::optional<std::uint64_t> unsigned_value(PyObject* value) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (index) {
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (!(result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)) {
      return result;
    }
  }
  if (!PyErr_ExceptionMatches(PyExc_Exception)) {
    throw PythonError{};  // an interrupt is not an answer
  }
  PyErr_Clear();
  return std::nullopt;
}

}  // namespace

data::NumericBins parse_bins(PyObject* bins) {
  if (bins == nullptr || bins == Py_None) {
    return data::NumericBins::automatic();
  }
  if (PyIndex_Check(bins)) {
    if (const std::optional<std::uint64_t> n = unsigned_value(bins)) {
      if (*n < 1 || *n > kMaxFixedBins) {
        using InvalidBins = data::DenseTableError::InvalidBins;
        raise_core_error(data::DenseTableError{InvalidBins{*n, kMaxFixedBins}});
      }
      return data::NumericBins::fixed(*n);
    }
  } else if (PyUnicode_Check(bins)) {
    if (PyUnicode_CompareWithASCIIString(bins, "auto") == 0) {
      return data::NumericBins::automatic();
    }
    // Formatted by Python, so any text (lone surrogates included) is shown as given.
    PyRef message = checked(PyUnicode_FromFormat(
        "Unsupported bins value '%U'. Expected 'auto' or an integer between 1 and %llu.", bins,
        static_cast<unsigned long long>(kMaxFixedBins)));
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw PythonError{};
  }
  raise(PyExc_TypeError, "Unsupported bins value. Expected 'auto' or an integer between 1 and " +
                             std::to_string(kMaxFixedBins) + ".");
}

}  // namespace arborvane::python
