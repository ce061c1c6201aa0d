#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/tree/classifier.hpp"
#include "core/tree/classifier_context.hpp"
#include "platform/check.hpp"
#include "platform/rng.hpp"
#include "tests/cpp/core/classifier_test_support.hpp"

namespace arborvane::core {
namespace {

using namespace testing;  // NOLINT: the test helpers
using classifier_node::BinarySplit;
using classifier_node::Leaf;

template <class F>
void expect_internal_error(F&& f, const std::string& text) {
  try {
    f();
    ADD_FAILURE() << "expected an internal error: " << text;
  } catch (const InternalError& error) {
    EXPECT_EQ(std::string(error.what()), text);
  }
}

TEST(ClassifierTraining, RefusesEmptyAndNonFiniteTargetsBeforeGrowing) {
  const BinnedTable empty({numeric({})}, {});
  const auto no_rows = train_classifier(empty, TreeType::Cart, Criterion::Gini, nullptr, {});
  ASSERT_FALSE(no_rows.has_value());
  EXPECT_TRUE(std::holds_alternative<LearnerError::EmptyTarget>(no_rows.error().error));

  struct Case {
    std::vector<double> targets;
    std::uint64_t row;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const Case& c : {Case{{inf, 0.0, nan}, 0}, Case{{0.0, 1.0, 1.0, nan, -inf}, 3}}) {
    const BinnedTable table({numeric(std::vector<std::uint8_t>(c.targets.size(), 0))},
                            c.targets);
    const auto result = train_classifier(table, TreeType::Oblivious, Criterion::Entropy,
                                         nullptr, {});
    ASSERT_FALSE(result.has_value());
    const auto* invalid = std::get_if<LearnerError::InvalidTargetValue>(&result.error().error);
    ASSERT_NE(invalid, nullptr);
    EXPECT_EQ(invalid->row, c.row);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(invalid->value),
              std::bit_cast<std::uint64_t>(c.targets[c.row]));
  }
}

TEST(ClassifierTraining, ClassVocabularyIsTheDistinctTargetsInTotalOrder) {
  const auto small = classification::build_class_vocabulary(std::vector<double>{2, 0, 1, 2});
  EXPECT_EQ(small.labels, (std::vector<double>{0, 1, 2}));
  EXPECT_EQ(small.classes, (std::vector<classification::ClassIndex>{2, 0, 1, 2}));

  // The two zeros are two classes, negative first.
  const auto zeros = classification::build_class_vocabulary(std::vector<double>{0.0, -0.0, 1.0});
  ASSERT_EQ(zeros.labels.size(), 3U);
  EXPECT_TRUE(std::signbit(zeros.labels[0]));
  EXPECT_FALSE(std::signbit(zeros.labels[1]));
  EXPECT_EQ(zeros.classes, (std::vector<classification::ClassIndex>{1, 0, 2}));

  // Many distinct targets take the sorting path; the result must not change.
  std::vector<double> many;
  platform::ChaCha12Rng rng(5);
  for (int i = 0; i < 500; ++i) many.push_back(static_cast<double>(rng.uniform_below(150)) - 70.5);
  const auto vocabulary = classification::build_class_vocabulary(many);
  std::vector<double> expected = many;
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  EXPECT_EQ(vocabulary.labels, expected);
  for (std::size_t row = 0; row < many.size(); ++row) {
    ASSERT_EQ(vocabulary.labels[vocabulary.classes[row]], many[row]);
  }

  const BinnedTable table({numeric({0, 1, 2, 3})}, {2, 0, 1, 2});
  EXPECT_EQ(train(table, TreeType::Cart).class_labels, (std::vector<double>{0, 1, 2}));
}

TEST(ClassifierTraining, ImpurityOfClassCounts) {
  struct Case {
    std::vector<std::uint64_t> counts;
    Criterion criterion;
    double expected;
  };
  const std::vector<Case> cases = {
      {{2, 2}, Criterion::Gini, 0.5},
      {{2, 2}, Criterion::Entropy, 1.0},
      {{1, 1, 1, 1}, Criterion::Gini, 0.75},
      {{1, 1, 1, 1}, Criterion::Entropy, 2.0},
      {{5, 0}, Criterion::Gini, 0.0},
      {{0, 5}, Criterion::Entropy, 0.0},
      {{1, 3}, Criterion::Entropy, 0.8112781244591328},
      {{1, 3}, Criterion::Gini, 0.375},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(classification_impurity(c.counts, c.criterion), c.expected)
        << criterion_name(c.criterion) << " of " << c.counts.size() << " classes";
  }
  expect_internal_error(
      [] { classification_impurity(std::vector<std::uint64_t>{1, 1}, Criterion::Mean); },
      "classification impurity only supports gini or entropy");
}

// Counts, majority, impurity and gain of every node of a two-level tree, in post-order.
TEST(ClassifierBinaryTree, GrowsNodesInPostOrderWithCountsImpurityAndGain) {
  // Feature 0 separates rows 3-5 (all class 1); feature 1 then separates row 2 from rows 0-1.
  const BinnedTable table({binary({0, 0, 0, 1, 1, 1}), numeric({0, 1, 2, 0, 1, 2})},
                          {0, 0, 1, 1, 1, 1});
  const DecisionTreeClassifier model = train(table, TreeType::Cart, Criterion::Gini);
  const StandardClassificationTree& tree = standard(model);
  ASSERT_EQ(tree.nodes.size(), 5U);
  EXPECT_EQ(tree.root, 4U);
  EXPECT_EQ(tree.nodes[0], TreeNode(Leaf{{2, 0}, 0, 2}));
  EXPECT_EQ(tree.nodes[1], TreeNode(Leaf{{0, 1}, 1, 1}));
  EXPECT_EQ(tree.nodes[3], TreeNode(Leaf{{0, 3}, 1, 3}));

  const auto& inner = std::get<BinarySplit>(tree.nodes[2]);
  EXPECT_EQ(inner.class_counts, (std::vector<std::uint64_t>{2, 1}));
  EXPECT_EQ(inner.feature_index, 1U);
  EXPECT_EQ(inner.threshold_bin, 1U);
  EXPECT_EQ(inner.left_child, 0U);
  EXPECT_EQ(inner.right_child, 1U);
  EXPECT_EQ(inner.sample_count, 3U);
  EXPECT_DOUBLE_EQ(inner.impurity, 4.0 / 9.0);
  EXPECT_DOUBLE_EQ(inner.gain, 4.0 / 9.0);

  const auto& root = std::get<BinarySplit>(tree.nodes[4]);
  EXPECT_EQ(root.class_counts, (std::vector<std::uint64_t>{2, 4}));
  EXPECT_EQ(root.feature_index, 0U);
  EXPECT_EQ(root.threshold_bin, 0U);
  EXPECT_EQ(root.left_child, 2U);
  EXPECT_EQ(root.right_child, 3U);
  EXPECT_EQ(root.sample_count, 6U);
  EXPECT_DOUBLE_EQ(root.impurity, 4.0 / 9.0);
  EXPECT_DOUBLE_EQ(root.gain, 2.0 / 9.0);

  std::vector<double> predicted;
  for (std::uint64_t row = 0; row < 6; ++row) predicted.push_back(model.predict_row(table, row));
  EXPECT_EQ(predicted, (std::vector<double>{0, 0, 1, 1, 1, 1}));
  EXPECT_EQ(model.predict_proba_row(table, 2), (std::vector<double>{0.0, 1.0}));
}

TEST(ClassifierBinaryTree, EqualGainsTakeTheLowerBinAndTheLaterFeature) {
  // Thresholds 0 and 1 mirror each other ([1,0 | 1,2] and [2,1 | 0,1]): the same gain.
  const BinnedTable bins({numeric({0, 1, 1, 2})}, {0, 0, 1, 1});
  for (const Criterion criterion : {Criterion::Gini, Criterion::Entropy}) {
    const auto model = train(bins, TreeType::Cart, criterion, tree_options(1));
    EXPECT_EQ(root_as<BinarySplit>(model).threshold_bin, 0U);
  }

  const std::vector<std::uint8_t> column{0, 0, 1, 1, 2};
  const std::vector<double> targets{0, 0, 1, 1, 1};
  const BinnedTable twins({numeric(column), numeric(column), numeric({0, 0, 0, 0, 0})}, targets);
  EXPECT_EQ(root_as<BinarySplit>(train(twins, TreeType::Cart)).feature_index, 1U);
  const BinnedTable binary_twins({binary({0, 0, 1, 1}), binary({0, 0, 1, 1})}, {0, 0, 1, 1});
  for (const TreeType type : {TreeType::Cart, TreeType::Randomized}) {
    EXPECT_EQ(root_as<BinarySplit>(train(binary_twins, type)).feature_index, 1U);
  }
}

TEST(ClassifierBinaryTree, LeafRulesStopGrowth) {
  // Feature 0 splits 1 row from 3 (gain > 0); feature 1 is the better split, at 2 | 2.
  const BinnedTable table({numeric({0, 1, 1, 1}), numeric({0, 0, 1, 1})}, {0, 0, 1, 1});
  const BinnedTable lopsided({numeric({0, 1, 1, 1})}, {0, 1, 1, 1});
  struct Case {
    const char* name;
    const data::TableAccess* table;
    DecisionTreeOptions options;
    bool splits;
  };
  const std::vector<Case> cases = {
      {"defaults", &lopsided, tree_options(), true},
      {"min_samples_leaf above the smaller side", &lopsided, tree_options(8, 2), false},
      {"fewer rows than min_samples_split", &table, tree_options(8, 1, 5), false},
      {"rows equal to min_samples_split", &table, tree_options(8, 1, 4), true},
      {"max_depth 0", &table, tree_options(0), false},
  };
  for (const Case& c : cases) {
    for (const TreeType type : {TreeType::Cart, TreeType::Id3}) {
      const auto model = train(*c.table, type, Criterion::Gini, c.options);
      EXPECT_EQ(standard(model).nodes.size() > 1, c.splits)
          << c.name << " / " << tree_type_name(type);
    }
  }
  // max_depth 1 allows exactly one split, even when its children are impure.
  const BinnedTable impure({numeric({0, 0, 1, 1, 2, 2})}, {0, 0, 0, 1, 1, 1});
  const auto shallow = train(impure, TreeType::Cart, Criterion::Gini, tree_options(1));
  EXPECT_EQ(standard(shallow).nodes.size(), 3U);
}

TEST(ClassifierBinaryTree, ACanaryWinnerMakesTheNodeALeaf) {
  // Feature 1 separates the classes perfectly, feature 0 only partly (gain 0.25 < 0.5).
  const std::vector<std::uint8_t> partial{0, 1, 0, 1, 2, 2};
  const std::vector<std::uint8_t> perfect{0, 0, 0, 1, 1, 1};
  const std::vector<double> targets{0, 0, 0, 1, 1, 1};
  const BinnedTable real({numeric(partial), binary(perfect)}, targets);
  const BinnedTable with_canary({numeric(partial), as_canary(binary(perfect))}, targets);
  for (const TreeType type : {TreeType::Cart, TreeType::Randomized, TreeType::Id3,
                              TreeType::C45}) {
    const auto split = train(real, type);
    ASSERT_GT(standard(split).nodes.size(), 1U) << tree_type_name(type);
    const auto stopped = train(with_canary, type);
    EXPECT_EQ(standard(stopped).nodes.size(), 1U) << tree_type_name(type);
  }
}

TEST(ClassifierBinaryTree, RandomizedThresholdIsDrawnFromObservedBinsOfTheNode) {
  const BinnedTable table({numeric({0, 1, 2, 3, 0, 1, 2, 3})}, {0, 0, 1, 1, 0, 0, 1, 1});
  const std::vector<std::uint16_t> observed{0, 1, 2, 3};
  const std::vector<RowIndex> rows{0, 1, 2, 3, 4, 5, 6, 7};
  const auto drawn =
      choose_random_threshold(observed, 0, rows, seed_salt::kClassificationThreshold);
  // Any draw below the top bin leaves rows on both sides (and differs from the draw with the
  // regression tree's salt here, so the salt is checked too).
  ASSERT_TRUE(drawn.has_value());
  ASSERT_LT(*drawn, 3);
  ASSERT_NE(drawn, choose_random_threshold(observed, 0, rows, seed_salt::kRegressionThreshold));
  DecisionTreeOptions options = tree_options(1);
  const auto model = train(table, TreeType::Randomized, Criterion::Gini, options);
  EXPECT_EQ(root_as<BinarySplit>(model).threshold_bin, *drawn);
  // The draw depends on the node's rows, never on the training seed.
  options.seed = 12345;
  EXPECT_EQ(train(table, TreeType::Randomized, Criterion::Gini, options).structure,
            model.structure);
}

TEST(ClassifierModel, RecordsItsSettingsAndTheTablesPreprocessing) {
  platform::ChaCha12Rng rng(3);
  Rows rows;
  std::vector<double> targets;
  for (int i = 0; i < 40; ++i) {
    const double x = static_cast<double>(rng.uniform_below(10)) * 0.25;
    rows.push_back({x, static_cast<double>(rng.uniform_below(2)), -x});
    targets.push_back(x > 1.0 ? 4.0 : -1.0);
  }
  const data::Table table = make_table(rows, targets, 2);
  DecisionTreeOptions options = tree_options(5, 2, 3);
  options.max_features = 4;
  options.seed = 11;
  const auto model = train(table, TreeType::C45, Criterion::Entropy, options);
  EXPECT_EQ(model.options, options);
  EXPECT_EQ(model.class_labels, (std::vector<double>{-1.0, 4.0}));
  EXPECT_EQ(model.feature_preprocessing, table.feature_preprocessing());
  EXPECT_EQ(model.n_features, 3U);
  EXPECT_EQ(model.canaries, 2U);
  EXPECT_EQ(model.tree_type, TreeType::C45);
  EXPECT_EQ(model.criterion, Criterion::Entropy);

  TrainingMetadata expected;
  expected.algorithm = "dt";
  expected.task = "classification";
  expected.tree_type = "c45";
  expected.criterion = "entropy";
  expected.canaries = 2;
  expected.compute_oob = false;
  expected.max_depth = 5;
  expected.min_samples_split = 3;
  expected.min_samples_leaf = 2;
  expected.max_features = 4;
  expected.class_labels = std::vector<double>{-1.0, 4.0};
  EXPECT_EQ(model.training_metadata(), expected);

  options.max_features.reset();
  const auto all_features = train(table, TreeType::Cart, Criterion::Gini, options);
  EXPECT_FALSE(all_features.training_metadata().max_features.has_value());
  EXPECT_EQ(all_features.training_metadata().tree_type, "cart");
  EXPECT_EQ(all_features.training_metadata().criterion, "gini");
}

TEST(ClassifierModel, BrokenInvariantsStopWithTheirTexts) {
  const BinnedTable table({numeric({0, 1, 0, 1})}, {0, 1, 0, 1});
  expect_internal_error(
      [&] { train_classifier(table, TreeType::Cart, Criterion::Mean, nullptr, {}); },
      "classification impurity only supports gini or entropy");
  BinnedTable hidden({binary({0, 1, 0, 1})}, {0, 1, 0, 1});
  hidden.hide_booleans();
  expect_internal_error(
      [&] { train_classifier(hidden, TreeType::Cart, Criterion::Gini, nullptr, {}); },
      "binary feature must expose boolean values");
}

// Behaviour every tree type shares: the node that cannot or need not split.
class ClassifierEveryTreeType : public ::testing::TestWithParam<TreeType> {
 protected:
  // The single leaf's counts and class index, whatever the structure.
  static std::pair<std::vector<std::uint64_t>, std::uint64_t> single_leaf(
      const DecisionTreeClassifier& model) {
    if (const auto* tree = std::get_if<ObliviousClassificationTree>(&model.structure)) {
      EXPECT_TRUE(tree->levels.empty());
      EXPECT_EQ(tree->leaf_class_counts.size(), 1U);
      return {tree->leaf_class_counts.at(0), tree->leaf_class_indices.at(0)};
    }
    const auto& tree = standard(model);
    EXPECT_EQ(tree.nodes.size(), 1U);
    const auto& leaf = std::get<Leaf>(tree.nodes.at(tree.root));
    return {leaf.class_counts, leaf.class_index};
  }
};

TEST_P(ClassifierEveryTreeType, OneClassGivesOneLeafOfCertainty) {
  const BinnedTable table({numeric({0, 1, 2, 3}), binary({0, 1, 0, 1})}, {7, 7, 7, 7});
  const auto model = train(table, GetParam(), Criterion::Entropy);
  EXPECT_EQ(model.class_labels, (std::vector<double>{7}));
  const auto [counts, class_index] = single_leaf(model);
  EXPECT_EQ(counts, (std::vector<std::uint64_t>{4}));
  EXPECT_EQ(class_index, 0U);
  EXPECT_EQ(model.predict_row(table, 1), 7.0);
  EXPECT_EQ(model.predict_proba_row(table, 1), (std::vector<double>{1.0}));
}

TEST_P(ClassifierEveryTreeType, EqualCountsPickTheLowestClass) {
  // Nothing to split on: one numeric bin and an all-false binary feature.
  const BinnedTable table({numeric({3, 3, 3, 3, 3, 3}), binary({0, 0, 0, 0, 0, 0})},
                          {1, 0, 1, 0, 1, 0});
  const auto model = train(table, GetParam());
  const auto [counts, class_index] = single_leaf(model);
  EXPECT_EQ(counts, (std::vector<std::uint64_t>{3, 3}));
  EXPECT_EQ(class_index, 0U);
  EXPECT_EQ(model.predict_row(table, 0), 0.0);
  EXPECT_EQ(model.predict_proba_row(table, 0), (std::vector<double>{0.5, 0.5}));
}

TEST_P(ClassifierEveryTreeType, ZeroGainDoesNotSplit) {
  // Exclusive or of two binary features (a sparse table): every single split leaves both
  // sides exactly as mixed as the node.
  const data::Table table = make_table({{0, 0}, {0, 1}, {1, 0}, {1, 1}}, {0, 1, 1, 0});
  ASSERT_EQ(table.kind(), data::Table::Kind::Sparse);
  for (const Criterion criterion : {Criterion::Gini, Criterion::Entropy}) {
    const auto [counts, class_index] = single_leaf(train(table, GetParam(), criterion));
    EXPECT_EQ(counts, (std::vector<std::uint64_t>{2, 2}));
  }
}

INSTANTIATE_TEST_SUITE_P(Classifier, ClassifierEveryTreeType,
                         ::testing::Values(TreeType::Id3, TreeType::C45, TreeType::Cart,
                                           TreeType::Randomized, TreeType::Oblivious),
                         [](const ::testing::TestParamInfo<TreeType>& info) {
                           return std::string(tree_type_debug_name(info.param));
                         });

}  // namespace
}  // namespace arborvane::core
