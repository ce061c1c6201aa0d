#include "core/tree/second_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/forest/table_views.hpp"
#include "core/tree/sampling.hpp"
#include "core/tree/second_order_split.hpp"
#include "platform/check.hpp"
#include "data/table.hpp"
#include "platform/parallel.hpp"
#include "tests/cpp/core/second_order_test_support.hpp"

namespace arborvane::core {
namespace {

using second_order_testing::binary;
using second_order_testing::canary;
using second_order_testing::ColumnTable;
using second_order_testing::numeric;
using second_order_testing::random_column_table;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

SecondOrderTree grow(const data::TableAccess& table, const std::vector<double>& gradients,
                     const std::vector<double>& hessians, TreeType kind,
                     const SecondOrderTreeOptions& options = {},
                     platform::ThreadPool* pool = nullptr) {
  auto result = train_second_order_regressor(table, gradients, hessians, kind, pool, options);
  if (!result) {
    ADD_FAILURE() << result.error().to_string();
    return {};
  }
  return std::move(*result);
}

const StandardRegressionTree& standard(const SecondOrderTree& tree) {
  return std::get<StandardRegressionTree>(tree.tree.structure);
}
const ObliviousRegressionTree& oblivious(const SecondOrderTree& tree) {
  return std::get<ObliviousRegressionTree>(tree.tree.structure);
}
// Second-order leaves never carry a variance.
regression_node::Leaf leaf(double value, std::uint64_t count) {
  return regression_node::Leaf{.value = value, .sample_count = count, .variance = std::nullopt};
}

const regression_node::BinarySplit& root_split(const SecondOrderTree& tree) {
  const StandardRegressionTree& nodes = standard(tree);
  return std::get<regression_node::BinarySplit>(nodes.nodes.at(nodes.root));
}

std::unique_ptr<platform::ThreadPool> make_pool(std::size_t threads) {
  auto pool = platform::ThreadPool::create(threads);
  EXPECT_TRUE(pool.has_value());
  return std::move(*pool);
}

// ---------------------------------------------------------------------------------------------
// Validation

struct ValidationCase {
  const char* name;
  std::size_t rows;
  std::vector<double> gradients;
  std::vector<double> hessians;
  double l2 = 1.0;
  double min_sum_hessian = 0.001;
  double min_gain = 0.0;
  std::string text;
};

void PrintTo(const ValidationCase& c, std::ostream* out) { *out << c.name; }

class SecondOrderValidation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(SecondOrderValidation, ReportsTheFirstFailingCheck) {
  const ValidationCase& c = GetParam();
  const ColumnTable table({numeric(std::vector<std::uint16_t>(c.rows, 0))},
                          std::vector<double>(c.rows, 0.0));
  SecondOrderTreeOptions options;
  options.l2_regularization = c.l2;
  options.min_sum_hessian_in_leaf = c.min_sum_hessian;
  options.min_gain_to_split = c.min_gain;
  for (const TreeType kind : {TreeType::Cart, TreeType::Oblivious}) {
    const auto result =
        train_second_order_regressor(table, c.gradients, c.hessians, kind, nullptr, options);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().to_string(), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SecondOrder, SecondOrderValidation,
    ::testing::Values(
        ValidationCase{"EmptyTableBeforeEverything", 0, {1.0}, {}, -1.0, kNaN, kNaN,
                       "Cannot train on an empty table."},
        ValidationCase{"GradientLengthBeforeHessianLength", 3, {0.0, 0.0}, {1.0}, -1.0, 0.001,
                       0.0, "Gradient length mismatch: expected 3 values, found 2."},
        ValidationCase{"HessianLength", 3, {0.0, 0.0, 0.0}, {1, 1, 1, 1}, kNaN, 0.001, 0.0,
                       "Hessian length mismatch: expected 3 values, found 4."},
        ValidationCase{"NegativeL2BeforeGradients", 2, {kNaN, 0.0}, {1, 1}, -1.0, kNaN, 0.0,
                       "l2_regularization must be finite and non-negative. Found -1."},
        ValidationCase{"InfiniteL2", 2, {0, 0}, {1, 1}, kInf, 0.001, 0.0,
                       "l2_regularization must be finite and non-negative. Found inf."},
        ValidationCase{"NaNMinSumHessianBeforeMinGain", 2, {0, 0}, {1, 1}, 1.0, kNaN, -1.0,
                       "min_sum_hessian_in_leaf must be finite and non-negative. Found NaN."},
        ValidationCase{"NegativeMinGain", 2, {0, 0}, {1, 1}, 1.0, 0.001, -0.5,
                       "min_gain_to_split must be finite and non-negative. Found -0.5."},
        ValidationCase{"GradientsBeforeHessians", 3, {0.0, kInf, kNaN}, {-1.0, 1, 1}, 1.0, 0.001,
                       0.0, "Gradients must be finite values. Found inf at row 1."},
        ValidationCase{"NonFiniteHessian", 3, {0, 0, 0}, {1.0, 1.0, -kInf}, 1.0, 0.001, 0.0,
                       "Hessians must be finite values. Found -inf at row 2."},
        ValidationCase{"HessiansInRowOrderNegativeFirst", 2, {0, 0}, {-0.25, kNaN}, 1.0, 0.001,
                       0.0, "Hessians must be non-negative. Found -0.25 at row 0."},
        ValidationCase{"HessiansInRowOrderNonFiniteFirst", 2, {0, 0}, {kNaN, -0.25}, 1.0, 0.001,
                       0.0, "Hessians must be finite values. Found NaN at row 0."}),
    [](const ::testing::TestParamInfo<ValidationCase>& info) { return info.param.name; });

TEST(SecondOrderValidation, NegativeZeroPassesEveryNonNegativityCheck) {
  const ColumnTable table({numeric({0, 1, 1})}, {0, 0, 0});
  SecondOrderTreeOptions options;
  options.l2_regularization = -0.0;
  options.min_sum_hessian_in_leaf = -0.0;
  options.min_gain_to_split = -0.0;
  const auto result = train_second_order_regressor(table, std::vector<double>{1.0, -1.0, 0.5},
                                                   std::vector<double>{-0.0, 1.0, -0.0},
                                                   TreeType::Cart, nullptr, options);
  EXPECT_TRUE(result.has_value());
}

// ---------------------------------------------------------------------------------------------
// Tree records on cases small enough to work out by hand

TEST(SecondOrderTree, StandardTreeHoldsNewtonStepsAndScores) {
  // Root G = 0, H = 4; the split gives (2, 2) and (-2, 2): gain 2 * 0.5 * 4 / 3.
  const ColumnTable table({numeric({0, 0, 1, 1})}, {0, 0, 0, 0});
  SecondOrderTreeOptions options;
  options.max_features = 5;
  options.max_depth = 3;
  options.min_samples_split = 2;
  options.min_samples_leaf = 1;
  options.seed = 77;
  const SecondOrderTree tree = grow(table, {1, 1, -1, -1}, {1, 1, 1, 1}, TreeType::Cart, options);

  const StandardRegressionTree expected{
      .nodes = {leaf(-2.0 / 3.0, 2), leaf(2.0 / 3.0, 2),
                regression_node::BinarySplit{.feature_index = 0,
                                             .threshold_bin = 0,
                                             .left_child = 0,
                                             .right_child = 1,
                                             .sample_count = 4,
                                             .impurity = 0.0,
                                             .gain = 2.0 / 3.0 + 2.0 / 3.0,
                                             .variance = 0.0}},
      .root = 2};
  EXPECT_EQ(standard(tree), expected);
  EXPECT_FALSE(tree.root_canary);
  EXPECT_EQ(tree.tree.criterion, Criterion::SecondOrder);
  EXPECT_EQ(tree.tree.algorithm, TreeType::Cart);
  EXPECT_EQ(tree.tree.options, (DecisionTreeOptions{.max_features = 5,
                                                    .max_depth = 3,
                                                    .min_samples_split = 2,
                                                    .min_samples_leaf = 1,
                                                    .seed = 77}));
  EXPECT_EQ(tree.tree.n_features, 1U);
  EXPECT_EQ(tree.tree.canaries, 0U);
  EXPECT_EQ(tree.tree.feature_preprocessing, table.feature_preprocessing());
}

TEST(SecondOrderTree, ObliviousTreeHoldsLevelsAndLeafSteps) {
  const ColumnTable table({numeric({1, 0, 1, 0}), binary({0, 0, 0, 1})}, {0, 0, 0, 0});
  const SecondOrderTree tree = grow(table, {-1, 1, -1, 1}, {1, 1, 1, 1}, TreeType::Oblivious);
  const ObliviousRegressionTree& levels = oblivious(tree);
  ASSERT_EQ(levels.levels.size(), 1U);
  EXPECT_EQ(levels.levels[0], (ObliviousLevel{.feature_index = 0,
                                              .sample_count = 4,
                                              .impurity = 2.0 / 3.0 + 2.0 / 3.0,
                                              .gain = 2.0 / 3.0 + 2.0 / 3.0,
                                              .threshold_bin = 0}));
  EXPECT_EQ(levels.leaf_values, (std::vector<double>{-2.0 / 3.0, 2.0 / 3.0}));
  EXPECT_EQ(levels.leaf_sample_counts, (std::vector<std::uint64_t>{2, 2}));
  EXPECT_EQ(levels.leaf_variances,
            (std::vector<std::optional<double>>{std::nullopt, std::nullopt}));
  EXPECT_EQ(tree.tree.algorithm, TreeType::Oblivious);
}

TEST(SecondOrderTree, NodeWithoutHessianIsALeaf) {
  // Splitting would separate the gradients perfectly, but H = 0 stops the root.
  const ColumnTable table({numeric({0, 0, 1, 1})}, {0, 0, 0, 0});
  struct Case {
    double l2;
    double value;
  };
  for (const Case c : {Case{1.0, -4.0}, Case{0.0, 0.0}, Case{0.5, -8.0}}) {
    SecondOrderTreeOptions options;
    options.l2_regularization = c.l2;
    options.min_sum_hessian_in_leaf = 0.0;
    for (const TreeType kind : {TreeType::Cart, TreeType::Randomized}) {
      const SecondOrderTree tree = grow(table, {3, 3, -1, -1}, {0, 0, 0, 0}, kind, options);
      ASSERT_EQ(standard(tree).nodes.size(), 1U) << c.l2;
      EXPECT_EQ(standard(tree).nodes[0],
                RegressionNode(leaf(c.value, 4)));
    }
  }
}

TEST(SecondOrderTree, ZeroHessiansWithUnitL2GiveMinusGradientSums) {
  // Oblivious growth has no hessian stop: leaves are -G and the level scores 0.5 * G^2.
  const ColumnTable table({numeric({0, 0, 1, 1})}, {0, 0, 0, 0});
  SecondOrderTreeOptions options;
  options.min_sum_hessian_in_leaf = 0.0;
  const SecondOrderTree tree =
      grow(table, {3, 3, -1, -1}, {0, 0, 0, 0}, TreeType::Oblivious, options);
  const ObliviousRegressionTree& levels = oblivious(tree);
  ASSERT_EQ(levels.levels.size(), 1U);
  EXPECT_EQ(levels.levels[0].gain, 18.0 + 2.0 - 8.0);
  EXPECT_EQ(levels.levels[0].impurity, 18.0 + 2.0);
  EXPECT_EQ(levels.leaf_values, (std::vector<double>{-6.0, 2.0}));
}

TEST(SecondOrderTree, MaxDepthZeroGivesOneLeaf) {
  const ColumnTable table({numeric({0, 1, 2, 3})}, {0, 0, 0, 0});
  SecondOrderTreeOptions options;
  options.max_depth = 0;
  const std::vector<double> gradients{1, 1, -1, 3};  // G = 4, H = 4: V = -4 / 5
  for (const TreeType kind : {TreeType::Cart, TreeType::Randomized}) {
    const SecondOrderTree tree = grow(table, gradients, {1, 1, 1, 1}, kind, options);
    EXPECT_EQ(standard(tree), (StandardRegressionTree{
                                  .nodes = {leaf(-0.8, 4)},
                                  .root = 0}));
  }
  const SecondOrderTree tree = grow(table, gradients, {1, 1, 1, 1}, TreeType::Oblivious, options);
  EXPECT_EQ(oblivious(tree), (ObliviousRegressionTree{.levels = {},
                                                      .leaf_values = {-0.8},
                                                      .leaf_sample_counts = {4},
                                                      .leaf_variances = {std::nullopt}}));
}

TEST(SecondOrderTree, FeatureWithOneBinNeverSplits) {
  const ColumnTable table({numeric({2, 2, 2, 2})}, {0, 0, 0, 0});
  for (const TreeType kind : {TreeType::Cart, TreeType::Randomized, TreeType::Oblivious}) {
    const SecondOrderTree tree = grow(table, {5, 5, -5, -5}, {1, 1, 1, 1}, kind);
    if (kind == TreeType::Oblivious) {
      EXPECT_TRUE(oblivious(tree).levels.empty());
    } else {
      EXPECT_EQ(standard(tree).nodes.size(), 1U);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Ties

TEST(SecondOrderTies, CartTakesTheLowestBinObliviousTheHighest) {
  // Thresholds 0 and 1 give the same gain: 0.25 + 1/6 either way.
  const ColumnTable table({numeric({0, 1, 2})}, {0, 0, 0});
  SecondOrderTreeOptions options;
  options.max_depth = 1;
  const std::vector<double> gradients{1, 0, -1};
  const std::vector<double> hessians{1, 1, 1};
  const SecondOrderTree cart = grow(table, gradients, hessians, TreeType::Cart, options);
  EXPECT_EQ(root_split(cart).threshold_bin, 0);
  const SecondOrderTree level = grow(table, gradients, hessians, TreeType::Oblivious, options);
  ASSERT_EQ(oblivious(level).levels.size(), 1U);
  EXPECT_EQ(oblivious(level).levels[0].threshold_bin, 1);
}

TEST(SecondOrderTies, EqualFeaturesGoToTheLaterCandidate) {
  const std::vector<std::uint16_t> pattern{0, 0, 1, 1};
  struct Case {
    ColumnTable::Column first;
    ColumnTable::Column second;
  };
  for (const Case& c : {Case{numeric(pattern), numeric(pattern)},
                        Case{binary(pattern), numeric(pattern)},
                        Case{numeric(pattern), binary(pattern)}}) {
    const ColumnTable table({c.first, c.second}, {0, 0, 0, 0});
    SecondOrderTreeOptions options;
    options.max_depth = 1;
    const std::vector<double> gradients{2, 2, -1, -1};
    const std::vector<double> hessians{1, 1, 1, 1};
    EXPECT_EQ(root_split(grow(table, gradients, hessians, TreeType::Cart, options)).feature_index,
              1U);
    const SecondOrderTree level = grow(table, gradients, hessians, TreeType::Oblivious, options);
    ASSERT_EQ(oblivious(level).levels.size(), 1U);
    EXPECT_EQ(oblivious(level).levels[0].feature_index, 1U);
  }
}

// ---------------------------------------------------------------------------------------------
// Canary columns

// Feature `split` separates the gradient signs (root gain 204.8); `refine` gains nothing at the
// root but splits each half further (gain 4.27 per half).
const std::vector<std::uint16_t> kSplitBins{0, 0, 0, 0, 1, 1, 1, 1};
const std::vector<std::uint16_t> kRefineBins{0, 0, 1, 1, 0, 0, 1, 1};
const std::vector<double> kCanaryGradients{12, 12, 4, 4, -12, -12, -4, -4};
const std::vector<double> kUnitHessians(8, 1.0);

TEST(SecondOrderCanary, CanaryWinningTheRootStopsWithTheFlag) {
  const ColumnTable table({numeric(kRefineBins), canary(kSplitBins)}, std::vector<double>(8, 0));
  const SecondOrderTree tree = grow(table, kCanaryGradients, kUnitHessians, TreeType::Cart);
  EXPECT_TRUE(tree.root_canary);
  EXPECT_EQ(standard(tree), (StandardRegressionTree{
                                .nodes = {leaf(0.0, 8)},
                                .root = 0}));

  const SecondOrderTree level = grow(table, kCanaryGradients, kUnitHessians, TreeType::Oblivious);
  EXPECT_TRUE(level.root_canary);
  EXPECT_TRUE(oblivious(level).levels.empty());
  EXPECT_EQ(oblivious(level).leaf_sample_counts, (std::vector<std::uint64_t>{8}));
}

TEST(SecondOrderCanary, CanaryWinningDeeperStopsOnlyThereWithoutTheFlag) {
  const ColumnTable real({numeric(kSplitBins), numeric(kRefineBins)}, std::vector<double>(8, 0));
  const ColumnTable with_canary({numeric(kSplitBins), canary(kRefineBins)},
                                std::vector<double>(8, 0));

  EXPECT_EQ(standard(grow(real, kCanaryGradients, kUnitHessians, TreeType::Cart)).nodes.size(),
            7U);
  const SecondOrderTree tree = grow(with_canary, kCanaryGradients, kUnitHessians, TreeType::Cart);
  EXPECT_FALSE(tree.root_canary);
  ASSERT_EQ(standard(tree).nodes.size(), 3U);
  EXPECT_EQ(root_split(tree).feature_index, 0U);

  EXPECT_EQ(oblivious(grow(real, kCanaryGradients, kUnitHessians, TreeType::Oblivious))
                .levels.size(),
            2U);
  const SecondOrderTree level =
      grow(with_canary, kCanaryGradients, kUnitHessians, TreeType::Oblivious);
  EXPECT_FALSE(level.root_canary);
  ASSERT_EQ(oblivious(level).levels.size(), 1U);
  EXPECT_EQ(oblivious(level).levels[0].feature_index, 0U);
}

// ---------------------------------------------------------------------------------------------
// A literal transcription of the growth rules, reading the table value by value and counting
// every side from rows. With integer gradients and hessians every sum is exact, so it must
// agree bit for bit with the histogram learner and its subtracted histograms.

bool at_least(double a, double b) { return std::strong_order(a, b) >= 0; }

class NaiveSecondOrder {
 public:
  NaiveSecondOrder(const data::TableAccess& table, std::vector<double> gradients,
                   std::vector<double> hessians, TreeType kind, SecondOrderTreeOptions options)
      : table_(table),
        g_(std::move(gradients)),
        h_(std::move(hessians)),
        kind_(kind),
        options_(options) {
    for (RowIndex r = 0; r < table.n_rows(); ++r) buffer_.push_back(r);
  }

  SecondOrderTree grow() {
    SecondOrderTree result;
    if (kind_ == TreeType::Oblivious) {
      result.tree.structure = grow_oblivious();
    } else {
      StandardRegressionTree tree;
      tree.root = grow_node(tree, 0, buffer_.size(), 0);
      result.tree.structure = tree;
    }
    result.root_canary = root_canary_;
    return result;
  }

 private:
  struct Sides {
    double left_g = 0.0, left_h = 0.0, right_g = 0.0, right_h = 0.0;
    std::uint64_t left_n = 0, right_n = 0;
  };

  double score(double g, double h) const {
    const double d = h + options_.l2_regularization;
    return d > 0.0 ? 0.5 * g * g / d : 0.0;
  }
  double value(double g, double h) const {
    const double d = h + options_.l2_regularization;
    return d > 0.0 ? -g / d : 0.0;
  }

  bool goes_left(std::uint64_t feature, RowIndex row, std::uint16_t threshold) const {
    if (table_.is_binary_binned_feature(feature)) {
      return !*table_.binned_boolean_value(feature, row);
    }
    return table_.binned_value(feature, row) <= threshold;
  }

  Sides sides(std::uint64_t feature, std::span<const RowIndex> rows,
              std::uint16_t threshold) const {
    Sides s;
    for (const RowIndex row : rows) {
      if (goes_left(feature, row, threshold)) {
        s.left_g += g_[row], s.left_h += h_[row], ++s.left_n;
      } else {
        s.right_g += g_[row], s.right_h += h_[row], ++s.right_n;
      }
    }
    return s;
  }

  std::optional<double> gain(const Sides& s) const {
    if (!(s.left_h >= options_.min_sum_hessian_in_leaf &&
          s.right_h >= options_.min_sum_hessian_in_leaf &&
          s.left_n >= options_.min_samples_leaf && s.right_n >= options_.min_samples_leaf)) {
      return std::nullopt;
    }
    return score(s.left_g, s.left_h) + score(s.right_g, s.right_h) -
           score(s.left_g + s.right_g, s.left_h + s.right_h);
  }

  std::vector<std::uint16_t> observed(std::uint64_t feature, std::span<const RowIndex> rows) const {
    std::set<std::uint16_t> bins;
    for (const RowIndex row : rows) bins.insert(table_.binned_value(feature, row));
    return {bins.begin(), bins.end()};
  }

  std::optional<second_order::SplitChoice> score_node(std::uint64_t f,
                                                      std::span<const RowIndex> rows) const {
    if (table_.is_binary_binned_feature(f)) {
      const std::optional<double> g = gain(sides(f, rows, 0));
      if (!g) return std::nullopt;
      return second_order::SplitChoice{f, *g, 0};
    }
    const std::vector<std::uint16_t> bins = observed(f, rows);
    if (kind_ == TreeType::Randomized) {
      const auto threshold =
          choose_random_threshold(bins, f, rows, seed_salt::kRegressionThreshold);
      if (!threshold) return std::nullopt;
      const std::optional<double> g = gain(sides(f, rows, *threshold));
      if (!g) return std::nullopt;
      return second_order::SplitChoice{f, *g, *threshold};
    }
    if (bins.size() < 2) return std::nullopt;
    std::optional<second_order::SplitChoice> best;
    for (const std::uint16_t b : bins) {
      const std::optional<double> g = gain(sides(f, rows, b));
      if (g && (!best || std::strong_order(*g, best->gain) > 0)) {
        best = second_order::SplitChoice{f, *g, b};
      }
    }
    return best;
  }

  std::size_t partition(std::size_t begin, std::size_t end, const second_order::SplitChoice& c) {
    std::size_t left = begin;
    std::vector<bool> sides_of;
    for (std::size_t i = begin; i < end; ++i) {
      sides_of.push_back(goes_left(c.feature, buffer_[i], c.threshold_bin));
    }
    for (std::size_t i = begin; i < end; ++i) {
      if (sides_of[i - begin]) std::swap(buffer_[left++], buffer_[i]);
    }
    return left;
  }

  std::vector<std::uint64_t> candidates(std::uint64_t seed) const {
    const std::uint64_t count = table_.binned_feature_count();
    if (!options_.max_features) return sample_feature_subset(count, count, 0);
    return sample_feature_subset(count, *options_.max_features, seed);
  }

  std::uint64_t grow_node(StandardRegressionTree& tree, std::size_t begin, std::size_t end,
                          std::uint64_t depth) {
    const std::span<const RowIndex> rows(buffer_.data() + begin, end - begin);
    double g = 0.0, h = 0.0;
    for (const RowIndex row : rows) g += g_[row], h += h_[row];
    auto append_leaf = [&] {
      tree.nodes.push_back(leaf(value(g, h), rows.size()));
      return tree.nodes.size() - 1;
    };
    if (h <= 0.0 || rows.empty() || depth >= options_.max_depth ||
        rows.size() < options_.min_samples_split) {
      return append_leaf();
    }
    std::optional<second_order::SplitChoice> best;
    for (const std::uint64_t f :
         candidates(node_seed(depth, options_.seed, seed_salt::kRegressionNode, rows))) {
      const auto choice = score_node(f, rows);
      if (choice && (!best || at_least(choice->gain, best->gain))) best = choice;
    }
    if (!best || best->gain <= options_.min_gain_to_split) return append_leaf();
    if (table_.is_canary_binned_feature(best->feature)) {
      root_canary_ = root_canary_ || depth == 0;
      return append_leaf();
    }
    const std::size_t middle = partition(begin, end, *best);
    const std::uint64_t left = grow_node(tree, begin, middle, depth + 1);
    const std::uint64_t right = grow_node(tree, middle, end, depth + 1);
    tree.nodes.push_back(regression_node::BinarySplit{.feature_index = best->feature,
                                                      .threshold_bin = best->threshold_bin,
                                                      .left_child = left,
                                                      .right_child = right,
                                                      .sample_count = rows.size(),
                                                      .impurity = score(g, h),
                                                      .gain = best->gain,
                                                      .variance = 0.0});
    return tree.nodes.size() - 1;
  }

  std::optional<second_order::SplitChoice> score_level(
      std::uint64_t f, const std::vector<std::pair<std::size_t, std::size_t>>& parts) const {
    const double min_gain = options_.min_gain_to_split;
    if (table_.is_binary_binned_feature(f)) {
      double total = 0.0;
      bool counted = false;
      for (const auto& [begin, end] : parts) {
        const std::span<const RowIndex> rows(buffer_.data() + begin, end - begin);
        if (const std::optional<double> g = gain(sides(f, rows, 0))) total += *g, counted = true;
      }
      if (!counted || !(total > min_gain)) return std::nullopt;
      return second_order::SplitChoice{f, total, 0};
    }
    std::vector<double> totals(table_.numeric_bin_cap(), 0.0);
    std::vector<bool> valid(table_.numeric_bin_cap(), false);
    for (const auto& [begin, end] : parts) {
      const std::span<const RowIndex> rows(buffer_.data() + begin, end - begin);
      const std::vector<std::uint16_t> bins = observed(f, rows);
      if (bins.size() < 2) continue;
      for (const std::uint16_t b : bins) {
        if (const std::optional<double> g = gain(sides(f, rows, b))) {
          totals[b] += *g;
          valid[b] = true;
        }
      }
    }
    std::optional<second_order::SplitChoice> best;
    for (std::uint16_t b = 0; b < totals.size(); ++b) {
      if (valid[b] && totals[b] > min_gain && (!best || at_least(totals[b], best->gain))) {
        best = second_order::SplitChoice{f, totals[b], b};
      }
    }
    return best;
  }

  ObliviousRegressionTree grow_oblivious() {
    ObliviousRegressionTree tree;
    std::vector<std::pair<std::size_t, std::size_t>> parts{{0, buffer_.size()}};
    for (std::uint64_t level = 0; level < options_.max_depth; ++level) {
      if (std::none_of(parts.begin(), parts.end(), [&](const auto& p) {
            return p.second - p.first >= options_.min_samples_split;
          })) {
        break;
      }
      std::optional<second_order::SplitChoice> best;
      for (const std::uint64_t f : candidates(level_seed(level, options_.seed))) {
        const auto choice = score_level(f, parts);
        if (choice && (!best || at_least(choice->gain, best->gain))) best = choice;
      }
      if (!best || best->gain <= options_.min_gain_to_split) break;
      if (table_.is_canary_binned_feature(best->feature)) {
        root_canary_ = level == 0;
        break;
      }
      std::vector<std::pair<std::size_t, std::size_t>> next;
      double impurity = 0.0;
      for (const auto& [begin, end] : parts) {
        const std::size_t middle = partition(begin, end, *best);
        for (const auto& part : {std::pair{begin, middle}, std::pair{middle, end}}) {
          const auto [g, h] = sums(part);
          impurity += score(g, h);
          next.push_back(part);
        }
      }
      parts = next;
      tree.levels.push_back(ObliviousLevel{.feature_index = best->feature,
                                           .sample_count = table_.n_rows(),
                                           .impurity = impurity,
                                           .gain = best->gain,
                                           .threshold_bin = best->threshold_bin});
    }
    for (const auto& part : parts) {
      const auto [g, h] = sums(part);
      tree.leaf_values.push_back(value(g, h));
      tree.leaf_sample_counts.push_back(part.second - part.first);
      tree.leaf_variances.push_back(std::nullopt);
    }
    return tree;
  }

  std::pair<double, double> sums(const std::pair<std::size_t, std::size_t>& part) const {
    double g = 0.0, h = 0.0;
    for (std::size_t i = part.first; i < part.second; ++i) g += g_[buffer_[i]], h += h_[buffer_[i]];
    return {g, h};
  }

  const data::TableAccess& table_;
  std::vector<double> g_;
  std::vector<double> h_;
  TreeType kind_;
  SecondOrderTreeOptions options_;
  std::vector<RowIndex> buffer_;
  bool root_canary_ = false;
};

struct OracleCase {
  const char* name;
  TreeType kind;
  std::optional<std::uint64_t> max_features;
  bool mapped;  // the table is read through a row mapping with repeated rows
};

void PrintTo(const OracleCase& c, std::ostream* out) { *out << c.name; }

class SecondOrderOracle : public ::testing::TestWithParam<OracleCase> {};

TEST_P(SecondOrderOracle, AgreesWithTheLiteralRules) {
  const OracleCase& c = GetParam();
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    ColumnTable table = random_column_table(400, 4, 2, 2, 6, seed);
    std::mt19937 rng(seed * 7919);
    if (c.mapped) {
      std::vector<std::uint64_t> mapping(300);
      std::uniform_int_distribution<std::uint64_t> row(0, 399);
      for (auto& r : mapping) r = row(rng);
      table.map_rows(std::move(mapping));
    }
    // Gradients follow two real features plus noise, so trees grow several levels.
    std::uniform_int_distribution<int> noise(-3, 3);
    std::uniform_int_distribution<int> hessian(0, 3);
    std::vector<double> g(table.n_rows());
    std::vector<double> h(table.n_rows());
    for (std::size_t r = 0; r < g.size(); ++r) {
      g[r] = noise(rng) + 2.0 * table.binned_value(0, r) - 5.0 * table.binned_value(4, r);
      h[r] = hessian(rng);
    }

    SecondOrderTreeOptions options;
    options.max_features = c.max_features;
    options.max_depth = 6;
    options.min_samples_split = 3 + seed % 3;
    options.min_samples_leaf = 1 + seed % 4;
    options.seed = 1000 + seed;
    const SecondOrderTree expected = NaiveSecondOrder(table, g, h, c.kind, options).grow();
    const SecondOrderTree actual = grow(table, g, h, c.kind, options);
    EXPECT_EQ(actual.tree.structure, expected.tree.structure) << "seed " << seed;
    EXPECT_EQ(actual.root_canary, expected.root_canary) << "seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SecondOrder, SecondOrderOracle,
    ::testing::Values(OracleCase{"Cart", TreeType::Cart, std::nullopt, false},
                      OracleCase{"CartSampled", TreeType::Cart, 3, false},
                      OracleCase{"CartMapped", TreeType::Cart, 5, true},
                      OracleCase{"Randomized", TreeType::Randomized, std::nullopt, false},
                      OracleCase{"RandomizedMapped", TreeType::Randomized, 3, true},
                      OracleCase{"Oblivious", TreeType::Oblivious, std::nullopt, false},
                      OracleCase{"ObliviousSampled", TreeType::Oblivious, 3, false},
                      OracleCase{"ObliviousMapped", TreeType::Oblivious, 4, true}),
    [](const ::testing::TestParamInfo<OracleCase>& info) { return info.param.name; });

// Real training tables: 16-bit bins, sparse binary columns, each also through a sampling view
// (the way boosting hands rows to the learner).
struct TableCase {
  const char* name;
  bool sparse;
  bool sampled;
};

void PrintTo(const TableCase& c, std::ostream* out) { *out << c.name; }

class SecondOrderOracleTables : public ::testing::TestWithParam<TableCase> {};

TEST_P(SecondOrderOracleTables, AgreesWithTheLiteralRules) {
  const TableCase& c = GetParam();
  std::mt19937 rng(21);
  std::uniform_int_distribution<int> value(0, 599);
  std::vector<std::vector<double>> rows(700);
  for (auto& row : rows) {
    for (int f = 0; f < 5; ++f) row.push_back(c.sparse ? value(rng) % 2 : value(rng));
  }
  const data::Table table = *data::Table::with_options(
      rows, std::vector<double>(rows.size(), 0.0), 1, data::NumericBins::fixed(400));
  ASSERT_EQ(table.kind(), c.sparse ? data::Table::Kind::Sparse : data::Table::Kind::Dense);
  ASSERT_EQ(table.binned_column_view(0).layout, c.sparse ? data::BinnedColumnView::Layout::Sparse
                                                         : data::BinnedColumnView::Layout::U16);
  std::vector<std::uint64_t> sample(500);
  for (auto& r : sample) r = rng() % rows.size();
  const SampledTable view(table, sample);
  const data::TableAccess& seen = c.sampled ? static_cast<const data::TableAccess&>(view) : table;

  std::uniform_int_distribution<int> noise(-3, 3);
  std::vector<double> g(seen.n_rows());
  std::vector<double> h(seen.n_rows());
  for (std::size_t r = 0; r < g.size(); ++r) {
    const double signal = c.sparse ? 4 * seen.binned_value(0, r) + 3 * seen.binned_value(1, r)
                                   : seen.binned_value(0, r) / 100;
    g[r] = noise(rng) + 4.0 * signal;
    h[r] = 1 + r % 3;
  }
  for (const TreeType kind : {TreeType::Cart, TreeType::Randomized, TreeType::Oblivious}) {
    SecondOrderTreeOptions options;
    options.max_depth = 5;
    options.seed = 3;
    const SecondOrderTree expected = NaiveSecondOrder(seen, g, h, kind, options).grow();
    const SecondOrderTree actual = grow(seen, g, h, kind, options);
    EXPECT_EQ(actual.tree.structure, expected.tree.structure) << tree_type_name(kind);
    EXPECT_EQ(actual.root_canary, expected.root_canary) << tree_type_name(kind);
    const bool grew = std::visit(
        [](const auto& tree) {
          if constexpr (std::is_same_v<std::decay_t<decltype(tree)>, StandardRegressionTree>) {
            return tree.nodes.size() > 3;
          } else {
            return tree.levels.size() > 1;
          }
        },
        actual.tree.structure);
    EXPECT_TRUE(grew) << tree_type_name(kind);  // the comparison covers real growth
  }
}

INSTANTIATE_TEST_SUITE_P(
    SecondOrder, SecondOrderOracleTables,
    ::testing::Values(TableCase{"WideBins", false, false}, TableCase{"WideBinsSampled", false, true},
                      TableCase{"Sparse", true, false}, TableCase{"SparseSampled", true, true}),
    [](const ::testing::TestParamInfo<TableCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Threads, pieces and invariants

TEST(SecondOrderThreads, SameTreeForAnyPool) {
  // Wide enough that histograms, scoring and oblivious levels all take the parallel paths.
  ColumnTable table = random_column_table(700, 280, 12, 20, 128, 5);
  std::mt19937 rng(11);
  std::normal_distribution<double> gradient(0.0, 2.0);
  std::uniform_real_distribution<double> hessian(0.05, 2.0);
  std::vector<double> g(table.n_rows());
  std::vector<double> h(table.n_rows());
  for (std::size_t r = 0; r < g.size(); ++r) g[r] = gradient(rng), h[r] = hessian(rng);
  const auto two = make_pool(2);
  const auto four = make_pool(4);
  for (const TreeType kind : {TreeType::Cart, TreeType::Randomized, TreeType::Oblivious}) {
    for (const std::optional<std::uint64_t> max_features : {std::optional<std::uint64_t>{},
                                                            std::optional<std::uint64_t>{100}}) {
      SecondOrderTreeOptions options;
      options.max_features = max_features;
      options.max_depth = 6;
      options.seed = 99;
      const SecondOrderTree alone = grow(table, g, h, kind, options);
      EXPECT_EQ(grow(table, g, h, kind, options, two.get()).tree, alone.tree);
      EXPECT_EQ(grow(table, g, h, kind, options, four.get()).tree, alone.tree);
    }
  }
}

TEST(SecondOrderPieces, RandomThresholdDrawsAsTheSharedSampler) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<RowIndex> rows(rng() % 50);
    for (auto& r : rows) r = static_cast<RowIndex>(rng() % 100000);
    std::vector<second_order::GradientBin> bins(16);
    std::vector<std::uint16_t> observed;
    for (std::uint16_t b = 0; b < bins.size(); ++b) {
      if (rng() % 3 == 0) {
        bins[b].count = 1;
        observed.push_back(b);
      }
    }
    const std::uint64_t feature = rng() % 40;
    EXPECT_EQ(second_order::random_threshold(bins, feature, rows.size(),
                                             second_order::RowFold::of(rows)),
              choose_random_threshold(observed, feature, rows, seed_salt::kRegressionThreshold));
  }
}

TEST(SecondOrderPieces, TotalOrderMatchesTheStandardLibrary) {
  const std::vector<double> values{-kNaN, -kInf, -1.0, -0.0, 0.0, 5e-324, 1.0, kInf, kNaN};
  for (const double a : values) {
    for (const double b : values) {
      EXPECT_EQ(second_order::total_order_greater(a, b), std::strong_order(a, b) > 0)
          << a << " vs " << b;
    }
  }
}

TEST(SecondOrderInvariants, BinaryColumnWithoutBooleansStops) {
  ColumnTable table({binary({0, 1, 0, 1})}, {0, 0, 0, 0});
  table.hide_booleans();
  try {
    grow(table, {1, -1, 1, -1}, {1, 1, 1, 1}, TreeType::Cart);
    FAIL() << "expected an internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "binary feature must expose boolean values");
  }
}

TEST(SecondOrderInvariants, BinPastTheCapStops) {
  const ColumnTable table({numeric({0, 1, 6, 1})}, {0, 0, 0, 0}, 4);
  for (const TreeType kind : {TreeType::Cart, TreeType::Oblivious}) {
    try {
      grow(table, {1, -1, 1, -1}, {1, 1, 1, 1}, kind);
      FAIL() << "expected an internal error";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "numeric bins stay below numeric_bin_cap");
    }
  }
}

}  // namespace
}  // namespace arborvane::core
