#include "core/tree/regressor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <set>
#include <string>

#include "platform/check.hpp"
#include "tests/cpp/core/regressor_test_tables.hpp"

namespace arborvane::core {
namespace {

using regression_node::BinarySplit;
using regression_node::Leaf;
using testing::BinTable;
using testing::random_table;

DecisionTreeRegressor train(const data::TableAccess& table, TreeType type, Criterion criterion,
                            const DecisionTreeOptions& options = {},
                            platform::ThreadPool* pool = nullptr) {
  auto model = train_regressor(table, type, criterion, pool, options);
  EXPECT_TRUE(model.has_value());
  return *model;
}

const StandardRegressionTree& standard(const DecisionTreeRegressor& model) {
  return std::get<StandardRegressionTree>(model.structure);
}

const BinarySplit& root_split(const DecisionTreeRegressor& model) {
  const StandardRegressionTree& tree = standard(model);
  return std::get<BinarySplit>(tree.nodes.at(tree.root));
}

// The split feature and threshold at the top of either structure.
std::pair<std::uint64_t, std::uint16_t> top_split(const DecisionTreeRegressor& model) {
  if (const auto* tree = std::get_if<ObliviousRegressionTree>(&model.structure)) {
    return {tree->levels.at(0).feature_index, tree->levels.at(0).threshold_bin};
  }
  const BinarySplit& split = root_split(model);
  return {split.feature_index, split.threshold_bin};
}

std::uint64_t node_count(const DecisionTreeRegressor& model) {
  if (const auto* tree = std::get_if<ObliviousRegressionTree>(&model.structure)) {
    return tree->levels.size();
  }
  return standard(model).nodes.size();
}

StandardRegressionTree tree_of(std::vector<RegressionNode> nodes) {
  const std::uint64_t root = nodes.size() - 1;
  return StandardRegressionTree{std::move(nodes), root};
}

DecisionTreeOptions with(void (*edit)(DecisionTreeOptions&)) {
  DecisionTreeOptions options;
  edit(options);
  return options;
}

struct ShapeCase {
  std::string name;
  Criterion criterion;
  DecisionTreeOptions options;
  std::vector<std::uint16_t> bins;
  std::vector<double> targets;
  StandardRegressionTree expected;

  friend void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }
};

class RegressorShapes : public ::testing::TestWithParam<ShapeCase> {};

// Whole trees (post-order arena, statistics, gains) on four rows small enough to do by hand.
TEST_P(RegressorShapes, GrowsTheExpectedTree) {
  const ShapeCase& c = GetParam();
  const BinTable table({testing::numeric(c.bins)}, c.targets);
  EXPECT_EQ(standard(train(table, TreeType::Cart, c.criterion, c.options)), c.expected);
}

const std::vector<double> kSteps{1.0, 2.0, 5.0, 6.0};
const std::vector<std::uint16_t> kFourBins{0, 1, 2, 3};
const StandardRegressionTree kOneSplit =
    tree_of({Leaf{1.5, 2, 0.25}, Leaf{5.5, 2, 0.25}, BinarySplit{0, 1, 0, 1, 4, 17.0, 16.0, 4.25}});
const StandardRegressionTree kOneLeaf = tree_of({Leaf{3.5, 4, 4.25}});

INSTANTIATE_TEST_SUITE_P(
    RegressorCases, RegressorShapes,
    ::testing::Values(
        ShapeCase{"constant_targets", Criterion::Mean, {}, kFourBins, {5, 5, 5, 5},
                  tree_of({Leaf{5.0, 4, 0.0}})},
        ShapeCase{"full_depth_in_post_order", Criterion::Mean, {}, kFourBins, kSteps,
                  tree_of({Leaf{1, 1, 0}, Leaf{2, 1, 0}, BinarySplit{0, 0, 0, 1, 2, 0.5, 0.5, 0.25},
                           Leaf{5, 1, 0}, Leaf{6, 1, 0}, BinarySplit{0, 2, 3, 4, 2, 0.5, 0.5, 0.25},
                           BinarySplit{0, 1, 2, 5, 4, 17.0, 16.0, 4.25}})},
        ShapeCase{"median_full_depth", Criterion::Median, {}, kFourBins, kSteps,
                  tree_of({Leaf{1, 1, 0}, Leaf{2, 1, 0}, BinarySplit{0, 0, 0, 1, 2, 1.0, 1.0, 0.25},
                           Leaf{5, 1, 0}, Leaf{6, 1, 0}, BinarySplit{0, 2, 3, 4, 2, 1.0, 1.0, 0.25},
                           BinarySplit{0, 1, 2, 5, 4, 8.0, 6.0, 4.25}})},
        ShapeCase{"max_depth_one_allows_the_root_split", Criterion::Mean,
                  with([](DecisionTreeOptions& o) { o.max_depth = 1; }), kFourBins, kSteps,
                  kOneSplit},
        ShapeCase{"min_samples_split_above_the_rows", Criterion::Mean,
                  with([](DecisionTreeOptions& o) { o.min_samples_split = 5; }), kFourBins,
                  kSteps, kOneLeaf},
        ShapeCase{"min_samples_split_stops_the_children", Criterion::Mean,
                  with([](DecisionTreeOptions& o) { o.min_samples_split = 3; }), kFourBins,
                  kSteps, kOneSplit},
        ShapeCase{"min_samples_leaf_forbids_every_split", Criterion::Mean,
                  with([](DecisionTreeOptions& o) { o.min_samples_leaf = 3; }), kFourBins,
                  kSteps, kOneLeaf},
        ShapeCase{"zero_gain_is_not_a_split", Criterion::Mean, {}, {0, 0, 1, 1}, {1, 3, 1, 3},
                  tree_of({Leaf{2.0, 4, 1.0}})}),
    [](const auto& info) { return info.param.name; });

struct Config {
  TreeType type;
  Criterion criterion;

