#include "bindings/python/training_table.hpp"

#include <string>
#include <utility>
#include <variant>

#include "bindings/python/adapters.hpp"
#include "bindings/python/allocation.hpp"
#include "bindings/python/errors.hpp"
#include "bindings/python/table_type.hpp"

namespace arborvane::python {

namespace {

using TableResult = std::expected<data::Table, data::DenseTableError>;

std::uint64_t feature_count(const FeatureMatrix& matrix) {
  if (const auto* rows = std::get_if<MatrixRows>(&matrix.form)) {
    return rows->rows.empty() ? 0 : rows->rows.front().size();
  }
  return std::get<MatrixColumns>(matrix.form).columns.size();
}

// A lower bound of what the binned columns of a table take (their kinds and column records),
// so an absurd canary count fails here instead of overflowing counts inside construction.
void ensure_table_fits(std::uint64_t n_features, std::uint64_t canaries) {
  const std::string what = "A table of " + std::to_string(n_features) + " features with " +
                           std::to_string(canaries) + " canary copies";
  std::uint64_t copies = 0;
  if (__builtin_add_overflow(canaries, std::uint64_t{1}, &copies)) {
    raise_memory_error(what);
  }
  ensure_allocatable(checked_product(n_features, copies, what),
                     sizeof(data::BinnedColumnKind) + sizeof(data::SparseBinaryColumn), what);
}

std::shared_ptr<const data::Table> shared_table(TableResult result) {
  if (!result) {
    raise_core_error(result.error());
  }
  return std::make_shared<const data::Table>(std::move(*result));
}

// Binning and canary shuffles touch no Python object, so they run without the lock; the
// inputs are moved in and released there too.
std::shared_ptr<const data::Table> dense_table(FeatureMatrix matrix, std::vector<double> targets,
                                               std::uint64_t canaries, data::NumericBins bins) {
  if (matrix.n_rows() == targets.size()) {
    ensure_table_fits(feature_count(matrix), canaries);
  }
  return shared_table(without_gil([&]() -> TableResult {
    if (auto* rows = std::get_if<MatrixRows>(&matrix.form)) {
      return data::Table::with_options(std::move(rows->rows), std::move(targets), canaries, bins);
    }
    auto& columns = std::get<MatrixColumns>(matrix.form);
    return data::Table::from_feature_columns_with_options(
        std::move(columns.columns), columns.n_rows, std::move(targets), canaries, bins);
  }));
}

std::shared_ptr<const data::Table> sparse_table(SparseBinaryColumns sparse,
                                                std::vector<double> targets,
                                                std::uint64_t canaries, data::NumericBins bins) {
  if (sparse.n_rows == targets.size()) {
    ensure_table_fits(sparse.n_columns, canaries);
  }
  return shared_table(without_gil([&] {
    return data::SparseTable::from_sparse_binary_columns_with_options(
        sparse.n_rows, sparse.n_columns, std::move(sparse.columns), std::move(targets), canaries,
        bins);
  }));
}

// Targets of a table built from features alone. The row count may come from a sparse
// matrix's `shape` alone, so it is checked before anything is reserved.
std::vector<double> zero_targets(std::uint64_t n_rows) {
  ensure_allocatable(n_rows, sizeof(double),
                     "Targets for " + std::to_string(n_rows) + " rows");
  return std::vector<double>(n_rows, 0.0);
}

}  // namespace

TrainingTable build_training_table(PyObject* x, PyObject* y, std::uint64_t canaries,
                                   data::NumericBins bins) {
  const bool has_y = y != nullptr && y != Py_None;
  if (is_table(x)) {
    if (has_y) {
      raise(PyExc_ValueError, "y must be omitted when x is already a Table.");
    }
    if (bins.kind == data::NumericBins::Kind::Fixed) {
      raise(PyExc_ValueError, "bins must be omitted when x is already a Table.");
    }
    return {table_of(x), std::nullopt};
  }
  if (!has_y) {
    raise(PyExc_ValueError, "y is required unless x is already a Table.");
  }
  if (is_sparse_matrix(x)) {
    SparseBinaryColumns columns = extract_sparse_binary_columns(x);
    TrainingTargets targets = extract_training_targets(y);
    return {sparse_table(std::move(columns), std::move(targets.values), canaries, bins),
            std::move(targets.labels)};
  }
  FeatureMatrix matrix = extract_matrix(x);
  TrainingTargets targets = extract_training_targets(y);
  return {dense_table(std::move(matrix), std::move(targets.values), canaries, bins),
          std::move(targets.labels)};
}

std::shared_ptr<const data::Table> build_feature_table(PyObject* x, data::NumericBins bins) {
  if (is_sparse_matrix(x)) {
    SparseBinaryColumns columns = extract_sparse_binary_columns(x);
    std::vector<double> targets = zero_targets(columns.n_rows);
    return sparse_table(std::move(columns), std::move(targets), 0, bins);
  }
  FeatureMatrix matrix = extract_matrix(x);
  std::vector<double> targets = zero_targets(matrix.n_rows());
  return dense_table(std::move(matrix), std::move(targets), 0, bins);
}

}  // namespace arborvane::python
