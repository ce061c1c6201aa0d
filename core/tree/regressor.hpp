#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/ir/document.hpp"
#include "core/ir/training_metadata.hpp"
#include "core/tree/learner.hpp"
#include "core/tree/options.hpp"
#include "data/binning.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {

namespace regression_node {
struct Leaf {
  double value = 0.0;  // mean (Mean) or median (Median) of the node's targets
  std::uint64_t sample_count = 0;
  std::optional<double> variance;  // absent only for a node without rows

  friend bool operator==(const Leaf&, const Leaf&) = default;
};
struct BinarySplit {
  std::uint64_t feature_index = 0;  // a real feature: rows with bin <= threshold_bin go left
  std::uint16_t threshold_bin = 0;  // 0 for a binary feature
  std::uint64_t left_child = 0;
  std::uint64_t right_child = 0;
  std::uint64_t sample_count = 0;
  double impurity = 0.0;
  double gain = 0.0;
  double variance = 0.0;

  friend bool operator==(const BinarySplit&, const BinarySplit&) = default;
};
}  // namespace regression_node

using RegressionNode = std::variant<regression_node::Leaf, regression_node::BinarySplit>;

// Nodes in post-order (children before parents); the root is the last node.
struct StandardRegressionTree {
  std::vector<RegressionNode> nodes;
  std::uint64_t root = 0;

  friend bool operator==(const StandardRegressionTree&, const StandardRegressionTree&) = default;
};

// One shared split per level; a row's leaf is the bits of its decisions, first level first.
struct ObliviousRegressionTree {
  std::vector<ObliviousLevel> levels;
  std::vector<double> leaf_values;
  std::vector<std::uint64_t> leaf_sample_counts;
  std::vector<std::optional<double>> leaf_variances;

  friend bool operator==(const ObliviousRegressionTree&, const ObliviousRegressionTree&) = default;
};

using RegressionTreeStructure = std::variant<StandardRegressionTree, ObliviousRegressionTree>;

class DecisionTreeRegressor {
 public:
  DecisionTreeOptions options;
  std::vector<data::FeaturePreprocessing> feature_preprocessing;
  RegressionTreeStructure structure;
  std::uint64_t n_features = 0;
  std::uint64_t canaries = 0;
  TreeType algorithm = TreeType::Cart;     // Cart, Randomized or Oblivious
  Criterion criterion = Criterion::Mean;  // Mean, Median (SecondOrder for boosting's trees)

  // Reads binned_value of the given table (training table, view or inference table).
  double predict_row(const data::TableAccess& table, std::uint64_t row) const;
  // Every row of the table, reading resolved columns; equals predict_row row by row.
  std::vector<double> predict_table(const data::TableAccess& table) const;

  TrainingMetadata training_metadata() const;
  // The tree as a document record: its nodes (or levels and leaves) with their statistics.
  ir::TreeDefinition to_ir_tree() const;

  friend bool operator==(const DecisionTreeRegressor&, const DecisionTreeRegressor&) = default;
};

// Grows one regression tree over the binned features of `table`. `pool` is the training pool
// (null for one thread); with a pool the candidate features of a node are scored in parallel,
// with results identical to one thread.
std::expected<DecisionTreeRegressor, LearnerError> train_regressor(
    const data::TableAccess& table, TreeType algorithm, Criterion criterion,
    platform::ThreadPool* pool, const DecisionTreeOptions& options);

// Loss of a set of targets: Mean = sum of squared deviations from the mean (two passes),
// Median = sum of absolute deviations from the median. No rows give -0.0.
double regression_loss(std::span<const RowIndex> rows, std::span<const double> targets,
                       Criterion criterion);
// Middle target (mean of the two middle ones for an even count); 0.0 without rows.
double median(std::span<const RowIndex> rows, std::span<const double> targets);

}  // namespace arborvane::core
