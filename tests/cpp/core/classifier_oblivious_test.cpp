#include <gtest/gtest.h>

#include <vector>

#include "core/tree/classifier.hpp"
#include "tests/cpp/core/classifier_test_support.hpp"

namespace arborvane::core {
namespace {

using namespace testing;  // NOLINT: the test helpers

using Counts = std::vector<std::vector<std::uint64_t>>;

// Three rows (0, 0) of class 0, one row (0, 1) of class 1, three rows (1, 0) of class 1.
// Level 0 takes feature 0; at level 1 feature 1 splits only the first leaf, so the second
// leaf's right half is empty.
BinnedTable three_groups(bool second_is_canary = false) {
  auto second = binary({0, 0, 0, 1, 0, 0, 0});
  if (second_is_canary) second = as_canary(second);
  return BinnedTable({binary({0, 0, 0, 0, 1, 1, 1}), second}, {0, 0, 0, 1, 1, 1, 1});
}

TEST(ClassifierOblivious, LevelsShareOneSplitAndEmptyLeavesKeepTheParentClass) {
  const BinnedTable table = three_groups();
  const auto model = train(table, TreeType::Oblivious, Criterion::Gini);
  const ObliviousClassificationTree& tree = oblivious(model);
  ASSERT_EQ(tree.levels.size(), 2U);
  const double root_impurity = 24.0 / 49.0;
  EXPECT_EQ(tree.levels[0].feature_index, 0U);
  EXPECT_EQ(tree.levels[1].feature_index, 1U);
  for (const ObliviousLevel& level : tree.levels) {
    EXPECT_EQ(level.sample_count, 7U);
    EXPECT_EQ(level.threshold_bin, 0U);
    EXPECT_DOUBLE_EQ(level.impurity, root_impurity);  // the root's, on every level
  }
  // Summed impurity * rows decreases: 24/7 - 1.5 at level 0, then 1.5 from the first leaf.
  EXPECT_DOUBLE_EQ(tree.levels[0].gain, 24.0 / 7.0 - 1.5);
  EXPECT_DOUBLE_EQ(tree.levels[1].gain, 1.5);
  EXPECT_EQ(tree.leaf_class_counts, (Counts{{3, 0}, {0, 1}, {0, 3}, {0, 0}}));
  EXPECT_EQ(tree.leaf_class_indices, (std::vector<std::uint64_t>{0, 1, 1, 1}));
  EXPECT_EQ(tree.leaf_sample_counts, (std::vector<std::uint64_t>{3, 1, 3, 0}));

  // Leaf index: the first level is the most significant bit.
  const BinnedTable probe({binary({0, 0, 1, 1}), binary({0, 1, 0, 1})}, {0, 0, 0, 0});
  EXPECT_EQ(model.predict_table(probe), (std::vector<double>{0, 1, 1, 1}));
  EXPECT_EQ(model.predict_proba_row(probe, 2), (std::vector<double>{0.0, 1.0}));
  EXPECT_EQ(model.predict_proba_row(probe, 3), (std::vector<double>{0.0, 0.0}));
}

TEST(ClassifierOblivious, DepthLimitAndCanaryWinnerEndGrowthKeepingEarlierLevels) {
  const auto shallow = train(three_groups(), TreeType::Oblivious, Criterion::Gini,
                             tree_options(1));
  const auto stopped = train(three_groups(true), TreeType::Oblivious, Criterion::Gini);
  for (const auto* model : {&shallow, &stopped}) {
    const ObliviousClassificationTree& tree = oblivious(*model);
    ASSERT_EQ(tree.levels.size(), 1U);
    EXPECT_EQ(tree.levels[0].feature_index, 0U);
    EXPECT_EQ(tree.leaf_class_counts, (Counts{{3, 1}, {0, 3}}));
    EXPECT_EQ(tree.leaf_class_indices, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(tree.leaf_sample_counts, (std::vector<std::uint64_t>{4, 3}));
  }
}

TEST(ClassifierOblivious, EqualTotalsTakeTheHigherBinUnlikeCart) {
  // Thresholds 0 and 1 mirror each other and give the same gain.
  const BinnedTable table({numeric({0, 1, 1, 2})}, {0, 0, 1, 1});
  for (const Criterion criterion : {Criterion::Gini, Criterion::Entropy}) {
    const auto model = train(table, TreeType::Oblivious, criterion, tree_options(1));
    ASSERT_EQ(oblivious(model).levels.size(), 1U);
    EXPECT_EQ(oblivious(model).levels[0].threshold_bin, 1U);
  }
}

TEST(ClassifierOblivious, EveryLeafSplitsOnceAnyLeafHasEnoughRows) {
  // Level 0 takes feature 1: rows 0-2 | rows 3-4. Only the first leaf reaches
  // min_samples_split 3, yet level 1 splits both leaves, the second into nothing and itself.
  const BinnedTable table({numeric({0, 1, 1, 1, 1}), numeric({0, 0, 0, 1, 1})},
                          {0, 1, 1, 2, 2});
  const auto model = train(table, TreeType::Oblivious, Criterion::Entropy, tree_options(8, 1, 3));
  const ObliviousClassificationTree& tree = oblivious(model);
  ASSERT_EQ(tree.levels.size(), 2U);
  EXPECT_EQ(tree.levels[0].feature_index, 1U);
  EXPECT_EQ(tree.levels[1].feature_index, 0U);
  EXPECT_EQ(tree.leaf_sample_counts, (std::vector<std::uint64_t>{1, 2, 0, 2}));
  EXPECT_EQ(tree.leaf_class_indices, (std::vector<std::uint64_t>{0, 1, 2, 2}));
}

}  // namespace
}  // namespace arborvane::core
