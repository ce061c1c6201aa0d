#include "bindings/python/adapters.hpp"

#include <string_view>
#include <unordered_map>
#include <utility>

#include "bindings/python/allocation.hpp"
#include "bindings/python/errors.hpp"
#include "bindings/python/numpy_api.hpp"
#include "bindings/python/numpy_read.hpp"
#include "bindings/python/table_type.hpp"

namespace arborvane::python {

namespace {

constexpr std::string_view kTargetShapeError =
    "Target arrays must be one-dimensional or have a single row/column.";

// The TypeError the interpreter gives when an object is not of the concrete type needed.
[[noreturn]] void raise_not_convertible(PyObject* value, std::string_view target) {
  std::string message = "'";
  message += Py_TYPE(value)->tp_name;
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  raise(PyExc_TypeError, message);
}

template <class Visit>
void for_each_item(PyObject* iterable, Visit&& visit) {
  PyRef iterator = checked(PyObject_GetIter(iterable));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    visit(item.get());
  }
  if (PyErr_Occurred() != nullptr) {
    throw PythonError{};
  }
}

std::vector<double> iterate_values(PyObject* iterable) {
  std::vector<double> values;
  for_each_item(iterable, [&](PyObject* item) { values.push_back(extract_scalar(item)); });
  return values;
}

std::uint64_t to_unsigned(PyObject* value) {
  PyRef index = checked(PyNumber_Index(value));
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    throw PythonError{};
  }
  return result;
}

// A shape attribute as a sequence; a str is refused although it is one.
PyRef shape_sequence(PyObject* shape) {
  if (PyUnicode_Check(shape)) {
    raise_not_convertible(shape, "Sequence");
  }
  return checked(PySequence_Fast(shape, "shape must be a sequence"));
}

std::string utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    throw PythonError{};
  }
  return std::string(data, static_cast<std::size_t>(size));
}

bool is_sequence_list(PyObject* value) { return PyList_Check(value) || PyTuple_Check(value); }

bool all_str(PyObject* fast_sequence) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast_sequence);
  PyObject** items = PySequence_Fast_ITEMS(fast_sequence);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyUnicode_Check(items[i])) {
      return false;
    }
  }
  return true;
}

void append_utf8(PyObject* fast_sequence, std::vector<std::string>& out) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast_sequence);
  PyObject** items = PySequence_Fast_ITEMS(fast_sequence);
  for (Py_ssize_t i = 0; i < n; ++i) {
    out.push_back(utf8(items[i]));
  }
}

// The strings of `value` when it is a list (or tuple) of str, or a list of lists of str that
// forms a single row or a single column; none otherwise. A list without any string is not
// string targets. Runs no Python code, so the borrowed items stay valid.
std::optional<std::vector<std::string>> string_targets(PyObject* value) {
  if (!is_sequence_list(value) || PySequence_Fast_GET_SIZE(value) == 0) {
    return std::nullopt;
  }
  std::vector<std::string> strings;
  if (all_str(value)) {
    append_utf8(value, strings);
    return strings;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
  PyObject** rows = PySequence_Fast_ITEMS(value);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!is_sequence_list(rows[i]) || !all_str(rows[i])) {
      return std::nullopt;
    }
  }
  if (n == 1) {
    append_utf8(rows[0], strings);
  } else {
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (PySequence_Fast_GET_SIZE(rows[i]) != 1) {
        raise(PyExc_ValueError, kTargetShapeError);
      }
      append_utf8(rows[i], strings);
    }
  }
  if (strings.empty()) {
    return std::nullopt;
  }
  return strings;
}

TrainingTargets encoded_targets(const std::vector<std::string>& strings) {
  EncodedLabels encoded = encode_string_labels(strings);
  return {std::move(encoded.codes), std::move(encoded.labels)};
}

// A NumPy array whose `tolist` can only give numbers, never strings.
bool is_numeric_array(PyObject* value) {
  if (!PyArray_Check(value)) {
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  return PyArray_ISBOOL(array) || PyArray_ISNUMBER(array);
}

FeatureMatrix matrix_from_array(PyArrayObject* array) {
  const auto n_rows = static_cast<std::uint64_t>(PyArray_DIM(array, 0));
  return {MatrixColumns{read_array_columns(array), n_rows}};
}

// build_inference_input tries one reading after another and drops the failures; an interrupt
// (an exception outside Exception) still stops it.
void discard_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) {
    throw PythonError{};
  }
  PyErr_Clear();
}

}  // namespace

