#pragma once

#include <cstdint>
#include <expected>
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

namespace classifier_node {
struct Leaf {
  std::vector<std::uint64_t> class_counts;
  std::uint64_t class_index = 0;  // majority: largest count, lowest index on ties
  std::uint64_t sample_count = 0;

  friend bool operator==(const Leaf&, const Leaf&) = default;
};
struct BinarySplit {
  std::vector<std::uint64_t> class_counts;
  std::uint64_t feature_index = 0;
  std::uint16_t threshold_bin = 0;
  std::uint64_t left_child = 0;
  std::uint64_t right_child = 0;
  std::uint64_t sample_count = 0;
  double impurity = 0.0;
  double gain = 0.0;

  friend bool operator==(const BinarySplit&, const BinarySplit&) = default;
};
struct MultiwayBranch {
  std::uint16_t bin = 0;
  std::uint64_t child = 0;

  friend bool operator==(const MultiwayBranch&, const MultiwayBranch&) = default;
};
struct MultiwaySplit {
  std::vector<MultiwayBranch> branches;  // ascending by bin
  std::vector<std::uint64_t> class_counts;
  std::uint64_t feature_index = 0;
  std::uint64_t class_index = 0;  // answer for a bin without a branch
  std::uint64_t sample_count = 0;
  double impurity = 0.0;
  double gain = 0.0;

  friend bool operator==(const MultiwaySplit&, const MultiwaySplit&) = default;
};
}  // namespace classifier_node

using TreeNode = std::variant<classifier_node::Leaf, classifier_node::BinarySplit,
                              classifier_node::MultiwaySplit>;

// Nodes in post-order (children before parents); the root is the last node.
struct StandardClassificationTree {
  std::vector<TreeNode> nodes;
  std::uint64_t root = 0;

  friend bool operator==(const StandardClassificationTree&,
                         const StandardClassificationTree&) = default;
};

struct ObliviousClassificationTree {
  std::vector<ObliviousLevel> levels;
  std::vector<std::vector<std::uint64_t>> leaf_class_counts;
  std::vector<std::uint64_t> leaf_class_indices;
  std::vector<std::uint64_t> leaf_sample_counts;

  friend bool operator==(const ObliviousClassificationTree&,
                         const ObliviousClassificationTree&) = default;
};

using TreeStructure = std::variant<StandardClassificationTree, ObliviousClassificationTree>;

class DecisionTreeClassifier {
 public:
  DecisionTreeOptions options;
  std::vector<double> class_labels;  // distinct targets, ascending in IEEE-754 total order
  std::vector<data::FeaturePreprocessing> feature_preprocessing;
  TreeStructure structure;
  std::uint64_t n_features = 0;
  std::uint64_t canaries = 0;
  TreeType tree_type = TreeType::Cart;
  Criterion criterion = Criterion::Gini;  // Gini or Entropy

  double predict_row(const data::TableAccess& table, std::uint64_t row) const;
  std::vector<double> predict_proba_row(const data::TableAccess& table, std::uint64_t row) const;
  // Every row of the table through resolved columns; equal to the per-row operations.
  std::vector<double> predict_table(const data::TableAccess& table) const;
  // Row-major probabilities: row r's class c at [r * class_labels.size() + c].
  std::vector<double> predict_proba_table(const data::TableAccess& table) const;

  TrainingMetadata training_metadata() const;
  // The tree as a document record: its nodes (or levels and leaves) with their statistics.
  ir::TreeDefinition to_ir_tree() const;

  friend bool operator==(const DecisionTreeClassifier&, const DecisionTreeClassifier&) = default;
};

std::expected<DecisionTreeClassifier, LearnerError> train_classifier(
    const data::TableAccess& table, TreeType tree_type, Criterion criterion,
    platform::ThreadPool* pool, const DecisionTreeOptions& options);

// Impurity of class counts with total > 0: Gini 1 - sum p^2, Entropy -sum p log2 p.
double classification_impurity(std::span<const std::uint64_t> counts, Criterion criterion);

}  // namespace arborvane::core
