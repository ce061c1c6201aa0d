#include "core/boosting/gradient_boosting.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <compare>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "core/boosting/goss.hpp"
#include "core/bootstrap/bootstrap.hpp"
#include "core/forest/table_views.hpp"
#include "core/lib/model.hpp"
#include "data/table.hpp"
#include "platform/parallel.hpp"
#include "platform/rng.hpp"
#include "tests/cpp/core/second_order_test_support.hpp"

namespace arborvane::core {
namespace {

using second_order_testing::binary;
using second_order_testing::canary;
using second_order_testing::ColumnTable;
using second_order_testing::numeric;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kDefaultSeed = 2953150189ULL;

TrainConfig boosting_config(Task task, TreeType tree_type = TreeType::Cart) {
  TrainConfig config;
  config.algorithm = TrainAlgorithm::Gbm;
  config.task = task;
  config.tree_type = tree_type;
  return config;
}

GradientBoostedTrees train(const data::TableAccess& table, const TrainConfig& config,
                           platform::ThreadPool* pool = nullptr) {
  auto model = GradientBoostedTrees::train(table, config, pool);
  if (!model) {
    ADD_FAILURE() << model.error().to_string();
    return {};
  }
  return std::move(*model);
}

const DecisionTreeRegressor& regressor(const Model& model) {
  return std::get<DecisionTreeRegressor>(model.kind());
}

std::uint64_t root_sample_count(const Model& model) {
  const auto& tree = std::get<StandardRegressionTree>(regressor(model).structure);
  return std::visit([](const auto& node) { return node.sample_count; }, tree.nodes.at(tree.root));
}

// Random rows of `features` normal features; targets follow the first two features (classes
// 2.0 and 5.0 for classification).
data::Table random_table(std::size_t rows, std::size_t features, std::uint64_t canaries,
                         std::uint32_t seed, Task task) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<std::vector<double>> x(rows);
  std::vector<double> y(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t f = 0; f < features; ++f) x[r].push_back(normal(rng));
    const double signal = 2.0 * x[r][0] + x[r][1] * x[r][1] + 0.3 * normal(rng);
    y[r] = task == Task::Regression ? signal : (signal > 1.0 ? 5.0 : 2.0);
  }
  return *data::Table::with_options(std::move(x), std::move(y), canaries,
                                    data::NumericBins::automatic());
}

std::unique_ptr<platform::ThreadPool> make_pool(std::size_t threads) {
  auto pool = platform::ThreadPool::create(threads);
  EXPECT_TRUE(pool.has_value());
  return std::move(*pool);
}

// ---------------------------------------------------------------------------------------------
// Errors

struct ErrorCase {
  const char* name;
  Task task;
  std::vector<double> targets;
  std::optional<double> learning_rate;
  std::optional<double> top;
  std::optional<double> other;
  std::string text;
};

void PrintTo(const ErrorCase& c, std::ostream* out) { *out << c.name; }

class BoostingErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(BoostingErrors, ReportsTheFirstFailingCheck) {
  const ErrorCase& c = GetParam();
  const ColumnTable table({numeric(std::vector<std::uint16_t>(c.targets.size(), 0))}, c.targets);
  TrainConfig config = boosting_config(c.task);
  config.learning_rate = c.learning_rate;
  config.top_gradient_fraction = c.top;
  config.other_gradient_fraction = c.other;
  const auto model = GradientBoostedTrees::train(table, config, nullptr);
  ASSERT_FALSE(model.has_value());
  EXPECT_EQ(model.error().to_string(), c.text);
}

const std::string kOtherText =
    "other_gradient_fraction must be in the interval [0, 1), and top_gradient_fraction + "
    "other_gradient_fraction must be at most 1. Found ";

