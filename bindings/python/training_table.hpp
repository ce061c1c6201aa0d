#pragma once

// Building core training tables from Python features and targets, for `Table(...)` and
// `train(...)`.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/python/py_ref.hpp"
#include "data/table.hpp"

namespace arborvane::python {

struct TrainingTable {
  std::shared_ptr<const data::Table> table;
  // The class labels when the targets were strings; target i names labels[i].
  std::optional<std::vector<std::string>> labels;
};

// The table `train(x, y, canaries=..., bins=...)` learns from. `x` may be a Table (shared
// as is; then `y` must be absent and `bins` automatic), a sparse matrix, or any feature matrix.
// `y` null or None means absent. Construction errors raise ValueError with their text.
TrainingTable build_training_table(PyObject* x, PyObject* y, std::uint64_t canaries,
                                   data::NumericBins bins);

// A table of features alone: every target 0.0 and no canary columns. `x` is not a Table.
std::shared_ptr<const data::Table> build_feature_table(PyObject* x, data::NumericBins bins);

}  // namespace arborvane::python
