#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "core/ir/training_metadata.hpp"
#include "core/lib/predict_error.hpp"
#include "core/lib/probabilities.hpp"
#include "core/lib/train_config.hpp"
#include "core/lib/train_error.hpp"
#include "core/tree/options.hpp"
#include "data/binning.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {

class Model;

// Bagged single trees, each grown on its own bootstrap sample with canaries hidden.
class RandomForest {
 public:
  std::optional<double> oob_score;
  std::optional<std::uint64_t> seed;  // as configured; absent when the default was used
  std::vector<Model> trees;           // single-tree models, in tree-index order
  std::vector<data::FeaturePreprocessing> feature_preprocessing;
  std::uint64_t max_features = 1;  // resolved features sampled per node
  std::uint64_t n_features = 0;
  Task task = Task::Regression;
  bool compute_oob = false;
  TreeType tree_type = TreeType::Cart;
  Criterion criterion = Criterion::Mean;

  static constexpr std::uint64_t kDefaultSeed = 0x5EEDF0E57ULL;
  static constexpr std::uint64_t kDefaultTreeCount = 1000;

  // `pool` trains trees in parallel (each tree itself single-threaded); the forest is the same
  // for any thread count.
  static std::expected<RandomForest, TrainError> train(const data::TableAccess& table,
                                                       const TrainConfig& config,
                                                       Criterion criterion,
                                                       platform::ThreadPool* pool);

  std::vector<double> predict_table(const data::TableAccess& table) const;
  std::expected<ProbabilityRows, PredictError> predict_proba_table(
      const data::TableAccess& table) const;
  TrainingMetadata training_metadata() const;

  friend bool operator==(const RandomForest&, const RandomForest&);
};

// The per-node feature count a forest or boosting uses over `n` binned features (at least 1).
std::uint64_t resolve_max_features(const MaxFeatures& max_features, Task task, std::uint64_t n);

}  // namespace arborvane::core