INSTANTIATE_TEST_SUITE_P(
    Boosting, BoostingErrors,
    ::testing::Values(
        ErrorCase{"EmptyTableFirst", Task::Regression, {}, 0.0, 1.5, -1.0,
                  "Cannot train on an empty target vector."},
        ErrorCase{"ZeroLearningRateBeforeFractions", Task::Regression, {1, 2}, 0.0, 1.5, 2.0,
                  "learning_rate must be finite and greater than 0. Found 0."},
        ErrorCase{"NegativeLearningRate", Task::Regression, {1, 2}, -0.5, {}, {},
                  "learning_rate must be finite and greater than 0. Found -0.5."},
        ErrorCase{"NaNLearningRate", Task::Regression, {1, 2}, kNaN, {}, {},
                  "learning_rate must be finite and greater than 0. Found NaN."},
        ErrorCase{"InfiniteLearningRate", Task::Regression, {1, 2}, kInf, {}, {},
                  "learning_rate must be finite and greater than 0. Found inf."},
        ErrorCase{"ZeroTopFraction", Task::Regression, {1, 2}, {}, 0.0, -1.0,
                  "top_gradient_fraction must be in the interval (0, 1]. Found 0."},
        ErrorCase{"TopFractionAboveOne", Task::Regression, {1, 2}, {}, 1.5, {},
                  "top_gradient_fraction must be in the interval (0, 1]. Found 1.5."},
        ErrorCase{"OtherFractionOne", Task::Regression, {1, 2}, {}, 0.0001, 1.0,
                  kOtherText + "1."},
        ErrorCase{"NegativeOtherFraction", Task::Regression, {1, 2}, {}, {}, -0.1,
                  kOtherText + "-0.1."},
        ErrorCase{"FractionsAddingPastOne", Task::Regression, {1, 2}, {}, 0.7, 0.4,
                  kOtherText + "0.4."},
        ErrorCase{"FractionsBeforeTargets", Task::Classification, {kNaN}, {}, 0.7, 0.4,
                  kOtherText + "0.4."},
        ErrorCase{"NonFiniteRegressionTarget", Task::Regression, {1, 2, kNaN, kInf}, {}, {}, {},
                  "Boosting targets must be finite values. Found NaN at row 2."},
        ErrorCase{"NonFiniteClassTargetBeforeClassCount", Task::Classification, {1, -kInf, 2, 3},
                  {}, {}, {}, "Boosting targets must be finite values. Found -inf at row 1."},
        ErrorCase{"OneClass", Task::Classification, {4, 4, 4}, {}, {}, {},
                  "Gradient boosting currently supports binary classification only. Found 1 "
                  "classes."},
        ErrorCase{"ThreeClasses", Task::Classification, {1, 2, 1, 3, 2}, {}, {}, {},
                  "Gradient boosting currently supports binary classification only. Found 3 "
                  "classes."}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

TEST(BoostingErrors, LearnerErrorsKeepTheirText) {
  const BoostingError error{BoostingError::SecondOrder{
      SecondOrderRegressionTreeError{SecondOrderRegressionTreeError::NegativeHessian{-2.5, 7}}}};
  EXPECT_EQ(error.to_string(), "Hessians must be non-negative. Found -2.5 at row 7.");
}

// ---------------------------------------------------------------------------------------------
// Targets and base scores

TEST(BoostingTargets, TwoClassesAreEncodedByOrder) {
  const ColumnTable table({numeric({0, 0, 0, 0})}, {5.0, 2.0, 5.0, 5.0});
  const auto targets = binary_classification_targets(table);
  ASSERT_TRUE(targets.has_value());
  EXPECT_EQ(targets->class_labels, (std::vector<double>{2.0, 5.0}));
  EXPECT_EQ(targets->encoded, (std::vector<double>{1.0, 0.0, 1.0, 1.0}));

  TrainConfig config = boosting_config(Task::Classification);
  config.n_trees = 0;
  const GradientBoostedTrees model = train(table, config);
  EXPECT_EQ(model.class_labels, (std::vector<double>{2.0, 5.0}));
  EXPECT_DOUBLE_EQ(model.base_score, std::log(0.75 / 0.25));
}

TEST(BoostingTargets, ClassesAreDistinctBitPatterns) {
  const ColumnTable table({numeric({0, 0, 0})}, {0.0, -0.0, 0.0});
  const auto targets = binary_classification_targets(table);
  ASSERT_TRUE(targets.has_value());
  ASSERT_EQ(targets->class_labels.size(), 2U);
  EXPECT_TRUE(std::signbit(targets->class_labels[0]));
  EXPECT_FALSE(std::signbit(targets->class_labels[1]));
  EXPECT_EQ(targets->encoded, (std::vector<double>{1.0, 0.0, 1.0}));
  const ColumnTable none({}, {});
  EXPECT_EQ(binary_classification_targets(none).error().to_string(),
            "Gradient boosting currently supports binary classification only. Found 0 classes.");
}

TEST(BoostingTargets, EqualRegressionTargetsLeaveNothingToFit) {
  const ColumnTable table({numeric({0, 1, 2, 3, 0, 1}), binary({0, 1, 0, 1, 1, 0})},
                          std::vector<double>(6, 3.25));
  TrainConfig config = boosting_config(Task::Regression);
  config.n_trees = 5;
  config.top_gradient_fraction = 1.0;
  config.other_gradient_fraction = 0.0;
  const GradientBoostedTrees model = train(table, config);
  EXPECT_EQ(model.base_score, 3.25);
  ASSERT_EQ(model.trees.size(), 5U);
  for (const Model& tree : model.trees) {
    const auto& nodes = std::get<StandardRegressionTree>(regressor(tree).structure).nodes;
    ASSERT_EQ(nodes.size(), 1U);
    EXPECT_EQ(std::get<regression_node::Leaf>(nodes[0]).value, 0.0);  // -0 / (6 + 1)
  }
  EXPECT_EQ(model.predict_table(table), std::vector<double>(6, 3.25));
}

// ---------------------------------------------------------------------------------------------
// Gradient-based one-side sampling

TEST(BoostingGoss, SelectionWorkedOutByHand) {
  const std::vector<double> gradients{0.5, -3.0, 1.0, 3.0, -0.5, 2.0, 0.0, -2.0, 1.0, -0.0};
  std::vector<std::uint64_t> candidates(10);
  std::iota(candidates.begin(), candidates.end(), std::uint64_t{0});
  const std::uint64_t seed = 12345;
  const GossSample sample = select_goss_rows(candidates, gradients, {0.2, 0.3}, seed);

  // |g| descending, lower row first among equals: 1 3 | 5 7 2 8 0 4 6 9. Top: ceil(0.2 * 10).
  // Others: ceil(0.3 * 8) = 3 of the shuffled remainder.
  std::vector<std::uint64_t> rest{5, 7, 2, 8, 0, 4, 6, 9};
  platform::ChaCha12Rng rng(seed ^ 0x5D1781ED3ECB4F0FULL);
  rng.shuffle(std::span<std::uint64_t>(rest));
  EXPECT_EQ(sample.rows, (std::vector<std::uint64_t>{1, 3, rest[0], rest[1], rest[2]}));
  EXPECT_EQ(sample.top_count, 2U);
  EXPECT_EQ(sample.other_weight, (1.0 - 0.2) / 0.3);

  // The candidates' order and the seed's other users do not matter; the seed does.
  const std::vector<std::uint64_t> scrambled{9, 2, 4, 0, 7, 1, 8, 3, 6, 5};
  EXPECT_EQ(select_goss_rows(scrambled, gradients, {0.2, 0.3}, seed).rows, sample.rows);
}

TEST(BoostingGoss, CountsFollowTheFractions) {
  struct Case {
    std::size_t n;
    GossFractions fractions;
    std::uint64_t top;
    std::uint64_t other;
  };
  for (const Case& c : {Case{10, {0.2, 0.1}, 2, 1}, Case{10, {1.0, 0.0}, 10, 0},
                        Case{10, {0.05, 0.0}, 1, 0}, Case{7, {0.3, 0.5}, 3, 2},
                        Case{1, {0.2, 0.1}, 1, 0}, Case{10, {0.5, 0.5}, 5, 3},
                        Case{3, {0.001, 0.999}, 1, 2}}) {
    std::vector<std::uint64_t> rows(c.n);
    std::iota(rows.begin(), rows.end(), std::uint64_t{0});
    std::vector<double> gradients(c.n);
    for (std::size_t r = 0; r < c.n; ++r) gradients[r] = std::sin(static_cast<double>(r));
    const GossSample sample = select_goss_rows(rows, gradients, c.fractions, 3);
    EXPECT_EQ(sample.top_count, c.top) << c.n << " " << c.fractions.top;
    EXPECT_EQ(sample.rows.size(), c.top + c.other) << c.n << " " << c.fractions.other;
  }
}

TEST(BoostingGoss, OrderMatchesAStableSortOracle) {
  // Many ties, both zeros, extremes; candidates with repeats as a bootstrap draws them.
  const std::vector<double> values{-2.0, -1.0, -0.0, 0.0, 1.0, 2.0, 1e300, -1e-300, 5e-324,
                                   -5e-324, 0.25, -0.25};
  std::mt19937 rng(8);
  for (const bool ascending : {true, false}) {
    for (int trial = 0; trial < 20; ++trial) {
      const std::size_t n_rows = 1 + rng() % 3000;
      std::vector<double> gradients(n_rows);
      for (double& g : gradients) g = values[rng() % values.size()];
      std::vector<std::uint64_t> candidates(ascending ? n_rows : n_rows + rng() % 100);
      for (std::size_t i = 0; i < candidates.size(); ++i) {
        candidates[i] = ascending ? i : rng() % n_rows;
      }
      std::vector<std::uint64_t> expected = candidates;
      std::sort(expected.begin(), expected.end());
      std::stable_sort(expected.begin(), expected.end(), [&](std::uint64_t a, std::uint64_t b) {
        return std::strong_order(std::fabs(gradients[a]), std::fabs(gradients[b])) > 0;
      });
      EXPECT_EQ(order_by_absolute_gradient(candidates, gradients), expected);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Training

TEST(BoostingTraining, FirstTreeIsFittedToTheSampledDerivatives) {
  for (const Task task : {Task::Regression, Task::Classification}) {
    for (const bool bootstrap : {false, true}) {
      const data::Table table = random_table(600, 4, 1, 3, task);
      TrainConfig config = boosting_config(task);
      config.n_trees = 1;
      config.max_depth = 4;
      config.seed = 42;
      config.bootstrap = bootstrap;
      config.top_gradient_fraction = 0.3;
      config.other_gradient_fraction = 0.2;
      config.max_features = MaxFeatures{MaxFeatures::Kind::Count, 3};
      const GradientBoostedTrees model = train(table, config);
      ASSERT_EQ(model.trees.size(), 1U);

      // Derivatives of every row at the base score, then the sample of iteration 0.
      std::vector<double> targets(table.targets());
      if (task == Task::Classification) targets = binary_classification_targets(table)->encoded;
      std::vector<double> g(targets.size());
      std::vector<double> h(targets.size());
      for (std::size_t r = 0; r < g.size(); ++r) {
        if (task == Task::Regression) {
          g[r] = model.base_score - targets[r];
          h[r] = 1.0;
        } else {
          const double p = sigmoid(model.base_score);
          g[r] = p - targets[r];
          h[r] = std::max(p * (1.0 - p), 1e-12);
        }
      }
      const std::uint64_t seed = tree_seed(0, 42);
      std::vector<std::uint64_t> candidates(table.n_rows());
      std::iota(candidates.begin(), candidates.end(), std::uint64_t{0});
      if (bootstrap) candidates = BootstrapSampler{table.n_rows()}.sample_with_oob(seed).rows;
      const GossSample sample = select_goss_rows(candidates, g, {0.3, 0.2}, seed);
      std::vector<double> sample_g;
      std::vector<double> sample_h;
      for (std::size_t i = 0; i < sample.rows.size(); ++i) {
        const double weight = i < sample.top_count ? 1.0 : sample.other_weight;
        sample_g.push_back(i < sample.top_count ? g[sample.rows[i]] : g[sample.rows[i]] * weight);
        sample_h.push_back(i < sample.top_count ? h[sample.rows[i]] : h[sample.rows[i]] * weight);
      }
      const SampledTable view(table, sample.rows);
      SecondOrderTreeOptions options;
      options.max_features = 3;
      options.max_depth = 4;
      options.min_samples_split = 2;
      options.min_samples_leaf = 1;
      options.seed = seed;
      const auto expected =
          train_second_order_regressor(view, sample_g, sample_h, TreeType::Cart, nullptr, options);
      ASSERT_TRUE(expected.has_value());
      EXPECT_EQ(regressor(model.trees[0]), expected->tree) << bootstrap;
    }
  }
}

TEST(BoostingTraining, FractionsDecideHowManyRowsEachTreeSees) {
  const data::Table table = random_table(500, 3, 1, 4, Task::Regression);
  struct Case {
    double top;
    double other;
    std::uint64_t rows;
  };
  for (const Case& c : {Case{1.0, 0.0, 500}, Case{0.3, 0.0, 150}, Case{0.2, 0.1, 100 + 40}}) {
    TrainConfig config = boosting_config(Task::Regression);
    config.n_trees = 4;
    config.top_gradient_fraction = c.top;
    config.other_gradient_fraction = c.other;
    config.max_features = MaxFeatures{MaxFeatures::Kind::All, 0};
    const GradientBoostedTrees model = train(table, config);
    ASSERT_EQ(model.trees.size(), 4U);
    for (const Model& tree : model.trees) EXPECT_EQ(root_sample_count(tree), c.rows) << c.top;
  }
}

TEST(BoostingTraining, UnsampledLeafStepsFollowTheLoss) {
  // One leaf per tree over every row: the step is -sum(g) / (sum(h) + 1) at the current score.
  const std::vector<double> labels{1, 0, 0, 1, 1, 1, 0, 1};
  const ColumnTable table({numeric({0, 1, 2, 3, 4, 5, 6, 7})}, labels);
  for (const Task task : {Task::Regression, Task::Classification}) {
    TrainConfig config = boosting_config(task);
    config.n_trees = 3;
    config.max_depth = 0;
    config.learning_rate = 0.5;
    config.top_gradient_fraction = 1.0;
    config.other_gradient_fraction = 0.0;
    const GradientBoostedTrees model = train(table, config);
    ASSERT_EQ(model.trees.size(), 3U);
    double raw = model.base_score;
    for (const Model& tree : model.trees) {
      double g = 0.0;
      double h = 0.0;
      for (const double y : labels) {
        const double p = task == Task::Regression ? raw : sigmoid(raw);
        g += p - y;
        h += task == Task::Regression ? 1.0 : std::max(p * (1.0 - p), 1e-12);
      }
      const auto& leaves = std::get<StandardRegressionTree>(regressor(tree).structure).nodes;
      const double step = std::get<regression_node::Leaf>(leaves.at(0)).value;
      EXPECT_NEAR(step, -g / (h + 1.0), 1e-12);
      raw += 0.5 * step;
    }
    EXPECT_EQ(model.tree_weights, (std::vector<double>{0.5, 0.5, 0.5}));
    EXPECT_NEAR(model.raw_scores(table)[0], raw, 1e-12);
  }
}

// Real features f0 and f1 and a canary column, balanced and independent over 1000 rows; the
// targets weigh them so that the canary wins the root once the real signal is used up.
ColumnTable canary_race(double weight_f0, double weight_f1) {
  std::vector<std::uint16_t> f0(1000), f1(1000), noise(1000);
  std::vector<double> y(1000);
  for (std::size_t r = 0; r < 1000; ++r) {
    f0[r] = r & 1;
    f1[r] = (r >> 1) & 1;
    noise[r] = (r >> 2) & 1;
    y[r] = weight_f0 * f0[r] + weight_f1 * f1[r] + noise[r];
  }
  return ColumnTable({binary(f0), binary(f1), canary(noise)}, y);
}

TEST(BoostingTraining, CanaryAtTheRootEndsTrainingWithTheTreesSoFar) {
  struct Case {
    double weight_f0;
    double weight_f1;
    std::size_t trees;
  };
  for (const Case& c : {Case{0.0, 0.0, 0}, Case{100.0, 0.0, 1}, Case{100.0, 10.0, 2}}) {
    const ColumnTable table = canary_race(c.weight_f0, c.weight_f1);
    TrainConfig config = boosting_config(Task::Regression);
    config.n_trees = 10;
    config.max_depth = 1;
    config.learning_rate = 1.0;
    config.top_gradient_fraction = 1.0;
    config.other_gradient_fraction = 0.0;
    config.max_features = MaxFeatures{MaxFeatures::Kind::All, 0};
    const GradientBoostedTrees model = train(table, config);
    ASSERT_EQ(model.trees.size(), c.trees) << c.weight_f0 << " " << c.weight_f1;
    EXPECT_EQ(model.tree_weights.size(), c.trees);
    const TrainingMetadata metadata = model.training_metadata();
    EXPECT_EQ(metadata.n_trees, c.trees);
    if (c.trees == 0) {
      EXPECT_EQ(model.predict_table(table), std::vector<double>(1000, model.base_score));
      EXPECT_FALSE(metadata.max_depth.has_value());
      EXPECT_FALSE(metadata.min_samples_split.has_value());
      EXPECT_FALSE(metadata.min_samples_leaf.has_value());
    }
  }
}

TEST(BoostingTraining, FitsItsTrainingData) {
  for (const TreeType type : {TreeType::Cart, TreeType::Randomized, TreeType::Oblivious}) {
    const data::Table regression = random_table(2000, 5, 1, 6, Task::Regression);
    // Every feature is a candidate: a sampled root that misses the real signal would let a
    // canary column end training after a few trees.
    TrainConfig config = boosting_config(Task::Regression, type);
    config.n_trees = 40;
    config.max_depth = 4;
    config.max_features = MaxFeatures{MaxFeatures::Kind::All, 0};
    const GradientBoostedTrees model = train(regression, config);
    const std::vector<double> predicted = model.predict_table(regression);
    double residual = 0.0;
    double total = 0.0;
    for (std::size_t r = 0; r < predicted.size(); ++r) {
      residual += std::pow(predicted[r] - regression.targets()[r], 2);
      total += std::pow(model.base_score - regression.targets()[r], 2);
    }
    EXPECT_LT(residual, 0.3 * total) << tree_type_name(type);

    const data::Table classes = random_table(2000, 5, 1, 7, Task::Classification);
    config.task = Task::Classification;
    config.n_trees = {};
    config.max_depth = {};
    const GradientBoostedTrees classifier = train(classes, config);
    const std::vector<double> labels = classifier.predict_table(classes);
    const auto correct = std::inner_product(
        labels.begin(), labels.end(), classes.targets().begin(), std::size_t{0}, std::plus<>(),
        [](double a, double b) { return a == b ? std::size_t{1} : std::size_t{0}; });
    EXPECT_GT(correct, 1800U) << tree_type_name(type);
  }
}

TEST(BoostingTraining, SameModelForAnyPool) {
  const auto two = make_pool(2);
  const auto four = make_pool(4);
  for (const Task task : {Task::Regression, Task::Classification}) {
    const data::Table table = random_table(3000, 6, 1, 9, task);
    for (const TreeType type : {TreeType::Cart, TreeType::Randomized, TreeType::Oblivious}) {
      for (const bool bootstrap : {false, true}) {
        TrainConfig config = boosting_config(task, type);
        config.n_trees = 12;
        config.max_depth = 5;
        config.bootstrap = bootstrap;
        config.seed = 17;
        const GradientBoostedTrees alone = train(table, config);
        ASSERT_FALSE(alone.trees.empty());
        EXPECT_TRUE(train(table, config, two.get()) == alone) << tree_type_name(type);
        EXPECT_TRUE(train(table, config, four.get()) == alone) << tree_type_name(type);
      }
    }
  }
}

TEST(BoostingTraining, DefaultSeedIsUsedButNotReported) {
  const data::Table table = random_table(800, 4, 1, 10, Task::Classification);
  TrainConfig config = boosting_config(Task::Classification, TreeType::Randomized);
  config.n_trees = 6;
  config.bootstrap = true;
  const GradientBoostedTrees unseeded = train(table, config);
  config.seed = kDefaultSeed;
  const GradientBoostedTrees seeded = train(table, config);
  config.seed = kDefaultSeed + 1;
  const GradientBoostedTrees other = train(table, config);
  EXPECT_TRUE(unseeded.trees == seeded.trees);
  EXPECT_FALSE(other.trees == seeded.trees);
  EXPECT_FALSE(unseeded.training_metadata().seed.has_value());
  EXPECT_EQ(seeded.training_metadata().seed, kDefaultSeed);
}

TEST(BoostingTraining, MetadataDescribesTheEnsemble) {
  const data::Table table = random_table(400, 3, 2, 12, Task::Classification);
  TrainConfig config = boosting_config(Task::Classification, TreeType::Oblivious);
  config.n_trees = 3;
  config.max_depth = 3;
  config.min_samples_split = 4;
  config.min_samples_leaf = 2;
  config.learning_rate = 0.25;
  config.bootstrap = true;
  config.seed = 5;
  const GradientBoostedTrees model = train(table, config);
  ASSERT_EQ(model.trees.size(), 3U);

  TrainingMetadata expected;
  expected.algorithm = "gbm";
  expected.task = "classification";
  expected.tree_type = "oblivious";
  expected.criterion = "second_order";
  expected.canaries = 2;
  expected.compute_oob = false;
  expected.max_depth = 3;
  expected.min_samples_split = 4;
  expected.min_samples_leaf = 2;
  expected.n_trees = 3;
  expected.max_features = 3;  // floor(sqrt(9)): three features and their six canaries
  expected.seed = 5;
  expected.class_labels = std::vector<double>{2.0, 5.0};
  expected.learning_rate = 0.25;
  expected.bootstrap = true;
  expected.top_gradient_fraction = 0.2;
  expected.other_gradient_fraction = 0.1;
  EXPECT_EQ(model.training_metadata(), expected);
  EXPECT_EQ(model.feature_preprocessing, table.feature_preprocessing());
  EXPECT_EQ(model.n_features, 3U);
}

TEST(BoostingTraining, MaxFeaturesCountsCanaryColumns) {
  // Seven real features and three canary columns: ten binned features.
  std::vector<ColumnTable::Column> columns;
  for (int f = 0; f < 7; ++f) columns.push_back(numeric({0, 1}));
  for (int f = 0; f < 3; ++f) columns.push_back(canary({1, 0}));
  const ColumnTable table(columns, {0.0, 1.0});
  const ColumnTable two_features({numeric({0, 1}), numeric({1, 1})}, {0.0, 1.0});
  using Kind = MaxFeatures::Kind;
  struct Case {
    const ColumnTable* table;
    Task task;
    MaxFeatures max_features;
    std::uint64_t resolved;
  };
  for (const Case& c : {Case{&table, Task::Regression, {Kind::Auto, 0}, 3},
                        Case{&table, Task::Classification, {Kind::Auto, 0}, 3},
                        Case{&table, Task::Regression, {Kind::All, 0}, 10},
                        Case{&table, Task::Regression, {Kind::Sqrt, 0}, 3},
                        Case{&table, Task::Classification, {Kind::Third, 0}, 3},
                        Case{&table, Task::Regression, {Kind::Count, 4}, 4},
                        Case{&table, Task::Regression, {Kind::Count, 50}, 10},
                        Case{&table, Task::Regression, {Kind::Count, 0}, 1},
                        Case{&two_features, Task::Regression, {Kind::Auto, 0}, 1}}) {
    TrainConfig config = boosting_config(c.task);
    config.n_trees = 0;
    config.max_features = c.max_features;
    EXPECT_EQ(train(*c.table, config).max_features, c.resolved);
  }
}

// ---------------------------------------------------------------------------------------------
// Prediction

GradientBoostedTrees untrained_classifier(double base_score) {
  GradientBoostedTrees model;
  model.task = Task::Classification;
  model.class_labels = std::vector<double>{2.0, 5.0};
  model.base_score = base_score;
  return model;
}

TEST(BoostingPrediction, RawScoreZeroPredictsTheHigherLabel) {
  const ColumnTable table({numeric({0})}, {0.0});
  struct Case {
    double raw;
    double label;
  };
  for (const Case c : {Case{0.0, 5.0}, Case{-0.0, 5.0}, Case{-1e-12, 2.0}, Case{1e-12, 5.0},
                       Case{-40.0, 2.0}}) {
    EXPECT_EQ(untrained_classifier(c.raw).predict_table(table), std::vector<double>{c.label})
        << c.raw;
  }
}

TEST(BoostingPrediction, ProbabilityPairsAgreeWithLabels) {
  const data::Table table = random_table(500, 4, 1, 13, Task::Classification);
  TrainConfig config = boosting_config(Task::Classification);
  config.n_trees = 10;
  const GradientBoostedTrees model = train(table, config);
  const auto probabilities = model.predict_proba_table(table);
  ASSERT_TRUE(probabilities.has_value());
  EXPECT_EQ(probabilities->n_rows, 500U);
  EXPECT_EQ(probabilities->n_classes, 2U);
  const std::vector<double> labels = model.predict_table(table);
  const std::vector<double> raw = model.raw_scores(table);
  for (std::size_t r = 0; r < 500; ++r) {
    const double low = probabilities->values[2 * r];
    const double high = probabilities->values[2 * r + 1];
    EXPECT_EQ(high, sigmoid(raw[r]));
    EXPECT_DOUBLE_EQ(low + high, 1.0);
    EXPECT_EQ(labels[r], high >= 0.5 ? 5.0 : 2.0);
  }
  EXPECT_EQ(untrained_classifier(0.0).predict_proba_table(table)->values.at(1), 0.5);
}

TEST(BoostingPrediction, RawScoresAreTheTreeByTreeSum) {
  for (const TreeType type : {TreeType::Cart, TreeType::Oblivious}) {
    const data::Table table = random_table(700, 5, 0, 17, Task::Regression);
    TrainConfig config = boosting_config(Task::Regression, type);
    config.n_trees = 12;
    GradientBoostedTrees model = train(table, config);
    ASSERT_FALSE(model.trees.empty());
    // A tree whose arena lists its root first (as a document may): root 0, leaves 1 and 2.
    DecisionTreeRegressor root_first = regressor(model.trees.front());
    StandardRegressionTree nodes;
    nodes.nodes = {regression_node::BinarySplit{0, 40, 1, 2, 700, 1.0, 0.5, 1.0},
                   regression_node::Leaf{-3.0, 350, std::nullopt},
                   regression_node::Leaf{4.5, 350, std::nullopt}};
    nodes.root = 0;
    root_first.structure = nodes;
    model.trees.emplace_back(root_first);
    model.tree_weights.push_back(0.25);

    std::vector<double> expected(table.n_rows(), model.base_score);
    for (std::size_t t = 0; t < model.trees.size(); ++t) {
      const std::vector<double> values = regressor(model.trees[t]).predict_table(table);
      for (std::size_t r = 0; r < expected.size(); ++r) {
        expected[r] += model.tree_weights[t] * values[r];
      }
    }
    const std::vector<double> raw = model.raw_scores(table);
    ASSERT_EQ(raw.size(), expected.size());
    for (std::size_t r = 0; r < raw.size(); ++r) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(raw[r]), std::bit_cast<std::uint64_t>(expected[r]))
          << "row " << r;
    }
  }
}

TEST(BoostingPrediction, RegressionHasNoProbabilities) {
  const data::Table table = random_table(50, 2, 1, 14, Task::Regression);
  TrainConfig config = boosting_config(Task::Regression);
  config.n_trees = 2;
  const auto probabilities = train(table, config).predict_proba_table(table);
  ASSERT_FALSE(probabilities.has_value());
  EXPECT_TRUE(std::holds_alternative<PredictError::ProbabilityPredictionRequiresClassification>(
      probabilities.error().error));
}

}  // namespace
}  // namespace arborvane::core
