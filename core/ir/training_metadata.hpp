#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace arborvane::core {

// The settings a model was trained with: what the model's accessors report and what its
// document's training_metadata section holds. Absent members are not written.
struct TrainingMetadata {
  std::string algorithm;  // "dt", "rf", "gbm"
  std::string task;       // "classification", "regression"
  std::string tree_type;  // "id3", "c45", "cart", "randomized", "oblivious"
  std::string criterion;  // "auto", "gini", "entropy", "mean", "median", "second_order"
  std::uint64_t canaries = 0;
  bool compute_oob = false;
  std::optional<std::uint64_t> max_depth;
  std::optional<std::uint64_t> min_samples_split;
  std::optional<std::uint64_t> min_samples_leaf;
  std::optional<std::uint64_t> n_trees;
  std::optional<std::uint64_t> max_features;
  std::optional<std::uint64_t> seed;
  std::optional<double> oob_score;
  std::optional<std::vector<double>> class_labels;
  std::optional<double> learning_rate;
  std::optional<bool> bootstrap;
  std::optional<double> top_gradient_fraction;
  std::optional<double> other_gradient_fraction;

  friend bool operator==(const TrainingMetadata&, const TrainingMetadata&) = default;
};

}  // namespace arborvane::core
