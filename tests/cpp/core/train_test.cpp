#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/lib/train.hpp"
#include "data/table.hpp"
#include "platform/cores.hpp"

namespace arborvane::core {
namespace {

data::Table small_table(std::vector<double> targets) {
  std::vector<std::vector<double>> rows;
  for (std::size_t r = 0; r < targets.size(); ++r) rows.push_back({double(r), double(r % 3)});
  auto table = data::Table::with_options(std::move(rows), std::move(targets), 1,
                                         data::NumericBins::automatic());
  EXPECT_TRUE(table.has_value());
  return std::move(*table);
}

std::string error_text(const std::expected<Model, TrainError>& result) {
  EXPECT_FALSE(result.has_value());
  return result.has_value() ? "" : result.error().to_string();
}

TrainConfig config(TrainAlgorithm algorithm, Task task, TreeType type, Criterion criterion) {
  TrainConfig c;
  c.algorithm = algorithm;
  c.task = task;
  c.tree_type = type;
  c.criterion = criterion;
  return c;
}

TEST(TrainEntry, CriterionResolutionFollowsTheAcceptedCombinations) {
  using A = TrainAlgorithm;
  using T = TreeType;
  using C = Criterion;
  struct Case {
    A algorithm;
    Task task;
    T type;
    C given;
    std::optional<C> resolved;
  };
  const Case cases[] = {
      {A::Dt, Task::Classification, T::Id3, C::Auto, C::Entropy},
      {A::Rf, Task::Classification, T::C45, C::Auto, C::Entropy},
      {A::Dt, Task::Classification, T::Oblivious, C::Auto, C::Gini},
      {A::Dt, Task::Classification, T::Cart, C::Entropy, C::Entropy},
      {A::Dt, Task::Classification, T::Id3, C::Gini, C::Gini},
      {A::Dt, Task::Classification, T::Cart, C::Mean, std::nullopt},
      {A::Dt, Task::Regression, T::Cart, C::Auto, C::Mean},
      {A::Rf, Task::Regression, T::Randomized, C::Median, C::Median},
      {A::Dt, Task::Regression, T::Id3, C::Auto, std::nullopt},
      {A::Dt, Task::Regression, T::Cart, C::Gini, std::nullopt},
      {A::Gbm, Task::Regression, T::Cart, C::Auto, C::SecondOrder},
      {A::Gbm, Task::Classification, T::Oblivious, C::Auto, C::SecondOrder},
      {A::Gbm, Task::Classification, T::Cart, C::Gini, std::nullopt},
      {A::Gbm, Task::Regression, T::Cart, C::Mean, std::nullopt},
      {A::Gbm, Task::Regression, T::Id3, C::Auto, std::nullopt},
      {A::Dt, Task::Regression, T::Cart, C::SecondOrder, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto resolved = resolve_criterion(config(c.algorithm, c.task, c.type, c.given));
    SCOPED_TRACE(std::string(tree_type_name(c.type)) + " " + std::string(criterion_name(c.given)));
    ASSERT_EQ(resolved.has_value(), c.resolved.has_value());
    if (c.resolved) {
      EXPECT_EQ(*resolved, *c.resolved);
    }
  }
}

TEST(TrainEntry, ErrorsComeInOrderWithTheirTexts) {
  const data::Table table = small_table({1, 2, 3, 4});
  TrainConfig unsupported = config(TrainAlgorithm::Dt, Task::Regression, TreeType::Id3, Criterion::Auto);
  unsupported.physical_cores = 0;
  unsupported.max_depth = 0;
  EXPECT_EQ(error_text(train(table, unsupported)),
            "Unsupported training configuration: task=Regression, tree_type=Id3, criterion=Auto.");

  TrainConfig cores = config(TrainAlgorithm::Dt, Task::Regression, TreeType::Cart, Criterion::Auto);
  cores.physical_cores = 0;
  cores.max_depth = 0;
  const std::uint64_t available = std::max<std::uint64_t>(1, platform::physical_core_count());
  EXPECT_EQ(error_text(train(table, cores)),
            "Requested 0 physical cores, but the available physical core count is " +
                std::to_string(available) + ".");

  struct Limit {
    std::optional<std::uint64_t> TrainConfig::*field;
    std::string text;
  };
  const Limit limits[] = {
      {&TrainConfig::max_depth, "max_depth must be at least 1. Received 0."},
      {&TrainConfig::min_samples_split, "min_samples_split must be at least 1. Received 0."},
      {&TrainConfig::min_samples_leaf, "min_samples_leaf must be at least 1. Received 0."},
  };
  for (const Limit& limit : limits) {
    TrainConfig c = config(TrainAlgorithm::Dt, Task::Regression, TreeType::Cart, Criterion::Mean);
    c.*limit.field = 0;
    EXPECT_EQ(error_text(train(table, c)), limit.text);
  }
  TrainConfig gbm_depth = config(TrainAlgorithm::Gbm, Task::Regression, TreeType::Cart, Criterion::Auto);
  gbm_depth.max_depth = 0;
  EXPECT_EQ(error_text(train(table, gbm_depth)),
            "max_depth must be at least 1. Received 0.");
}

TEST(TrainEntry, LearnerErrorsNameTheTask) {
  const data::Table empty = small_table({});
  const TrainConfig regression =
      config(TrainAlgorithm::Dt, Task::Regression, TreeType::Cart, Criterion::Auto);
  const TrainConfig classification =
      config(TrainAlgorithm::Dt, Task::Classification, TreeType::Cart, Criterion::Auto);
  EXPECT_EQ(error_text(train(empty, regression)), "Cannot train on an empty target vector.");
  EXPECT_EQ(error_text(train(empty, classification)), "Cannot train on an empty target vector.");
  EXPECT_EQ(error_text(train(small_table({1, 2, 3, NAN}), regression)),
            "Regression targets must be finite values. Found NaN at row 3.");
  EXPECT_EQ(error_text(train(small_table({INFINITY, 1}), classification)),
            "Classification targets must be finite values. Found inf at row 0.");
  EXPECT_EQ((TrainError{TrainError::ThreadPoolBuildFailed{"no threads"}}.to_string()),
            "Failed to build training thread pool: no threads.");
  EXPECT_EQ((TrainError{TrainError::InvalidTreeCount{0}}.to_string()),
            "Random forest requires at least one tree. Received 0.");
  EXPECT_EQ((TrainError{TrainError::InvalidMaxFeatures{0}}.to_string()),
            "max_features must be at least 1 when provided as an integer. Received 0.");
}

TEST(TrainEntry, SingleTreesAreIdenticalForAnyCoreCountAndIgnoreEnsembleSettings) {
  std::mt19937_64 random(3);
  std::vector<std::vector<double>> rows;
  std::vector<double> targets;
  for (int r = 0; r < 400; ++r) {
    const double a = double(random() % 100), b = double(random() % 7), c = double(random() % 2);
    rows.push_back({a, b, c});
    targets.push_back(std::floor(a / 30) + c);
  }
  auto table = data::Table::with_options(rows, targets, 2, data::NumericBins::automatic());
  ASSERT_TRUE(table.has_value());
  for (const Task task : {Task::Regression, Task::Classification}) {
    for (const TreeType type : {TreeType::Cart, TreeType::Randomized, TreeType::Oblivious,
                                TreeType::Id3, TreeType::C45}) {
      TrainConfig c = config(TrainAlgorithm::Dt, task, type, Criterion::Auto);
      if (!resolve_criterion(c)) continue;
      c.physical_cores = 1;
      const auto one = train(*table, c);
      c.physical_cores = 2;
      c.max_features = MaxFeatures{MaxFeatures::Kind::Count, 0};
      c.seed = 99;
      const auto two = train(*table, c);
      ASSERT_TRUE(one && two);
      EXPECT_EQ(*one, *two) << tree_type_name(type);
      EXPECT_EQ(one->tree_count(), 1U);
      EXPECT_EQ(one->max_depth(), std::optional<std::uint64_t>(8));
      EXPECT_EQ(one->n_trees(), std::nullopt);
      EXPECT_EQ(one->seed(), std::nullopt);
      EXPECT_FALSE(one->bootstrap());
      EXPECT_EQ(one->class_labels().has_value(), task == Task::Classification);
    }
  }
}

}  // namespace
}  // namespace arborvane::core