  friend void PrintTo(const Config& c, std::ostream* os) {
    *os << tree_type_name(c.type) << " " << criterion_name(c.criterion);
  }
};

std::string config_name(const ::testing::TestParamInfo<Config>& info) {
  return std::string(tree_type_name(info.param.type)) + "_" +
         std::string(criterion_name(info.param.criterion));
}

const auto kDeterministicConfigs = ::testing::Values(
    Config{TreeType::Cart, Criterion::Mean}, Config{TreeType::Cart, Criterion::Median},
    Config{TreeType::Oblivious, Criterion::Mean}, Config{TreeType::Oblivious, Criterion::Median});

const auto kAllConfigs = ::testing::Values(
    Config{TreeType::Cart, Criterion::Mean}, Config{TreeType::Cart, Criterion::Median},
    Config{TreeType::Randomized, Criterion::Mean}, Config{TreeType::Randomized, Criterion::Median},
    Config{TreeType::Oblivious, Criterion::Mean}, Config{TreeType::Oblivious, Criterion::Median});

class RegressorTies : public ::testing::TestWithParam<Config> {};

TEST_P(RegressorTies, LaterFeatureWinsEqualGains) {
  // Features 0 and 2 split identically; feature 1 is weaker.
  const BinTable table({testing::numeric({0, 0, 1, 1}), testing::numeric({0, 1, 1, 1}),
                        testing::numeric({0, 0, 1, 1})},
                       {1, 1, 3, 3});
  const DecisionTreeRegressor model = train(table, GetParam().type, GetParam().criterion);
  EXPECT_EQ(top_split(model), std::make_pair(std::uint64_t{2}, std::uint16_t{0}));
}

TEST_P(RegressorTies, CanaryWinnerStopsGrowth) {
  // Feature 1 separates the targets perfectly; feature 0 less well.
  const std::vector<std::uint16_t> weaker{0, 1, 0, 1};
  const std::vector<std::uint16_t> stronger{0, 0, 1, 1};
  const BinTable plain({testing::numeric(weaker), testing::numeric(stronger)}, kSteps);
  const BinTable with_canary({testing::numeric(weaker), testing::canary(stronger)}, kSteps);
  EXPECT_EQ(top_split(train(plain, GetParam().type, GetParam().criterion)).first, 1U);
  EXPECT_EQ(node_count(train(with_canary, GetParam().type, GetParam().criterion)),
            GetParam().type == TreeType::Oblivious ? 0U : 1U);
}

INSTANTIATE_TEST_SUITE_P(RegressorConfigs, RegressorTies, kDeterministicConfigs, config_name);

// Thresholds 0 and 1 of targets 0, 1, 2 have the same gain under both criteria.
TEST(RegressorThresholdTies, EachRuleBreaksTiesItsOwnWay) {
  const BinTable table({testing::numeric({0, 1, 2})}, {0, 1, 2});
  const DecisionTreeOptions one_split = with([](DecisionTreeOptions& o) { o.max_depth = 1; });
  struct Case {
    TreeType type;
    Criterion criterion;
    std::uint16_t threshold;
  };
  for (const Case& c : {Case{TreeType::Cart, Criterion::Mean, 0},
                        Case{TreeType::Cart, Criterion::Median, 1},
                        Case{TreeType::Oblivious, Criterion::Mean, 1},
                        Case{TreeType::Oblivious, Criterion::Median, 1}}) {
    SCOPED_TRACE(std::string(tree_type_name(c.type)) + " " + std::string(criterion_name(c.criterion)));
    EXPECT_EQ(top_split(train(table, c.type, c.criterion, one_split)).second, c.threshold);
  }
  const StandardRegressionTree mean = standard(train(table, TreeType::Cart, Criterion::Mean, one_split));
  EXPECT_EQ(mean.nodes[0], RegressionNode(Leaf{0.0, 1, 0.0}));
  EXPECT_EQ(mean.nodes[1], RegressionNode(Leaf{1.5, 2, 0.25}));
  const StandardRegressionTree median =
      standard(train(table, TreeType::Cart, Criterion::Median, one_split));
  EXPECT_EQ(median.nodes[0], RegressionNode(Leaf{0.5, 2, 0.25}));
  EXPECT_EQ(median.nodes[1], RegressionNode(Leaf{2.0, 1, 0.0}));
}

class RegressorBinary : public ::testing::TestWithParam<Config> {};

TEST_P(RegressorBinary, FalseGoesLeftTrueGoesRight) {
  const BinTable table({testing::numeric({0, 1, 1, 0}), testing::binary({0, 1, 0, 1})},
                       {1, 5, 1, 5});
  const DecisionTreeRegressor model = train(table, GetParam().type, GetParam().criterion);
  EXPECT_EQ(top_split(model), std::make_pair(std::uint64_t{1}, std::uint16_t{0}));
  const std::vector<double> expected{1, 5, 1, 5};
  for (std::uint64_t row = 0; row < 4; ++row) EXPECT_EQ(model.predict_row(table, row), expected[row]);
  if (const auto* tree = std::get_if<StandardRegressionTree>(&model.structure)) {
    const auto& split = std::get<BinarySplit>(tree->nodes[tree->root]);
    EXPECT_EQ(std::get<Leaf>(tree->nodes[split.left_child]).value, 1.0);
    EXPECT_EQ(std::get<Leaf>(tree->nodes[split.right_child]).value, 5.0);
  }
}

INSTANTIATE_TEST_SUITE_P(RegressorConfigs, RegressorBinary, kAllConfigs, config_name);

TEST(RegressorRandomized, ThresholdsComeFromTheRowsNotTheSeed) {
  const data::Table table = random_table(300, 5, 0, 0, 7);
  for (const Criterion criterion : {Criterion::Mean, Criterion::Median}) {
    DecisionTreeOptions first;
    first.seed = 1;
    DecisionTreeOptions second;
    second.seed = 987654321;
    const DecisionTreeRegressor a = train(table, TreeType::Randomized, criterion, first);
    const DecisionTreeRegressor b = train(table, TreeType::Randomized, criterion, second);
    EXPECT_EQ(a.structure, b.structure);
    EXPECT_GT(standard(a).nodes.size(), 3U);

    // The root threshold is the draw over the bins its feature takes, from rows 0..n-1.
    const BinarySplit& root = root_split(a);
    std::set<std::uint16_t> present;
    std::vector<RowIndex> rows(table.n_rows());
    for (RowIndex r = 0; r < rows.size(); ++r) {
      rows[r] = r;
      present.insert(table.binned_value(root.feature_index, r));
    }
    const std::vector<std::uint16_t> candidates(present.begin(), present.end());
    EXPECT_EQ(root.threshold_bin, choose_random_threshold(candidates, root.feature_index, rows,
                                                          seed_salt::kRegressionThreshold));
  }
}

// With one sampled feature per node, the root (level) can only split on the sampled one.
TEST(RegressorSampling, RootFeatureIsTheSeededSample) {
  const data::Table table = random_table(200, 6, 0, 0, 3);
  std::vector<RowIndex> rows(table.n_rows());
  for (RowIndex r = 0; r < rows.size(); ++r) rows[r] = r;
  std::set<std::uint64_t> seen;
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    DecisionTreeOptions options;
    options.max_features = 1;
    options.seed = seed;
    const std::uint64_t sampled =
        sample_feature_subset(6, 1, node_seed(0, seed, seed_salt::kRegressionNode, rows))[0];
    seen.insert(sampled);
    EXPECT_EQ(top_split(train(table, TreeType::Cart, Criterion::Mean, options)).first, sampled);
    EXPECT_EQ(top_split(train(table, TreeType::Oblivious, Criterion::Mean, options)).first,
              sample_feature_subset(6, 1, level_seed(0, seed))[0]);
  }
  EXPECT_GT(seen.size(), 1U);
}

