#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/ir/training_metadata.hpp"
#include "core/lib/predict_error.hpp"
#include "core/lib/probabilities.hpp"
#include "core/lib/train_config.hpp"
#include "core/tree/options.hpp"
#include "core/tree/second_order.hpp"
#include "data/binning.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {

class Model;

struct BoostingError {
  struct SecondOrder {
    SecondOrderRegressionTreeError error;
  };
  struct NonFiniteTarget {
    double value;
    std::uint64_t row;
  };
  struct UnsupportedClassCount {
    std::uint64_t count;
  };
  struct InvalidLearningRate {
    double value;
  };
  struct InvalidTopGradientFraction {
    double value;
  };
  struct InvalidOtherGradientFraction {
    double value;
  };
  // A table without rows: nothing to boost. Reported before any other check.
  struct EmptyTarget {};

  std::variant<SecondOrder, NonFiniteTarget, UnsupportedClassCount, InvalidLearningRate,
               InvalidTopGradientFraction, InvalidOtherGradientFraction, EmptyTarget>
      error;

  std::string to_string() const;
};

// Boosted second-order regression trees: squared error for regression, logistic loss for
// binary classification, rows chosen per iteration by gradient-based one-side sampling.
class GradientBoostedTrees {
 public:
  std::optional<std::uint64_t> seed;  // as configured; absent when a default was used
  std::vector<Model> trees;           // each a DecisionTreeRegressor
  std::vector<double> tree_weights;   // each the learning rate
  std::vector<data::FeaturePreprocessing> feature_preprocessing;
  std::optional<std::vector<double>> class_labels;  // classification: [lower, higher]
  double base_score = 0.0;
  double learning_rate = 0.1;
  double top_gradient_fraction = 0.2;
  double other_gradient_fraction = 0.1;
  std::uint64_t max_features = 1;
  std::uint64_t n_features = 0;
  std::uint64_t canaries = 0;
  Task task = Task::Regression;
  bool bootstrap = false;
  TreeType tree_type = TreeType::Cart;

  static std::expected<GradientBoostedTrees, BoostingError> train(const data::TableAccess& table,
                                                                  const TrainConfig& config,
                                                                  platform::ThreadPool* pool);

  std::vector<double> raw_scores(const data::TableAccess& table) const;
  std::vector<double> predict_table(const data::TableAccess& table) const;
  std::expected<ProbabilityRows, PredictError> predict_proba_table(
      const data::TableAccess& table) const;
  TrainingMetadata training_metadata() const;

  friend bool operator==(const GradientBoostedTrees&, const GradientBoostedTrees&);
};

// The two class labels (ascending) and the 0/1 targets of a binary classification table.
struct BinaryTargets {
  std::vector<double> class_labels;
  std::vector<double> encoded;
};
std::expected<BinaryTargets, BoostingError> binary_classification_targets(
    const data::TableAccess& table);

}  // namespace arborvane::core
