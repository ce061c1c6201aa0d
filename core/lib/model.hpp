#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/boosting/gradient_boosting.hpp"
#include "core/forest/random_forest.hpp"
#include "core/ir/ir_error.hpp"
#include "core/ir/training_metadata.hpp"
#include "core/lib/predict_error.hpp"
#include "core/lib/probabilities.hpp"
#include "core/tree/classifier.hpp"
#include "core/tree/regressor.hpp"
#include "data/table_access.hpp"

namespace arborvane::core {

// A trained model of any kind. Immutable; every operation dispatches on the kind. Predictions
// on raw input bin it with the model's stored preprocessing first.
class Model {
 public:
  using Kind = std::variant<DecisionTreeClassifier, DecisionTreeRegressor, RandomForest,
                            GradientBoostedTrees>;

  explicit Model(Kind kind);

  const Kind& kind() const { return kind_; }

  // Point predictions: regression values, or class label values for classifiers.
  std::vector<double> predict_table(const data::TableAccess& table) const;
  std::expected<std::vector<double>, PredictError> predict_rows(
      std::vector<std::vector<double>> rows) const;
  // A rectangular matrix held column by column: the outcome of predict_rows on its rows.
  std::expected<std::vector<double>, PredictError> predict_matrix_columns(
      std::vector<std::vector<double>> columns, std::uint64_t n_rows) const;
  std::expected<std::vector<double>, PredictError> predict_named_columns(
      std::map<std::string, std::vector<double>> columns) const;
  std::expected<std::vector<double>, PredictError> predict_sparse_binary_columns(
      std::uint64_t n_rows, std::uint64_t n_features,
      const std::vector<std::vector<std::uint64_t>>& columns) const;

  // One probability per class label, in label order.
  std::expected<ProbabilityRows, PredictError> predict_proba_table(
      const data::TableAccess& table) const;
  std::expected<ProbabilityRows, PredictError> predict_proba_rows(
      std::vector<std::vector<double>> rows) const;
  std::expected<ProbabilityRows, PredictError> predict_proba_matrix_columns(
      std::vector<std::vector<double>> columns, std::uint64_t n_rows) const;
  std::expected<ProbabilityRows, PredictError> predict_proba_named_columns(
      std::map<std::string, std::vector<double>> columns) const;
  std::expected<ProbabilityRows, PredictError> predict_proba_sparse_binary_columns(
      std::uint64_t n_rows, std::uint64_t n_features,
      const std::vector<std::vector<std::uint64_t>>& columns) const;

  // The record of training settings behind the accessors below.
  const TrainingMetadata& training_metadata() const { return metadata_; }
  std::uint64_t canaries() const { return metadata_.canaries; }
  bool compute_oob() const { return metadata_.compute_oob; }
  std::optional<std::uint64_t> max_depth() const { return metadata_.max_depth; }
  std::optional<std::uint64_t> min_samples_split() const { return metadata_.min_samples_split; }
  std::optional<std::uint64_t> min_samples_leaf() const { return metadata_.min_samples_leaf; }
  std::optional<std::uint64_t> n_trees() const { return metadata_.n_trees; }
  std::optional<std::uint64_t> max_features() const { return metadata_.max_features; }
  std::optional<std::uint64_t> seed() const { return metadata_.seed; }
  std::optional<double> oob_score() const { return metadata_.oob_score; }
  std::optional<double> learning_rate() const { return metadata_.learning_rate; }
  bool bootstrap() const { return metadata_.bootstrap.value_or(false); }
  std::optional<double> top_gradient_fraction() const { return metadata_.top_gradient_fraction; }
  std::optional<double> other_gradient_fraction() const {
    return metadata_.other_gradient_fraction;
  }

  // The model's document as JSON text: compact, or indented two spaces per level. The
  // serialized form of a model is its document, so serialize is to_ir_json.
  std::string to_ir_json() const;
  std::string to_ir_json_pretty() const;
  std::string serialize() const { return to_ir_json(); }
  std::string serialize_pretty() const { return to_ir_json_pretty(); }
  // Rebuilds a model from its document text; the first problem found is the error.
  static std::expected<Model, ir::IrError> deserialize(std::string_view text);

  std::optional<std::vector<double>> class_labels() const;
  std::uint64_t tree_count() const;
  std::uint64_t n_features() const;
  const std::vector<data::FeaturePreprocessing>& feature_preprocessing() const;

  friend bool operator==(const Model& a, const Model& b) { return a.kind_ == b.kind_; }

 private:
  template <class Input>
  std::expected<std::vector<double>, PredictError> predict_built(Input&& build) const;
  template <class Input>
  std::expected<ProbabilityRows, PredictError> predict_proba_built(Input&& build) const;

  Kind kind_;
  TrainingMetadata metadata_;
};

}  // namespace arborvane::core
