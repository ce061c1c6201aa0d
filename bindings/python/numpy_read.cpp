#include "bindings/python/numpy_read.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "bindings/python/allocation.hpp"
#include "bindings/python/errors.hpp"
#include "platform/check.hpp"

namespace arborvane::python {

namespace {

enum class ElementType : std::uint8_t { Float64, Bool, Int64, Int32 };

bool element_type_of(PyArrayObject* array, ElementType& out) {
  if (!PyArray_ISNOTSWAPPED(array)) {
    return false;  // a byte-swapped array is read element by element like any other
  }
  const int type = PyArray_TYPE(array);
  if (PyArray_EquivTypenums(type, NPY_FLOAT64)) {
    out = ElementType::Float64;
  } else if (type == NPY_BOOL) {
    out = ElementType::Bool;
  } else if (PyArray_EquivTypenums(type, NPY_INT64)) {
    out = ElementType::Int64;
  } else if (PyArray_EquivTypenums(type, NPY_INT32)) {
    out = ElementType::Int32;
  } else {
    return false;
  }
  return true;
}

// One element at `address`, converted to double; memcpy keeps unaligned arrays safe.
template <class Element>
double load(const char* address) {
  Element value;
  std::memcpy(&value, address, sizeof value);
  if constexpr (std::is_same_v<Element, npy_bool>) {
    return value != 0 ? 1.0 : 0.0;
  } else {
    return static_cast<double>(value);
  }
}

template <class Element>
void fill_values(PyArrayObject* array, std::vector<double>& out) {
  const char* data = PyArray_BYTES(array);
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp cols = PyArray_NDIM(array) == 2 ? PyArray_DIM(array, 1) : 1;
  const npy_intp col_stride = PyArray_NDIM(array) == 2 ? PyArray_STRIDE(array, 1) : 0;
  std::size_t k = 0;
  for (npy_intp i = 0; i < rows; ++i) {
    for (npy_intp j = 0; j < cols; ++j) {
      out[k++] = load<Element>(data + i * row_stride + j * col_stride);
    }
  }
}

template <class Element>
void fill_columns(PyArrayObject* array, std::vector<std::vector<double>>& columns) {
  const char* data = PyArray_BYTES(array);
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  // Blocks of rows keep a row-major array's cache lines hot while every column takes its part.
  constexpr npy_intp block = 64;
  for (npy_intp start = 0; start < rows; start += block) {
    const npy_intp stop = std::min(rows, start + block);
    for (npy_intp j = 0; j < cols; ++j) {
      double* column = columns[static_cast<std::size_t>(j)].data();
      const char* base = data + j * col_stride;
      for (npy_intp i = start; i < stop; ++i) {
        column[i] = load<Element>(base + i * row_stride);
      }
    }
  }
}

template <class Element>
void fill_indices(PyArrayObject* array, std::vector<std::uint64_t>& out) {
  const char* data = PyArray_BYTES(array);
  const npy_intp n = PyArray_DIM(array, 0);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  for (npy_intp i = 0; i < n; ++i) {
    Element value;
    std::memcpy(&value, data + i * stride, sizeof value);
    if (value < 0) {
      raise(PyExc_ValueError, "Sparse indices must be non-negative.");
    }
    out[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(value);
  }
}

std::uint64_t dim(PyArrayObject* array, int axis) {
  return static_cast<std::uint64_t>(PyArray_DIM(array, axis));
}

}  // namespace

PyArrayObject* direct_array(PyObject* object, int ndim) {
  if (!PyArray_Check(object)) {
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  ElementType type;
  if (PyArray_NDIM(array) != ndim || !element_type_of(array, type)) {
    return nullptr;
  }
  return array;
}

std::vector<double> read_array_values(PyArrayObject* array) {
  ElementType type;
  if (!element_type_of(array, type)) {
    internal_failure("read_array_values takes directly readable arrays");
  }
  // Broadcast arrays claim sizes their memory does not back.
  const std::uint64_t count = static_cast<std::uint64_t>(PyArray_SIZE(array));
  ensure_allocatable(count, sizeof(double), "An array of " + std::to_string(count) + " values");
  std::vector<double> out(count);
  switch (type) {
    case ElementType::Float64:
      fill_values<double>(array, out);
      break;
    case ElementType::Bool:
      fill_values<npy_bool>(array, out);
      break;
    case ElementType::Int64:
      fill_values<std::int64_t>(array, out);
      break;
    case ElementType::Int32:
      fill_values<std::int32_t>(array, out);
      break;
  }
  return out;
}

std::vector<std::vector<double>> read_array_columns(PyArrayObject* array) {
  ElementType type;
  if (!element_type_of(array, type) || PyArray_NDIM(array) != 2) {
    internal_failure("read_array_columns takes directly readable 2-D arrays");
  }
  const std::uint64_t rows = dim(array, 0);
  const std::uint64_t cols = dim(array, 1);
  if (rows == 0) {
    return {};  // no rows means no features, as for an empty list of rows
  }
  ensure_allocatable(checked_product(rows, cols, "A feature matrix"), sizeof(double),
                     "A feature matrix of " + std::to_string(rows) + " rows and " +
                         std::to_string(cols) + " columns");
  std::vector<std::vector<double>> columns(cols);
  for (auto& column : columns) {
    column.resize(rows);
  }
  switch (type) {
    case ElementType::Float64:
      fill_columns<double>(array, columns);
      break;
    case ElementType::Bool:
      fill_columns<npy_bool>(array, columns);
      break;
    case ElementType::Int64:
      fill_columns<std::int64_t>(array, columns);
      break;
    case ElementType::Int32:
      fill_columns<std::int32_t>(array, columns);
      break;
  }
  return columns;
}

bool read_index_array(PyObject* object, std::vector<std::uint64_t>& out) {
  PyArrayObject* array = direct_array(object, 1);
  ElementType type;
  if (array == nullptr || !element_type_of(array, type) ||
      (type != ElementType::Int64 && type != ElementType::Int32)) {
    return false;
  }
  const std::uint64_t n = dim(array, 0);
  ensure_allocatable(n, sizeof(std::uint64_t),
                     "An index array of " + std::to_string(n) + " values");
  out.assign(n, 0);
  switch (type) {
    case ElementType::Int64:
      fill_indices<std::int64_t>(array, out);
      break;
    case ElementType::Int32:
      fill_indices<std::int32_t>(array, out);
      break;
    case ElementType::Float64:
    case ElementType::Bool:
      break;  // refused above
  }
  return true;
}

}  // namespace arborvane::python