std::uint64_t FeatureMatrix::n_rows() const {
  if (const auto* rows = std::get_if<MatrixRows>(&form)) {
    return rows->rows.size();
  }
  return std::get<MatrixColumns>(form).n_rows;
}

double extract_scalar(PyObject* value) {
  if (PyFloat_CheckExact(value)) {
    return PyFloat_AS_DOUBLE(value);
  }
  if (PyBool_Check(value)) {
    return value == Py_True ? 1.0 : 0.0;
  }
  if (PyArray_IsScalar(value, Bool)) {
    return PyArrayScalar_VAL(value, Bool) != 0 ? 1.0 : 0.0;
  }
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred() != nullptr) {
    throw PythonError{};
  }
  return result;
}

std::vector<double> extract_vector(PyObject* y) {
  RecursionGuard guard(" while reading a vector");
  if (PyArrayObject* array = direct_array(y, 1)) {
    return read_array_values(array);
  }
  if (PyArrayObject* array = direct_array(y, 2)) {
    if (PyArray_DIM(array, 0) != 1 && PyArray_DIM(array, 1) != 1) {
      raise(PyExc_ValueError, kTargetShapeError);
    }
    return read_array_values(array);
  }
  for (const char* method : {"toarray", "todense"}) {
    if (PyRef bound = optional_attr(y, method)) {
      return extract_vector(call(bound).get());
    }
  }
  if (PyRef bound = optional_attr(y, "__array__")) {
    PyRef array = call(bound);
    if (array.get() == y) {
      return iterate_values(y);
    }
    return extract_vector(array.get());
  }
  for (const char* method : {"to_numpy", "to_pylist"}) {
    if (PyRef bound = optional_attr(y, method)) {
      return extract_vector(call(bound).get());
    }
  }
  return iterate_values(y);
}

FeatureMatrix extract_matrix(PyObject* x) {
  RecursionGuard guard(" while reading a feature matrix");
  if (PyRef bound = optional_attr(x, "collect")) {
    return extract_matrix(call(bound).get());
  }
  if (PyArrayObject* array = direct_array(x, 2)) {
    return matrix_from_array(array);
  }
  for (const char* method : {"toarray", "todense"}) {
    if (PyRef bound = optional_attr(x, method)) {
      return extract_matrix(call(bound).get());
    }
  }
  if (PyRef bound = optional_attr(x, "__array__")) {
    PyRef array = call(bound);
    if (array.get() == x) {
      return extract_matrix_from_rows(x);
    }
    return extract_matrix(array.get());
  }
  if (PyRef bound = optional_attr(x, "to_numpy")) {
    return extract_matrix(call(bound).get());
  }
  if (PyRef bound = optional_attr(x, "to_pydict")) {
    return extract_matrix_from_columns(call(bound).get());
  }
  if (PyRef bound = optional_attr(x, "to_pylist")) {
    return extract_matrix_from_rows(call(bound).get());
  }
  return extract_matrix_from_rows(x);
}

FeatureMatrix extract_matrix_from_rows(PyObject* x) {
  MatrixRows matrix;
  for_each_item(x, [&](PyObject* row) {
    // Array rows (a list of 1-D arrays) are read directly; the values are those iteration gives.
    if (PyArrayObject* array = direct_array(row, 1)) {
      matrix.rows.push_back(read_array_values(array));
    } else {
      matrix.rows.push_back(iterate_values(row));
    }
  });
  return {std::move(matrix)};
}

