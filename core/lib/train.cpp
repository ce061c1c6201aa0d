#include "core/lib/train.hpp"

#include <algorithm>
#include <memory>

#include "core/tree/class_vocabulary.hpp"
#include "platform/check.hpp"
#include "platform/cores.hpp"

namespace arborvane::core {

std::string_view algorithm_name(TrainAlgorithm algorithm) {
  switch (algorithm) {
    case TrainAlgorithm::Dt:
      return "dt";
    case TrainAlgorithm::Rf:
      return "rf";
    case TrainAlgorithm::Gbm:
      return "gbm";
  }
  internal_failure("unknown algorithm");
}

namespace {

bool is_binary_split_type(TreeType type) {
  return type == TreeType::Cart || type == TreeType::Randomized || type == TreeType::Oblivious;
}

bool is_multiway_type(TreeType type) { return type == TreeType::Id3 || type == TreeType::C45; }

std::optional<Criterion> accepted_criterion(const TrainConfig& config) {
  const bool single_or_forest =
      config.algorithm == TrainAlgorithm::Dt || config.algorithm == TrainAlgorithm::Rf;
  if (config.algorithm == TrainAlgorithm::Gbm && is_binary_split_type(config.tree_type) &&
      config.criterion == Criterion::Auto) {
    return Criterion::SecondOrder;
  }
  if (!single_or_forest) return std::nullopt;
  switch (config.task) {
    case Task::Classification:
      if (config.criterion == Criterion::Auto) {
        return is_multiway_type(config.tree_type) ? Criterion::Entropy : Criterion::Gini;
      }
      if (config.criterion == Criterion::Gini || config.criterion == Criterion::Entropy) {
        return config.criterion;
      }
      return std::nullopt;
    case Task::Regression:
      if (!is_binary_split_type(config.tree_type)) return std::nullopt;
      if (config.criterion == Criterion::Auto) return Criterion::Mean;
      if (config.criterion == Criterion::Mean || config.criterion == Criterion::Median) {
        return config.criterion;
      }
      return std::nullopt;
  }
  internal_failure("unknown task");
}

struct Limits {
  std::uint64_t max_depth;
  std::uint64_t min_samples_split;
  std::uint64_t min_samples_leaf;
};

std::expected<Limits, TrainError> resolve_limits(const TrainConfig& config) {
  const Limits limits{config.max_depth.value_or(8), config.min_samples_split.value_or(2),
                      config.min_samples_leaf.value_or(1)};
  if (limits.max_depth == 0) return std::unexpected(TrainError{TrainError::InvalidMaxDepth{0}});
  if (limits.min_samples_split == 0) {
    return std::unexpected(TrainError{TrainError::InvalidMinSamplesSplit{0}});
  }
  if (limits.min_samples_leaf == 0) {
    return std::unexpected(TrainError{TrainError::InvalidMinSamplesLeaf{0}});
  }
  return limits;
}

}  // namespace

std::expected<Criterion, TrainError> resolve_criterion(const TrainConfig& config) {
  if (const std::optional<Criterion> criterion = accepted_criterion(config)) return *criterion;
  return std::unexpected(TrainError{
      TrainError::UnsupportedConfiguration{config.task, config.tree_type, config.criterion}});
}

std::expected<Model, TrainError> train_single_model_with_feature_subset(
    const data::TableAccess& table, const SingleModelParameters& parameters) {
  switch (parameters.task) {
    case Task::Classification: {
      if (parameters.criterion != Criterion::Gini && parameters.criterion != Criterion::Entropy) {
        break;
      }
      auto tree = train_classifier(table, parameters.tree_type, parameters.criterion,
                                   parameters.pool, parameters.options);
      if (!tree) return std::unexpected(TrainError{TrainError::ClassificationTree{tree.error()}});
      if (parameters.class_labels != nullptr) widen_class_labels(*tree, *parameters.class_labels);
      return Model(std::move(*tree));
    }
    case Task::Regression: {
      if (!is_binary_split_type(parameters.tree_type) ||
          (parameters.criterion != Criterion::Mean && parameters.criterion != Criterion::Median)) {
        break;
      }
      auto tree = train_regressor(table, parameters.tree_type, parameters.criterion,
                                  parameters.pool, parameters.options);
      if (!tree) return std::unexpected(TrainError{TrainError::RegressionTree{tree.error()}});
      return Model(std::move(*tree));
    }
  }
  return std::unexpected(TrainError{TrainError::UnsupportedConfiguration{
      parameters.task, parameters.tree_type, parameters.criterion}});
}

std::expected<Model, TrainError> train(const data::TableAccess& table, const TrainConfig& config) {
  const auto criterion = resolve_criterion(config);
  if (!criterion) return std::unexpected(criterion.error());

  const std::uint64_t available = std::max<std::uint64_t>(1, platform::physical_core_count());
  const std::uint64_t requested = config.physical_cores.value_or(available);
  if (requested == 0) {
    return std::unexpected(TrainError{TrainError::InvalidPhysicalCoreCount{0, available}});
  }
  const std::uint64_t threads = std::min(requested, available);

  const auto limits = resolve_limits(config);
  if (!limits) return std::unexpected(limits.error());

  std::unique_ptr<platform::ThreadPool> pool;
  if (threads > 1) {
    auto created = platform::ThreadPool::create(threads);
    if (!created) {
      return std::unexpected(TrainError{TrainError::ThreadPoolBuildFailed{created.error()}});
    }
    pool = std::move(*created);
  }

  switch (config.algorithm) {
    case TrainAlgorithm::Dt: {
      SingleModelParameters parameters;
      parameters.task = config.task;
      parameters.tree_type = config.tree_type;
      parameters.criterion = *criterion;
      parameters.pool = pool.get();
      parameters.options = DecisionTreeOptions{std::nullopt, limits->max_depth,
                                               limits->min_samples_split,
                                               limits->min_samples_leaf, 0};
      return train_single_model_with_feature_subset(table, parameters);
    }
    case TrainAlgorithm::Rf: {
      TrainConfig forest_config = config;
      forest_config.max_depth = limits->max_depth;
      forest_config.min_samples_split = limits->min_samples_split;
      forest_config.min_samples_leaf = limits->min_samples_leaf;
      forest_config.n_trees = config.n_trees.value_or(RandomForest::kDefaultTreeCount);
      forest_config.physical_cores.reset();
      forest_config.learning_rate.reset();
      forest_config.top_gradient_fraction.reset();
      forest_config.other_gradient_fraction.reset();
      forest_config.bootstrap = false;
      auto forest = RandomForest::train(table, forest_config, *criterion, pool.get());
      if (!forest) return std::unexpected(forest.error());
      return Model(std::move(*forest));
    }
    case TrainAlgorithm::Gbm: {
      TrainConfig boosting_config = config;
      boosting_config.criterion = *criterion;
      auto boosted = GradientBoostedTrees::train(table, boosting_config, pool.get());
      if (!boosted) return std::unexpected(TrainError{TrainError::Boosting{boosted.error()}});
      return Model(std::move(*boosted));
    }
  }
  internal_failure("unknown algorithm");
}

}  // namespace arborvane::core
