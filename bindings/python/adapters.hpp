#pragma once

// Input adapters: turn whatever the caller passes as features or targets (NumPy arrays, nested
// sequences, pandas / polars / pyarrow objects, sparse matrices, column dictionaries, our own
// Table) into the plain forms the core takes. Objects are recognised by the attributes they
// have, probed in a fixed order; no data-frame library is imported. A probed method that raises
// stops the adapter with its exception. Everything here runs with the interpreter lock held.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bindings/python/py_ref.hpp"
#include "data/table.hpp"

namespace arborvane::python {

// Rows as iterated from the caller's object; not checked for equal length (the table
// builders report ragged rows).
struct MatrixRows {
  std::vector<std::vector<double>> rows;
};

// A rectangular matrix held column by column, as read from arrays and column dictionaries.
// Every column has `n_rows` values; a matrix without rows has no columns, so it always means
// the same table as its rows would.
struct MatrixColumns {
  std::vector<std::vector<double>> columns;
  std::uint64_t n_rows = 0;
};

// A feature matrix in whichever form reading produced; both forms build identical tables.
struct FeatureMatrix {
  std::variant<MatrixRows, MatrixColumns> form;

  std::uint64_t n_rows() const;
};

// Named columns, ordered by name (byte-wise), as prediction looks them up.
using NamedColumns = std::map<std::string, std::vector<double>>;

// Per column, the rows holding 1, in the order the sparse matrix reports its entries.
struct SparseBinaryColumns {
  std::uint64_t n_rows = 0;
  std::uint64_t n_columns = 0;
  std::vector<std::vector<std::uint64_t>> columns;
};

// Targets as numbers, with the class labels when the caller gave strings (target i is then
// the index of its label).
struct TrainingTargets {
  std::vector<double> values;
  std::optional<std::vector<std::string>> labels;
};

struct EncodedLabels {
  std::vector<double> codes;
  std::vector<std::string> labels;
};

// What prediction consumes: the caller's Table (shared, tables are immutable), a feature
// matrix, named columns, or sparse binary columns.
using InferenceInput = std::variant<std::shared_ptr<const data::Table>, FeatureMatrix,
                                    NamedColumns, SparseBinaryColumns>;

// A bool (Python or NumPy) as 1.0 / 0.0; anything else through float conversion.
double extract_scalar(PyObject* value);

std::vector<double> extract_vector(PyObject* y);
FeatureMatrix extract_matrix(PyObject* x);
FeatureMatrix extract_matrix_from_rows(PyObject* x);
FeatureMatrix extract_matrix_from_columns(PyObject* columns);
NamedColumns extract_named_columns(PyObject* x);

// True for a SciPy-style sparse matrix: the object has both `getnnz` and `nonzero`.
bool is_sparse_matrix(PyObject* x);
SparseBinaryColumns extract_sparse_binary_columns(PyObject* x);
std::vector<std::uint64_t> extract_index_vector(PyObject* v);

TrainingTargets extract_training_targets(PyObject* y);
// Labels numbered in order of first appearance.
EncodedLabels encode_string_labels(const std::vector<std::string>& values);

InferenceInput build_inference_input(PyObject* x);

std::uint64_t row_count(PyObject* frame);
bool is_polars_lazyframe(PyObject* x);

}  // namespace arborvane::python
