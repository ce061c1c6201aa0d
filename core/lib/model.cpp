#include "core/lib/model.hpp"

#include "core/lib/inference_table.hpp"
#include "platform/check.hpp"
#include "platform/overloaded.hpp"

namespace arborvane::core {

using platform::Overloaded;

Model::Model(Kind kind)
    : kind_(std::move(kind)),
      metadata_(std::visit([](const auto& model) { return model.training_metadata(); }, kind_)) {}

std::vector<double> Model::predict_table(const data::TableAccess& table) const {
  return std::visit([&](const auto& model) { return model.predict_table(table); }, kind_);
}

std::expected<ProbabilityRows, PredictError> Model::predict_proba_table(
    const data::TableAccess& table) const {
  using Result = std::expected<ProbabilityRows, PredictError>;
  return std::visit(
      Overloaded{
          [&](const DecisionTreeClassifier& tree) -> Result {
            return ProbabilityRows{table.n_rows(), tree.class_labels.size(),
                                   tree.predict_proba_table(table)};
          },
          [](const DecisionTreeRegressor&) -> Result {
            return std::unexpected(
                PredictError{PredictError::ProbabilityPredictionRequiresClassification{}});
          },
          [&](const RandomForest& forest) -> Result { return forest.predict_proba_table(table); },
          [&](const GradientBoostedTrees& boosted) -> Result {
            return boosted.predict_proba_table(table);
          },
      },
      kind_);
}

// Builds the inference table first, so malformed input reports its own error before anything
// else is looked at.
template <class Input>
std::expected<std::vector<double>, PredictError> Model::predict_built(Input&& build) const {
  std::expected<InferenceTable, PredictError> table = build();
  if (!table) return std::unexpected(std::move(table.error()));
  return predict_table(*table);
}

template <class Input>
std::expected<ProbabilityRows, PredictError> Model::predict_proba_built(Input&& build) const {
  std::expected<InferenceTable, PredictError> table = build();
  if (!table) return std::unexpected(std::move(table.error()));
  return predict_proba_table(*table);
}

std::expected<std::vector<double>, PredictError> Model::predict_rows(
    std::vector<std::vector<double>> rows) const {
  return predict_built([&] {
    return InferenceTable::from_rows(std::move(rows), feature_preprocessing(), n_features());
  });
}

std::expected<std::vector<double>, PredictError> Model::predict_matrix_columns(
    std::vector<std::vector<double>> columns, std::uint64_t n_rows) const {
  return predict_built([&] {
    return InferenceTable::from_row_major_matrix_columns(std::move(columns), n_rows,
                                                         feature_preprocessing(), n_features());
  });
}

std::expected<std::vector<double>, PredictError> Model::predict_named_columns(
    std::map<std::string, std::vector<double>> columns) const {
  return predict_built([&] {
    return InferenceTable::from_named_columns(std::move(columns), feature_preprocessing(),
                                              n_features());
  });
}

std::expected<std::vector<double>, PredictError> Model::predict_sparse_binary_columns(
    std::uint64_t n_rows, std::uint64_t n_features,
    const std::vector<std::vector<std::uint64_t>>& columns) const {
  return predict_built([&] {
    return InferenceTable::from_sparse_binary_columns(n_rows, n_features, columns,
                                                      feature_preprocessing());
  });
}

std::expected<ProbabilityRows, PredictError> Model::predict_proba_rows(
    std::vector<std::vector<double>> rows) const {
  return predict_proba_built([&] {
    return InferenceTable::from_rows(std::move(rows), feature_preprocessing(), n_features());
  });
}

std::expected<ProbabilityRows, PredictError> Model::predict_proba_matrix_columns(
    std::vector<std::vector<double>> columns, std::uint64_t n_rows) const {
  return predict_proba_built([&] {
    return InferenceTable::from_row_major_matrix_columns(std::move(columns), n_rows,
                                                         feature_preprocessing(), n_features());
  });
}

std::expected<ProbabilityRows, PredictError> Model::predict_proba_named_columns(
    std::map<std::string, std::vector<double>> columns) const {
  return predict_proba_built([&] {
    return InferenceTable::from_named_columns(std::move(columns), feature_preprocessing(),
                                              n_features());
  });
}

std::expected<ProbabilityRows, PredictError> Model::predict_proba_sparse_binary_columns(
    std::uint64_t n_rows, std::uint64_t n_features,
    const std::vector<std::vector<std::uint64_t>>& columns) const {
  return predict_proba_built([&] {
    return InferenceTable::from_sparse_binary_columns(n_rows, n_features, columns,
                                                      feature_preprocessing());
  });
}

std::optional<std::vector<double>> Model::class_labels() const {
  using Labels = std::optional<std::vector<double>>;
  return std::visit(
      Overloaded{
          [](const DecisionTreeClassifier& tree) -> Labels { return tree.class_labels; },
          [](const DecisionTreeRegressor&) -> Labels { return std::nullopt; },
          [](const RandomForest& forest) -> Labels {
            if (forest.task != Task::Classification || forest.trees.empty()) return std::nullopt;
            return forest.trees.front().class_labels();
          },
          [](const GradientBoostedTrees& boosted) -> Labels { return boosted.class_labels; },
      },
      kind_);
}

std::uint64_t Model::tree_count() const {
  return std::visit(
      Overloaded{
          [](const DecisionTreeClassifier&) -> std::uint64_t { return 1; },
          [](const DecisionTreeRegressor&) -> std::uint64_t { return 1; },
          [](const RandomForest& forest) -> std::uint64_t { return forest.trees.size(); },
          [](const GradientBoostedTrees& boosted) -> std::uint64_t {
            return boosted.trees.size();
          },
      },
      kind_);
}

std::uint64_t Model::n_features() const {
  return std::visit([](const auto& model) { return model.n_features; }, kind_);
}

const std::vector<data::FeaturePreprocessing>& Model::feature_preprocessing() const {
  return std::visit(
      [](const auto& model) -> const std::vector<data::FeaturePreprocessing>& {
        return model.feature_preprocessing;
      },
      kind_);
}

}  // namespace arborvane::core