FeatureMatrix extract_matrix_from_columns(PyObject* columns) {
  if (!PyDict_Check(columns)) {
    raise_not_convertible(columns, "dict");
  }
  // A snapshot, since reading a column may run Python code that changes the dict.
  PyRef values = checked(PyDict_Values(columns));
  MatrixColumns matrix;
  const Py_ssize_t n = PyList_GET_SIZE(values.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    matrix.columns.push_back(extract_vector(PyList_GET_ITEM(values.get(), i)));
  }
  if (!matrix.columns.empty()) {
    matrix.n_rows = matrix.columns.front().size();
    for (const auto& column : matrix.columns) {
      if (column.size() != matrix.n_rows) {
        raise(PyExc_ValueError, "Column-oriented input must contain equally sized columns.");
      }
    }
  }
  if (matrix.n_rows == 0) {
    matrix.columns.clear();  // equal empty columns transpose to no rows at all
  }
  return {std::move(matrix)};
}

NamedColumns extract_named_columns(PyObject* x) {
  RecursionGuard guard(" while reading named columns");
  if (PyRef bound = optional_attr(x, "collect")) {
    return extract_named_columns(call(bound).get());
  }
  if (!PyDict_Check(x)) {
    raise(PyExc_TypeError, "Input is not a named-column mapping.");
  }
  PyRef items = checked(PyDict_Items(x));
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  auto key = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0); };
  auto value = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1); };
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyUnicode_Check(key(i))) {
      raise_not_convertible(key(i), "str");
    }
  }
  // A dict of scalars is a single row.
  bool scalars = false;
  if (n > 0) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(value(0)));
    if (!iterator) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw PythonError{};
      }
      PyErr_Clear();
      scalars = true;
    }
  }
  NamedColumns columns;
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::vector<double> values =
        scalars ? std::vector<double>{extract_scalar(value(i))} : extract_vector(value(i));
    columns.insert_or_assign(utf8(key(i)), std::move(values));
  }
  return columns;
}

bool is_sparse_matrix(PyObject* x) { return has_attr(x, "getnnz") && has_attr(x, "nonzero"); }

SparseBinaryColumns extract_sparse_binary_columns(PyObject* x) {
  SparseBinaryColumns result;
  {
    PyRef shape = shape_sequence(checked(PyObject_GetAttrString(x, "shape")).get());
    if (PySequence_Fast_GET_SIZE(shape.get()) != 2) {
      raise(PyExc_ValueError, "Sparse inputs must be two-dimensional.");
    }
    result.n_rows = to_unsigned(PySequence_Fast_GET_ITEM(shape.get(), 0));
    result.n_columns = to_unsigned(PySequence_Fast_GET_ITEM(shape.get(), 1));
  }
  const std::vector<double> data = extract_vector(checked(PyObject_GetAttrString(x, "data")).get());
  for (const double value : data) {
    if (value != 1.0) {
      raise(PyExc_ValueError,
            "SparseTable requires binary sparse inputs with stored values equal to 1.");
    }
  }
  PyRef pair = call_method(x, "nonzero");
  if (!is_sequence_list(pair.get()) || PySequence_Fast_GET_SIZE(pair.get()) != 2) {
    raise(PyExc_TypeError, "nonzero() must return a pair of index arrays.");
  }
  // Hold both arrays: reading the first may run code that drops the pair's items.
  PyRef row_object = PyRef::borrow(PySequence_Fast_GET_ITEM(pair.get(), 0));
  PyRef column_object = PyRef::borrow(PySequence_Fast_GET_ITEM(pair.get(), 1));
  const std::vector<std::uint64_t> rows = extract_index_vector(row_object.get());
  const std::vector<std::uint64_t> cols = extract_index_vector(column_object.get());
  if (rows.size() != cols.size() || rows.size() != data.size()) {
    raise(PyExc_ValueError, "Sparse input metadata is inconsistent.");
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i] >= result.n_rows || cols[i] >= result.n_columns) {
      raise(PyExc_ValueError, "Sparse input indices are out of bounds.");
    }
  }
  // The column count is only claimed by `shape`; refuse a claim no machine could hold.
  ensure_allocatable(result.n_columns, sizeof(std::vector<std::uint64_t>),
                     "A sparse matrix of " + std::to_string(result.n_columns) + " columns");
  std::vector<std::uint64_t> counts(result.n_columns, 0);
  for (const std::uint64_t col : cols) {
    ++counts[col];
  }
  result.columns.resize(result.n_columns);
  for (std::uint64_t j = 0; j < result.n_columns; ++j) {
    result.columns[j].reserve(counts[j]);
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    result.columns[cols[i]].push_back(rows[i]);
  }
  return result;
}

