#pragma once

// Reads NumPy arrays of the element types we take directly (native-endian float64, bool, int64,
// int32) straight from their strided memory into our own storage: one tight loop per column,
// no Python object per value, any memory order.

#include <cstdint>
#include <vector>

#include "bindings/python/numpy_api.hpp"

namespace arborvane::python {

// `object` as an array when it is a NumPy array of a directly readable element type with
// `ndim` dimensions; null otherwise (never an error).
PyArrayObject* direct_array(PyObject* object, int ndim);

// A 1-D array, or a 2-D array read in logical (row-major) order.
std::vector<double> read_array_values(PyArrayObject* array);

// A 2-D array as one vector per array column, each holding every row's value.
std::vector<std::vector<double>> read_array_columns(PyArrayObject* array);

// Reads `object` into `out` when it is a 1-D int64 or int32 array and returns true; returns
// false, leaving `out` alone, for anything else. A negative value raises ValueError
// "Sparse indices must be non-negative.".
bool read_index_array(PyObject* object, std::vector<std::uint64_t>& out);

}  // namespace arborvane::python
