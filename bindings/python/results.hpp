#pragma once

// Core results as NumPy arrays. Float arrays take ownership of the result buffer: no copy.

#include <cstdint>
#include <string>
#include <vector>

#include "bindings/python/py_ref.hpp"

namespace arborvane::python {

// A 1-D float64 array over `values`.
PyRef float_array(std::vector<double> values);

// A 2-D float64 array of `n_rows` x `n_columns` over row-major `values`.
PyRef float_matrix(std::vector<double> values, std::uint64_t n_rows, std::uint64_t n_columns);

// numpy.array of the labels that the predictions name: each prediction is truncated toward
// zero into a label index (negative values and NaN give 0, too large values saturate). An index
// past the labels raises ValueError.
PyRef label_array(const std::vector<double>& predictions, const std::vector<std::string>& labels);

}  // namespace arborvane::python
