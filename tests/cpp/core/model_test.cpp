#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

#include "core/lib/train.hpp"
#include "data/table.hpp"

namespace arborvane::core {
namespace {

// Feature 0 numeric, feature 1 binary; targets follow feature 0.
data::Table training_table() {
  std::vector<std::vector<double>> rows;
  std::vector<double> targets;
  for (int r = 0; r < 40; ++r) {
    rows.push_back({double(r), double(r % 2)});
    targets.push_back(r < 20 ? 5.0 : 7.0);
  }
  auto table = data::Table::with_options(rows, targets, 0, data::NumericBins::automatic());
  EXPECT_TRUE(table.has_value());
  return std::move(*table);
}

Model trained(Task task) {
  TrainConfig config;
  config.task = task;
  config.physical_cores = 1;
  auto model = train(training_table(), config);
  EXPECT_TRUE(model.has_value());
  return std::move(*model);
}

TEST(Model, EveryInputFormPredictsTheSame) {
  for (const Task task : {Task::Regression, Task::Classification}) {
    const Model model = trained(task);
    const std::vector<double> expected{5.0, 7.0, 7.0};
    EXPECT_EQ(*model.predict_rows({{3, 1}, {30, 0}, {100, 1}}), expected);
    EXPECT_EQ(*model.predict_matrix_columns({{3, 30, 100}, {1, 0, 1}}, 3), expected);
    EXPECT_EQ(*model.predict_named_columns({{"f0", {3, 30, 100}}, {"f1", {1, 0, 1}}}), expected);
    EXPECT_EQ(model.predict_table(training_table())[0], 5.0);
    EXPECT_TRUE(model.predict_rows({})->empty());
    EXPECT_EQ(model.predict_rows({{1, 2}}).error().to_string(),
              "Feature 1 at row 0 must be binary for inference, found 2.");
    EXPECT_EQ(model.predict_rows({{1, 0}, {1}}).error().to_string(),
              "Ragged inference row at index 1: expected 2 columns, found 1.");
    EXPECT_EQ(model.predict_sparse_binary_columns(2, 2, {{}, {1}}).error().to_string(),
              "Feature 0 at row 0 must be binary for inference, found 1.");
  }
}

TEST(Model, ProbabilitiesOnlyForClassifiersInLabelOrder) {
  const Model regression = trained(Task::Regression);
  EXPECT_EQ(regression.predict_proba_rows({{1, 0}}).error().to_string(),
            "predict_proba is only available for classification models.");
  // Malformed input reports its own error first.
  EXPECT_EQ(regression.predict_proba_rows({{1}}).error().to_string(),
            "Ragged inference row at index 0: expected 2 columns, found 1.");
  EXPECT_EQ(regression.class_labels(), std::nullopt);

  const Model classifier = trained(Task::Classification);
  EXPECT_EQ(classifier.class_labels(), (std::vector<double>{5.0, 7.0}));
  const auto proba = classifier.predict_proba_rows({{3, 1}, {30, 0}});
  ASSERT_TRUE(proba.has_value());
  EXPECT_EQ(proba->n_rows, 2U);
  EXPECT_EQ(proba->n_classes, 2U);
  EXPECT_EQ(proba->values, (std::vector<double>{1.0, 0.0, 0.0, 1.0}));
}

TEST(Model, SettingsComeFromTheTrainingRecord) {
  const Model model = trained(Task::Classification);
  const TrainingMetadata& metadata = model.training_metadata();
  EXPECT_EQ(metadata.algorithm, "dt");
  EXPECT_EQ(metadata.task, "classification");
  EXPECT_EQ(metadata.tree_type, "cart");
  EXPECT_EQ(metadata.criterion, "gini");
  EXPECT_EQ(model.canaries(), 0U);
  EXPECT_FALSE(model.compute_oob());
  EXPECT_EQ(model.min_samples_split(), std::optional<std::uint64_t>(2));
  EXPECT_EQ(model.min_samples_leaf(), std::optional<std::uint64_t>(1));
  EXPECT_EQ(model.max_features(), std::nullopt);
  EXPECT_EQ(model.learning_rate(), std::nullopt);
  EXPECT_EQ(model.oob_score(), std::nullopt);
  EXPECT_EQ(model.tree_count(), 1U);
  EXPECT_EQ(model.n_features(), 2U);
}

}  // namespace
}  // namespace arborvane::core

namespace arborvane::core {
namespace {

TEST(Model, RegressionForestAveragesItsTreesInOrder) {
  std::vector<std::vector<double>> rows;
  std::vector<double> targets;
  for (int r = 0; r < 300; ++r) {
    rows.push_back({double((r * 37) % 101), double(r % 2), double((r * 11) % 29)});
    targets.push_back(0.1 * ((r * 37) % 101) + (r % 2) - 0.05 * ((r * 11) % 29));
  }
  const data::Table table =
      *data::Table::with_options(rows, targets, 0, data::NumericBins::automatic());
  for (const TreeType type : {TreeType::Cart, TreeType::Oblivious}) {
    TrainConfig config;
    config.algorithm = TrainAlgorithm::Rf;
    config.task = Task::Regression;
    config.tree_type = type;
    config.n_trees = 9;
    config.max_depth = 4;
    config.physical_cores = 1;
    const Model model = *train(table, config);
    const auto& forest = std::get<RandomForest>(model.kind());
    std::vector<double> expected = forest.trees.front().predict_table(table);
    for (std::size_t t = 1; t < forest.trees.size(); ++t) {
      const std::vector<double> part = forest.trees[t].predict_table(table);
      for (std::size_t r = 0; r < expected.size(); ++r) expected[r] += part[r];
    }
    for (double& value : expected) value /= static_cast<double>(forest.trees.size());
    const std::vector<double> predicted = model.predict_table(table);
    ASSERT_EQ(predicted.size(), expected.size());
    for (std::size_t r = 0; r < expected.size(); ++r) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(predicted[r]),
                std::bit_cast<std::uint64_t>(expected[r]))
          << "row " << r;
    }
  }
}

}  // namespace
}  // namespace arborvane::core