TEST(RegressorTargets, RefusesEmptyAndNonFiniteTargets) {
  const BinTable empty({testing::numeric({})}, {});
  const auto no_rows = train_regressor(empty, TreeType::Cart, Criterion::Mean, nullptr, {});
  ASSERT_FALSE(no_rows.has_value());
  EXPECT_TRUE(std::holds_alternative<LearnerError::EmptyTarget>(no_rows.error().error));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::vector<double> targets;
    std::uint64_t row;
  };
  for (const Case& c : {Case{{1, 2, 3, nan, inf}, 3}, Case{{inf, nan, 1, 2, 3}, 0},
                        Case{{1, 2, 3, 4, -inf}, 4}}) {
    const BinTable table({testing::numeric({0, 1, 2, 3, 4})}, c.targets);
    for (const TreeType type : {TreeType::Cart, TreeType::Oblivious}) {
      const auto result = train_regressor(table, type, Criterion::Median, nullptr, {});
      ASSERT_FALSE(result.has_value());
      const auto* invalid = std::get_if<LearnerError::InvalidTargetValue>(&result.error().error);
      ASSERT_NE(invalid, nullptr);
      EXPECT_EQ(invalid->row, c.row);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(invalid->value),
                std::bit_cast<std::uint64_t>(c.targets[c.row]));
    }
  }
}

