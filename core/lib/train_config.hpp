#pragma once

#include <cstdint>
#include <optional>

#include "core/tree/options.hpp"

namespace arborvane::core {

enum class TrainAlgorithm : std::uint8_t { Dt, Rf, Gbm };

// How many binned features a forest or boosting samples per split.
struct MaxFeatures {
  enum class Kind : std::uint8_t { Auto, All, Sqrt, Third, Count };
  Kind kind = Kind::Auto;
  std::uint64_t count = 0;  // Count only

  friend bool operator==(const MaxFeatures&, const MaxFeatures&) = default;
};

// Every training setting. Absent limits take their defaults when training starts.
struct TrainConfig {
  TrainAlgorithm algorithm = TrainAlgorithm::Dt;
  Task task = Task::Regression;
  TreeType tree_type = TreeType::Cart;
  Criterion criterion = Criterion::Auto;
  std::optional<std::uint64_t> max_depth;          // default 8
  std::optional<std::uint64_t> min_samples_split;  // default 2
  std::optional<std::uint64_t> min_samples_leaf;   // default 1
  std::optional<std::uint64_t> physical_cores;     // default: every physical core
  std::optional<std::uint64_t> n_trees;
  MaxFeatures max_features;
  std::optional<std::uint64_t> seed;
  bool compute_oob = false;
  std::optional<double> learning_rate;
  bool bootstrap = false;
  std::optional<double> top_gradient_fraction;
  std::optional<double> other_gradient_fraction;
};

std::string_view algorithm_name(TrainAlgorithm algorithm);

}  // namespace arborvane::core
