#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/tree/regressor.hpp"
#include "tests/cpp/core/regressor_test_tables.hpp"

namespace arborvane::core {
namespace {

using testing::BinTable;

// Feature 0 separates {0, 2} from {10, 12}; feature 1 then splits the first pair, while every
// row of the second pair goes left, leaving leaf 3 empty.
const std::vector<std::uint16_t> kCoarse{0, 0, 1, 1};
const std::vector<std::uint16_t> kFine{0, 1, 0, 0};
const std::vector<double> kTargets{0, 2, 10, 12};

ObliviousRegressionTree grow(const data::TableAccess& table, Criterion criterion,
                             const DecisionTreeOptions& options = {}) {
  auto model = train_regressor(table, TreeType::Oblivious, criterion, nullptr, options);
  EXPECT_TRUE(model.has_value());
  return std::get<ObliviousRegressionTree>(model->structure);
}

TEST(RegressorOblivious, GrowsLevelsWithAnEmptyLeaf) {
  const BinTable table({testing::numeric(kCoarse), testing::numeric(kFine)}, kTargets);
  struct Case {
    Criterion criterion;
    double root_gain;
  };
  // Mean: 104 - (2 + 2); Median: 20 - (2 + 2). The second level gains 2 under both.
  for (const Case& c : {Case{Criterion::Mean, 100.0}, Case{Criterion::Median, 16.0}}) {
    SCOPED_TRACE(std::string(criterion_name(c.criterion)));
    const ObliviousRegressionTree expected{
        {ObliviousLevel{0, 4, 4.0, c.root_gain, 0}, ObliviousLevel{1, 4, 2.0, 2.0, 0}},
        {0.0, 2.0, 11.0, 11.0},
        {1, 1, 2, 0},
        {0.0, 0.0, 1.0, std::nullopt}};
    EXPECT_EQ(grow(table, c.criterion), expected);
  }
}

TEST(RegressorOblivious, LeafIndexTakesTheFirstLevelAsHighBit) {
  const BinTable table({testing::numeric(kCoarse), testing::numeric(kFine)}, kTargets);
  auto model = train_regressor(table, TreeType::Oblivious, Criterion::Mean, nullptr, {});
  ASSERT_TRUE(model.has_value());
  // Row 2 goes right at level 0 and left at level 1: leaf 2.
  EXPECT_EQ(model->predict_row(table, 2), 11.0);
  EXPECT_EQ(model->predict_row(table, 1), 2.0);
  // A row going right twice lands in the empty leaf, which answers with its parent's value.
  const BinTable unseen({testing::numeric({1, 0}), testing::numeric({1, 1})}, {0, 0});
  EXPECT_EQ(model->predict_row(unseen, 0), 11.0);
  EXPECT_EQ(model->predict_row(unseen, 1), 2.0);
  EXPECT_EQ(model->predict_table(unseen), (std::vector<double>{11.0, 2.0}));
}

TEST(RegressorOblivious, MaxDepthOneGivesTwoLeaves) {
  const BinTable table({testing::numeric(kCoarse), testing::numeric(kFine)}, kTargets);
  DecisionTreeOptions options;
  options.max_depth = 1;
  const ObliviousRegressionTree tree = grow(table, Criterion::Mean, options);
  ASSERT_EQ(tree.levels.size(), 1U);
  EXPECT_EQ(tree.leaf_values, (std::vector<double>{1.0, 11.0}));
  EXPECT_EQ(tree.leaf_sample_counts, (std::vector<std::uint64_t>{2, 2}));
}

TEST(RegressorOblivious, StopsWithoutLevelsOrAtACanary) {
  // Constant targets: no level is worth it and every row reaches the single leaf.
  const BinTable constant({testing::numeric(kCoarse)}, {3, 3, 3, 3});
  const ObliviousRegressionTree flat = grow(constant, Criterion::Mean);
  EXPECT_EQ(flat, (ObliviousRegressionTree{{}, {3.0}, {4}, {0.0}}));

  // The second level's best feature is a canary: the first level stays.
  const BinTable canary({testing::numeric(kCoarse), testing::canary(kFine)}, kTargets);
  const ObliviousRegressionTree stopped = grow(canary, Criterion::Mean);
  ASSERT_EQ(stopped.levels.size(), 1U);
  EXPECT_EQ(stopped.levels[0].feature_index, 0U);
  EXPECT_EQ(stopped.leaf_values, (std::vector<double>{1.0, 11.0}));

  // min_samples_split above every leaf's size ends growth too.
  DecisionTreeOptions options;
  options.min_samples_split = 3;
  EXPECT_EQ(grow(BinTable({testing::numeric(kCoarse), testing::numeric(kFine)}, kTargets),
                 Criterion::Mean, options)
                .levels.size(),
            1U);
}

// Every leaf counts only when both of its sides keep min_samples_leaf rows; the level's
// impurity adds the new leaves' losses, empty leaves adding nothing.
TEST(RegressorOblivious, MinSamplesLeafAppliesPerLeaf) {
  const BinTable table({testing::numeric({0, 0, 0, 1, 1, 1, 1, 1}),
                        testing::numeric({0, 1, 1, 0, 0, 1, 1, 1})},
                       {0, 3, 3, 10, 10, 14, 14, 14});
  DecisionTreeOptions options;
  options.min_samples_leaf = 2;
  const ObliviousRegressionTree tree = grow(table, Criterion::Mean, options);
  ASSERT_EQ(tree.levels.size(), 2U);
  // Level 1 on feature 1: the first leaf would keep one row on its left, so only the second
  // leaf (10, 10 | 14, 14, 14) counts.
  EXPECT_EQ(tree.levels[1].feature_index, 1U);
  EXPECT_EQ(tree.leaf_sample_counts, (std::vector<std::uint64_t>{1, 2, 2, 3}));
  EXPECT_EQ(tree.levels[1].gain, 788.0 - 62.0 * 62.0 / 5.0);
  EXPECT_TRUE(std::isfinite(tree.levels[1].impurity));
}

}  // namespace
}  // namespace arborvane::core