TEST(RegressorInvariants, StopWithTheirTexts) {
  const BinTable table({testing::numeric({0, 1, 2, 3})}, kSteps);
  auto failure_text = [](auto&& run) -> std::string {
    try {
      run();
    } catch (const InternalError& e) {
      return e.what();
    }
    return "no failure";
  };
  EXPECT_EQ(failure_text([&] { (void)train_regressor(table, TreeType::Cart, Criterion::Gini, nullptr, {}); }),
            "regression criterion only supports mean or median");
  EXPECT_EQ(failure_text([&] { (void)regression_loss({}, {}, Criterion::Entropy); }),
            "regression criterion only supports mean or median");

  BinTable hidden({testing::binary({0, 1, 0, 1})}, kSteps);
  hidden.hide_booleans();
  EXPECT_EQ(failure_text([&] { (void)train_regressor(hidden, TreeType::Cart, Criterion::Mean, nullptr, {}); }),
            "binary feature must expose boolean values");

  const BinTable past_cap({testing::numeric({0, 1, 2, 4})}, kSteps, /*bin_cap=*/4);
  EXPECT_EQ(failure_text([&] { (void)train_regressor(past_cap, TreeType::Cart, Criterion::Mean, nullptr, {}); }),
            "numeric bins stay below numeric_bin_cap");

  DecisionTreeRegressor model = train(table, TreeType::Cart, Criterion::Mean);
  std::get<StandardRegressionTree>(model.structure).nodes.pop_back();
  EXPECT_EQ(failure_text([&] { (void)model.predict_row(table, 0); }),
            "tree node index within the arena");
}

TEST(RegressorLoss, MeanMedianAndEmptyRows) {
  const std::vector<double> targets{4.0, 1.0, 3.0, 2.0, 10.0};
  const std::vector<RowIndex> odd{0, 1, 2};
  const std::vector<RowIndex> even{0, 1, 2, 3};
  EXPECT_EQ(median(odd, targets), 3.0);
  EXPECT_EQ(median(even, targets), 2.5);
  EXPECT_EQ(median({}, targets), 0.0);
  EXPECT_EQ(regression_loss(even, targets, Criterion::Mean), 5.0);    // mean 2.5
  EXPECT_EQ(regression_loss(even, targets, Criterion::Median), 4.0);  // median 2.5
  const std::vector<RowIndex> skewed{1, 3, 4};
  EXPECT_EQ(regression_loss(skewed, targets, Criterion::Median), 9.0);  // median 2
  for (const Criterion criterion : {Criterion::Mean, Criterion::Median}) {
    const double none = regression_loss({}, targets, criterion);
    EXPECT_EQ(none, 0.0);
    EXPECT_TRUE(std::signbit(none));
  }
}