std::vector<std::uint64_t> extract_index_vector(PyObject* v) {
  std::vector<std::uint64_t> indices;
  if (read_index_array(v, indices)) {
    return indices;
  }
  for_each_item(v, [&](PyObject* item) {
    PyRef index = checked(PyNumber_Index(item));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred() != nullptr) {
      throw PythonError{};
    }
    if (overflow < 0 || (overflow == 0 && value < 0)) {
      raise(PyExc_ValueError, "Sparse indices must be non-negative.");
    }
    indices.push_back(overflow == 0 ? static_cast<std::uint64_t>(value) : to_unsigned(index.get()));
  });
  return indices;
}

TrainingTargets extract_training_targets(PyObject* y) {
  if (PyRef bound = optional_attr(y, "to_pylist")) {
    PyRef list = call(bound);
    if (auto strings = string_targets(list.get())) {
      return encoded_targets(*strings);
    }
  }
  // A numeric array's list could hold no strings; skip building it.
  if (!is_numeric_array(y)) {
    if (PyRef bound = optional_attr(y, "tolist")) {
      PyRef list = call(bound);
      if (auto strings = string_targets(list.get())) {
        return encoded_targets(*strings);
      }
    }
  }
  // Plain lists and tuples of strings are labels too, exactly like a string array.
  if (auto strings = string_targets(y)) {
    return encoded_targets(*strings);
  }
  return {extract_vector(y), std::nullopt};
}

EncodedLabels encode_string_labels(const std::vector<std::string>& values) {
  EncodedLabels encoded;
  encoded.codes.reserve(values.size());
  std::unordered_map<std::string_view, std::size_t> index;  // views into `values`
  for (const std::string& value : values) {
    const auto [entry, inserted] = index.try_emplace(value, encoded.labels.size());
    if (inserted) {
      encoded.labels.push_back(value);
    }
    encoded.codes.push_back(static_cast<double>(entry->second));
  }
  return encoded;
}

InferenceInput build_inference_input(PyObject* x) {
  if (is_table(x)) {
    return table_of(x);
  }
  if (is_sparse_matrix(x)) {
    return extract_sparse_binary_columns(x);
  }
  try {
    return extract_matrix(x);
  } catch (const PythonError&) {
    discard_error();
  }
  try {
    std::vector<double> row = extract_vector(x);
    MatrixRows single_row;
    single_row.rows.push_back(std::move(row));
    return FeatureMatrix{std::move(single_row)};
  } catch (const PythonError&) {
    discard_error();
  }
  try {
    return extract_named_columns(x);
  } catch (const PythonError&) {
    discard_error();
  }
  raise(PyExc_TypeError, "Input could not be interpreted as rows or named columns.");
}

std::uint64_t row_count(PyObject* frame) {
  if (PyRef height = optional_attr(frame, "height")) {
    return to_unsigned(height.get());
  }
  if (PyRef shape = optional_attr(frame, "shape")) {
    PyRef sequence = shape_sequence(shape.get());
    if (PySequence_Fast_GET_SIZE(sequence.get()) == 0) {
      return 0;
    }
    return to_unsigned(PySequence_Fast_GET_ITEM(sequence.get(), 0));
  }
  const Py_ssize_t length = PyObject_Length(frame);
  if (length < 0) {
    throw PythonError{};
  }
  return static_cast<std::uint64_t>(length);
}

bool is_polars_lazyframe(PyObject* x) {
  if (!has_attr(x, "collect") || !has_attr(x, "slice")) {
    return false;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(x));
  PyRef name = checked(PyObject_GetAttrString(type, "__name__"));
  PyRef module = checked(PyObject_GetAttrString(type, "__module__"));
  if (!PyUnicode_Check(name.get()) || !PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(name.get(), "LazyFrame") != 0) {
    return false;
  }
  PyRef prefix = checked(PyUnicode_FromString("polars"));
  const Py_ssize_t starts = PyUnicode_Tailmatch(module.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
  if (starts < 0) {
    throw PythonError{};
  }
  return starts == 1;
}

}  // namespace arborvane::python
