#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/tree/classifier.hpp"
#include "tests/cpp/core/classifier_test_support.hpp"

namespace arborvane::core {
namespace {

using namespace testing;  // NOLINT: the test helpers
using classifier_node::Leaf;
using classifier_node::MultiwayBranch;
using classifier_node::MultiwaySplit;

TEST(ClassifierMultiway, OneBranchPerObservedBinAndAnUnseenBinStopsAtTheNode) {
  const BinnedTable table({numeric({0, 0, 2, 2, 5, 5})}, {0, 0, 1, 1, 2, 2});
  const auto model = train(table, TreeType::Id3, Criterion::Entropy);
  const StandardClassificationTree& tree = standard(model);
  ASSERT_EQ(tree.nodes.size(), 4U);
  EXPECT_EQ(tree.root, 3U);
  EXPECT_EQ(tree.nodes[0], TreeNode(Leaf{{2, 0, 0}, 0, 2}));
  EXPECT_EQ(tree.nodes[2], TreeNode(Leaf{{0, 0, 2}, 2, 2}));
  const auto& root = root_as<MultiwaySplit>(model);
  EXPECT_EQ(root.branches, (std::vector<MultiwayBranch>{{0, 0}, {2, 1}, {5, 2}}));
  EXPECT_EQ(root.class_counts, (std::vector<std::uint64_t>{2, 2, 2}));
  EXPECT_EQ(root.feature_index, 0U);
  EXPECT_EQ(root.class_index, 0U);
  EXPECT_EQ(root.sample_count, 6U);
  EXPECT_DOUBLE_EQ(root.impurity, std::log2(3.0));
  EXPECT_DOUBLE_EQ(root.gain, std::log2(3.0));

  const BinnedTable probe({numeric({1, 5, 0, 7})}, {0, 0, 0, 0});
  EXPECT_EQ(model.predict_row(probe, 0), 0.0);  // the node's majority, lowest class on ties
  EXPECT_EQ(model.predict_proba_row(probe, 0),
            (std::vector<double>{1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0}));
  EXPECT_EQ(model.predict_row(probe, 1), 2.0);
  EXPECT_EQ(model.predict_proba_row(probe, 1), (std::vector<double>{0.0, 0.0, 1.0}));
  EXPECT_EQ(model.predict_table(probe), (std::vector<double>{0, 2, 0, 0}));
}

TEST(ClassifierMultiway, GainIsInformationGainForId3AndGainRatioForC45) {
  struct Case {
    TreeType type;
    Criterion criterion;
    BinnedTable::Column column;
    std::vector<double> targets;
    double gain;
  };
  // A balanced perfect split: the gain is the node's impurity, and its split information 1.
  const auto halves = binary({0, 0, 1, 1});
  const std::vector<double> halves_targets{0, 0, 1, 1};
  // Groups [2, 0] and [1, 3]: split information H(1/3) = 0.918..., twice the entropy gain.
  const auto thirds = binary({0, 0, 1, 1, 1, 1});
  const std::vector<double> thirds_targets{0, 0, 0, 1, 1, 1};
  const std::vector<Case> cases = {
      {TreeType::Id3, Criterion::Entropy, halves, halves_targets, 1.0},
      {TreeType::C45, Criterion::Entropy, halves, halves_targets, 1.0},
      {TreeType::Id3, Criterion::Gini, halves, halves_targets, 0.5},
      {TreeType::C45, Criterion::Gini, halves, halves_targets, 0.5},
      {TreeType::Id3, Criterion::Entropy, thirds, thirds_targets, 0.4591479170272448},
      {TreeType::C45, Criterion::Entropy, thirds, thirds_targets, 0.5},
      {TreeType::Id3, Criterion::Gini, thirds, thirds_targets, 0.25},
      {TreeType::C45, Criterion::Gini, thirds, thirds_targets, 0.25 / 0.9182958340544896},
  };
  for (const Case& c : cases) {
    const BinnedTable table({c.column}, c.targets);
    const auto model = train(table, c.type, c.criterion, tree_options(1));
    EXPECT_NEAR(root_as<MultiwaySplit>(model).gain, c.gain, 1e-12)
        << tree_type_name(c.type) << " / " << criterion_name(c.criterion);
  }
}

TEST(ClassifierMultiway, ASmallGroupOrACanaryWinnerGivesNoSplit) {
  // Bin 0 holds a single row.
  const BinnedTable single({numeric({0, 1, 1, 2, 2, 2})}, {0, 1, 1, 0, 0, 0});
  EXPECT_EQ(standard(train(single, TreeType::C45, Criterion::Entropy, tree_options(8, 1)))
                .nodes.size(),
            4U);
  EXPECT_EQ(standard(train(single, TreeType::C45, Criterion::Entropy, tree_options(8, 2)))
                .nodes.size(),
            1U);

  const BinnedTable canary({numeric({0, 1, 0, 1, 2, 2}), as_canary(binary({0, 0, 0, 1, 1, 1}))},
                           {0, 0, 0, 1, 1, 1});
  EXPECT_EQ(standard(train(canary, TreeType::Id3, Criterion::Entropy)).nodes.size(), 1U);
}

TEST(ClassifierMultiway, ChildrenGrowFromTheRowsOfTheirBranch) {
  // The binary feature splits first; inside its true branch the numeric feature decides.
  const BinnedTable table({binary({0, 0, 0, 1, 1, 1, 1}), numeric({0, 0, 0, 0, 0, 3, 3})},
                          {0, 0, 0, 1, 1, 2, 2});
  const auto model = train(table, TreeType::Id3, Criterion::Entropy);
  const StandardClassificationTree& tree = standard(model);
  const auto& root = root_as<MultiwaySplit>(model);
  EXPECT_EQ(root.feature_index, 0U);
  ASSERT_EQ(root.branches.size(), 2U);
  const auto& inner = std::get<MultiwaySplit>(tree.nodes.at(root.branches[1].child));
  EXPECT_EQ(inner.feature_index, 1U);
  EXPECT_EQ(inner.branches.size(), 2U);
  EXPECT_EQ(inner.class_counts, (std::vector<std::uint64_t>{0, 2, 2}));
  EXPECT_EQ(inner.sample_count, 4U);
  for (std::uint64_t row = 0; row < 7; ++row) {
    EXPECT_EQ(model.predict_row(table, row), table.target_value(row)) << "row " << row;
  }
}

}  // namespace
}  // namespace arborvane::core