TEST(RegressorMetadata, RecordsTheTreeSettings) {
  const data::Table table = random_table(50, 2, 0, 1, 5);
  DecisionTreeOptions options;
  options.max_depth = 3;
  options.min_samples_split = 4;
  options.min_samples_leaf = 2;
  options.seed = 99;
  TrainingMetadata expected;
  expected.algorithm = "dt";
  expected.task = "regression";
  expected.tree_type = "oblivious";
  expected.criterion = "median";
  expected.canaries = 1;
  expected.max_depth = 3;
  expected.min_samples_split = 4;
  expected.min_samples_leaf = 2;
  EXPECT_EQ(train(table, TreeType::Oblivious, Criterion::Median, options).training_metadata(),
            expected);

  options.max_features = 3;
  expected.tree_type = "randomized";
  expected.criterion = "mean";
  expected.max_features = 3;
  const DecisionTreeRegressor model = train(table, TreeType::Randomized, Criterion::Mean, options);
  EXPECT_EQ(model.training_metadata(), expected);
  EXPECT_EQ(model.n_features, 2U);
  EXPECT_EQ(model.canaries, 1U);
  EXPECT_EQ(model.options, options);
  EXPECT_EQ(model.feature_preprocessing, table.feature_preprocessing());
}

class RegressorThreads : public ::testing::TestWithParam<Config> {};

// Parallel histogram building and scoring give the very same tree as one thread. The table is
// large enough for every step at the root to go to the pool; the wide bin setting (stored as
// 16-bit bins) does the same for Mean scoring.
TEST_P(RegressorThreads, PoolsGiveIdenticalTrees) {
  const bool mean = GetParam().criterion == Criterion::Mean;
  const data::Table table =
      random_table(3000, 9, 3, 1, 21,
                   mean ? data::NumericBins::fixed(4096) : data::NumericBins::automatic());
  DecisionTreeOptions options;
  options.max_features = 12;
  options.seed = 11;
  options.max_depth = 6;
  const DecisionTreeRegressor single = train(table, GetParam().type, GetParam().criterion, options);
  EXPECT_GT(node_count(single), 2U);
  for (const std::size_t threads : {2U, 4U}) {
    auto pool = platform::ThreadPool::create(threads);
    ASSERT_TRUE(pool.has_value());
    EXPECT_EQ(train(table, GetParam().type, GetParam().criterion, options, pool->get()), single)
        << threads << " threads";
  }
}

INSTANTIATE_TEST_SUITE_P(RegressorConfigs, RegressorThreads, kAllConfigs, config_name);

class RegressorPrediction : public ::testing::TestWithParam<Config> {};

// predict_table reads resolved columns; it must agree with the per-value walk everywhere,
// on dense and sparse tables and through a row mapping.
TEST_P(RegressorPrediction, TableEqualsRowByRow) {
  const auto [type, criterion] = GetParam();
  auto check = [&](const data::TableAccess& train_on, const data::TableAccess& predict_on) {
    const DecisionTreeRegressor model = train(train_on, type, criterion);
    const std::vector<double> all = model.predict_table(predict_on);
    ASSERT_EQ(all.size(), predict_on.n_rows());
    for (std::uint64_t row = 0; row < all.size(); ++row) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(all[row]),
                std::bit_cast<std::uint64_t>(model.predict_row(predict_on, row)))
          << "row " << row;
    }
  };
  const data::Table dense = random_table(400, 4, 2, 1, 8);
  check(dense, dense);
  check(dense, random_table(100, 4, 2, 1, 9));
  const data::Table sparse = random_table(300, 0, 5, 1, 4);
  ASSERT_EQ(sparse.kind(), data::Table::Kind::Sparse);
  check(sparse, sparse);

  std::vector<std::uint16_t> a, b, c;
  std::vector<double> y;
  std::vector<std::uint64_t> mapping;
  for (std::uint16_t r = 0; r < 64; ++r) {
    a.push_back(r % 8);
    b.push_back((r * 5) % 8);
    c.push_back((r / 3) % 2);
    y.push_back((r % 8) * 1.5 + ((r * 5) % 8 > 3 ? 4.0 : 0.0) + (r / 3) % 2);
    mapping.push_back((r * 37) % 64);
    mapping.push_back(r);
  }
  const BinTable mapped({testing::numeric(a), testing::numeric(b), testing::binary(c)}, y, 8,
                        mapping);
  check(mapped, mapped);
}

INSTANTIATE_TEST_SUITE_P(RegressorConfigs, RegressorPrediction, kAllConfigs, config_name);

}  // namespace
}  // namespace arborvane::core
