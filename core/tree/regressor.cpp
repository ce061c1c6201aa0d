#include "core/tree/regressor.hpp"

#include <cmath>
#include <string>

#include "core/tree/regression_growth.hpp"
#include "core/tree/regression_split.hpp"
#include "core/tree/tree_metadata.hpp"
#include "platform/check.hpp"

namespace arborvane::core {

namespace {

void check_regression_criterion(Criterion criterion) {
  AV_CHECK(criterion == Criterion::Mean || criterion == Criterion::Median,
           "regression criterion only supports mean or median");
}

std::vector<double> gather(std::span<const RowIndex> rows, std::span<const double> targets) {
  std::vector<double> values;
  values.reserve(rows.size());
  for (const RowIndex row : rows) {
    AV_CHECK(row < targets.size(), "row index within the targets");
    values.push_back(targets[row]);
  }
  return values;
}

// The binned value of a resolved column, as `TableAccess::binned_value` reports it.
std::uint16_t read_bin(const data::BinnedColumnView& column, std::uint64_t row) {
  using Layout = data::BinnedColumnView::Layout;
  const std::uint64_t at = column.storage_row(row);
  switch (column.layout) {
    case Layout::U8:
      return column.u8[at];
    case Layout::U16:
      return column.u16[at];
    case Layout::Bits:
      return static_cast<std::uint16_t>((column.bits[at >> 6] >> (at & 63)) & 1U);
    case Layout::Sparse:
      return column.value(row);
  }
  internal_failure("unknown binned column layout");
}

// Walks a standard tree for one row; `bin(node, feature)` reads the split feature's bin.
template <class ReadBin>
double walk(const StandardRegressionTree& tree, ReadBin&& bin) {
  std::uint64_t index = tree.root;
  for (;;) {
    AV_CHECK(index < tree.nodes.size(), "tree node index within the arena");
    const RegressionNode& node = tree.nodes[index];
    if (const auto* leaf = std::get_if<regression_node::Leaf>(&node)) return leaf->value;
    const auto& split = std::get<regression_node::BinarySplit>(node);
    index = bin(index, split.feature_index) > split.threshold_bin ? split.right_child
                                                                  : split.left_child;
  }
}

// The leaf an oblivious tree sends a row to: the first level is the most significant bit.
template <class ReadBin>
double oblivious_value(const ObliviousRegressionTree& tree, ReadBin&& bin) {
  std::uint64_t leaf = 0;
  for (std::size_t level = 0; level < tree.levels.size(); ++level) {
    const ObliviousLevel& split = tree.levels[level];
    leaf = (leaf << 1) | (bin(level, split.feature_index) > split.threshold_bin ? 1U : 0U);
  }
  AV_CHECK(leaf < tree.leaf_values.size(), "leaf index within the leaf lists");
  return tree.leaf_values[leaf];
}

}  // namespace

std::expected<DecisionTreeRegressor, LearnerError> train_regressor(
    const data::TableAccess& table, TreeType algorithm, Criterion criterion,
    platform::ThreadPool* pool, const DecisionTreeOptions& options) {
  check_regression_criterion(criterion);
  const bool oblivious =
      grows_level_wise(algorithm, "regression tree type only supports cart, randomized or oblivious");
  const std::uint64_t n = table.n_rows();
  if (n == 0) return std::unexpected(LearnerError{LearnerError::EmptyTarget{}});
  std::vector<double> targets(n);
  for (std::uint64_t row = 0; row < n; ++row) {
    targets[row] = table.target_value(row);
    if (!std::isfinite(targets[row])) {
      return std::unexpected(LearnerError{LearnerError::InvalidTargetValue{row, targets[row]}});
    }
  }

  const auto problem =
      regression_growth::Problem::resolve(table, algorithm, criterion, pool, options);
  regression_growth::RowBuffer buffer(std::move(targets));
  DecisionTreeRegressor model;
  if (oblivious) {
    model.structure = regression_growth::grow_oblivious_tree(problem, buffer);
  } else {
    model.structure = regression_growth::grow_standard_tree(problem, buffer);
  }
  model.options = options;
  model.feature_preprocessing = table.feature_preprocessing();
  model.n_features = table.n_features();
  model.canaries = table.canaries();
  model.algorithm = algorithm;
  model.criterion = criterion;
  return model;
}

double DecisionTreeRegressor::predict_row(const data::TableAccess& table,
                                          std::uint64_t row) const {
  auto bin = [&](std::uint64_t, std::uint64_t feature) { return table.binned_value(feature, row); };
  if (const auto* tree = std::get_if<StandardRegressionTree>(&structure)) return walk(*tree, bin);
  return oblivious_value(std::get<ObliviousRegressionTree>(structure), bin);
}

std::vector<double> DecisionTreeRegressor::predict_table(const data::TableAccess& table) const {
  const std::uint64_t n = table.n_rows();
  std::vector<double> predictions(n);
  if (const auto* tree = std::get_if<StandardRegressionTree>(&structure)) {
    // One resolved column per split node, indexed like the arena.
    std::vector<data::BinnedColumnView> columns(tree->nodes.size());
    for (std::size_t i = 0; i < tree->nodes.size(); ++i) {
      if (const auto* split = std::get_if<regression_node::BinarySplit>(&tree->nodes[i])) {
        columns[i] = table.binned_column_view(split->feature_index);
      }
    }
    for (std::uint64_t row = 0; row < n; ++row) {
      predictions[row] = walk(*tree, [&](std::uint64_t node, std::uint64_t) {
        return read_bin(columns[node], row);
      });
    }
    return predictions;
  }
  const auto& tree = std::get<ObliviousRegressionTree>(structure);
  std::vector<data::BinnedColumnView> columns;
  columns.reserve(tree.levels.size());
  for (const ObliviousLevel& level : tree.levels) {
    columns.push_back(table.binned_column_view(level.feature_index));
  }
  for (std::uint64_t row = 0; row < n; ++row) {
    predictions[row] = oblivious_value(tree, [&](std::size_t level, std::uint64_t) {
      return read_bin(columns[level], row);
    });
  }
  return predictions;
}

TrainingMetadata DecisionTreeRegressor::training_metadata() const {
  return single_tree_metadata(Task::Regression, algorithm, criterion, canaries, options);
}

double regression_loss(std::span<const RowIndex> rows, std::span<const double> targets,
                       Criterion criterion) {
  check_regression_criterion(criterion);
  std::vector<double> scratch;
  return loss_of(gather(rows, targets), criterion, scratch);
}

double median(std::span<const RowIndex> rows, std::span<const double> targets) {
  std::vector<double> scratch;
  return median_of(gather(rows, targets), scratch);
}

}  // namespace arborvane::core
