#include "core/boosting/gradient_boosting.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>

#include "core/boosting/goss.hpp"
#include "core/boosting/score_update.hpp"
#include "core/bootstrap/bootstrap.hpp"
#include "core/forest/random_forest.hpp"
#include "core/forest/table_views.hpp"
#include "core/lib/model.hpp"
#include "core/tree/second_order_bins.hpp"
#include "platform/check.hpp"
#include "platform/numfmt.hpp"
#include "platform/str_cat.hpp"
#include "platform/total_order.hpp"

namespace arborvane::core {

namespace {

using platform::format_display;
using platform::str_cat;

constexpr std::uint64_t kDefaultTrees = 100;
constexpr double kDefaultLearningRate = 0.1;
constexpr double kDefaultTopFraction = 0.2;
constexpr double kDefaultOtherFraction = 0.1;
constexpr std::uint64_t kDefaultSeed = 0xB0057EEDULL;
constexpr std::uint64_t kDefaultMaxDepth = 8;
constexpr std::uint64_t kDefaultMinSamplesSplit = 2;
constexpr std::uint64_t kDefaultMinSamplesLeaf = 1;
// The hessian floor keeps confident rows from vanishing from the Newton step entirely.
constexpr double kMinClassificationHessian = 1e-12;
// Base-score log-odds are taken of the positive share clamped away from 0 and 1.
constexpr double kMinPositiveShare = 0.000001;
constexpr double kMaxPositiveShare = 0.999999;
// Rows per task when the per-row gradient pass is spread over the pool.
constexpr std::size_t kGradientBlock = std::size_t{1} << 14;

BoostingError boosting_error(auto variant) { return BoostingError{std::move(variant)}; }

std::optional<BoostingError> validate_rates(double learning_rate, double top, double other) {
  if (!(std::isfinite(learning_rate) && learning_rate > 0.0)) {
    return boosting_error(BoostingError::InvalidLearningRate{learning_rate});
  }
  if (!(std::isfinite(top) && top > 0.0 && top <= 1.0)) {
    return boosting_error(BoostingError::InvalidTopGradientFraction{top});
  }
  if (!(std::isfinite(other) && other >= 0.0 && other < 1.0 && top + other <= 1.0)) {
    return boosting_error(BoostingError::InvalidOtherGradientFraction{other});
  }
  return std::nullopt;
}

std::expected<std::vector<double>, BoostingError> finite_targets(const data::TableAccess& table) {
  const std::uint64_t n = table.n_rows();
  std::vector<double> targets(n);
  for (std::uint64_t row = 0; row < n; ++row) {
    targets[row] = table.target_value(row);
    if (!std::isfinite(targets[row])) {
      return std::unexpected(boosting_error(BoostingError::NonFiniteTarget{targets[row], row}));
    }
  }
  return targets;
}

double mean(std::span<const double> values) {
  double sum = 0.0;
  for (const double value : values) sum += value;
  return sum / static_cast<double>(values.size());
}

// The number of bitwise-distinct values.
std::uint64_t distinct_count(std::vector<double> values) {
  std::sort(values.begin(), values.end(), platform::total_order_less);
  return static_cast<std::uint64_t>(
      std::unique(values.begin(), values.end(), platform::same_bits) - values.begin());
}

// Squared error on the raw score for regression, logistic loss for classification.
void fill_derivatives(Task task, std::span<const double> raw, std::span<const double> targets,
                      std::span<double> gradients, std::span<double> hessians,
                      platform::ThreadPool* pool) {
  const std::size_t n = raw.size();
  const std::size_t blocks = (n + kGradientBlock - 1) / kGradientBlock;
  platform::parallel_for(blocks > 1 ? pool : nullptr, blocks, [&](std::size_t block) {
    const std::size_t begin = block * kGradientBlock;
    const std::size_t end = std::min(n, begin + kGradientBlock);
    switch (task) {
      case Task::Regression:
        for (std::size_t r = begin; r < end; ++r) {
          gradients[r] = raw[r] - targets[r];
          hessians[r] = 1.0;
        }
        return;
      case Task::Classification:
        for (std::size_t r = begin; r < end; ++r) {
          const double p = sigmoid(raw[r]);
          gradients[r] = p - targets[r];
          hessians[r] = std::max(p * (1.0 - p), kMinClassificationHessian);
        }
        return;
    }
  });
}

// The sample's values of one derivative, in the sample's row order (the order the learner
// sees its rows in), the randomly kept rows amplified.
void gather_derivatives(const GossSample& sample, std::span<const double> by_row,
                        std::vector<double>& out) {
  out.resize(sample.rows.size());
  for (std::size_t i = 0; i < sample.rows.size(); ++i) out[i] = by_row[sample.rows[i]];
  for (std::size_t i = sample.top_count; i < out.size(); ++i) out[i] *= sample.other_weight;
}

}  // namespace

std::string BoostingError::to_string() const {
  struct Text {
    std::string operator()(const SecondOrder& e) const { return e.error.to_string(); }
    std::string operator()(const NonFiniteTarget& e) const {
      return str_cat("Boosting targets must be finite values. Found ", format_display(e.value),
                     " at row ", e.row, ".");
    }
    std::string operator()(const UnsupportedClassCount& e) const {
      return str_cat("Gradient boosting currently supports binary classification only. Found ",
                     e.count, " classes.");
    }
    std::string operator()(const InvalidLearningRate& e) const {
      return str_cat("learning_rate must be finite and greater than 0. Found ",
                     format_display(e.value), ".");
    }
    std::string operator()(const InvalidTopGradientFraction& e) const {
      return str_cat("top_gradient_fraction must be in the interval (0, 1]. Found ",
                     format_display(e.value), ".");
    }
    std::string operator()(const InvalidOtherGradientFraction& e) const {
      return str_cat(
          "other_gradient_fraction must be in the interval [0, 1), and top_gradient_fraction + "
          "other_gradient_fraction must be at most 1. Found ",
          format_display(e.value), ".");
    }
    std::string operator()(const EmptyTarget&) const {
      return "Cannot train on an empty target vector.";
    }
  };
  return std::visit(Text{}, error);
}

std::expected<BinaryTargets, BoostingError> binary_classification_targets(
    const data::TableAccess& table) {
  std::expected<std::vector<double>, BoostingError> targets = finite_targets(table);
  if (!targets) return std::unexpected(std::move(targets.error()));
  // Most tables hold exactly two values: find them in one pass, sort only to count the others.
  std::vector<double> labels;
  for (const double value : *targets) {
    if (std::any_of(labels.begin(), labels.end(), [&](double l) { return platform::same_bits(l, value); })) {
      continue;
    }
    if (labels.size() == 2) {
      return std::unexpected(
          boosting_error(BoostingError::UnsupportedClassCount{distinct_count(*targets)}));
    }
    labels.push_back(value);
  }
  if (labels.size() != 2) {
    return std::unexpected(boosting_error(BoostingError::UnsupportedClassCount{labels.size()}));
  }
  std::sort(labels.begin(), labels.end(), platform::total_order_less);
  BinaryTargets result;
  result.encoded.reserve(targets->size());
  for (const double value : *targets) {
    result.encoded.push_back(platform::same_bits(value, labels[0]) ? 0.0 : 1.0);
  }
  result.class_labels = std::move(labels);
  return result;
}

namespace {

// What the trees are fitted to: the targets (0/1-encoded for classification) and the raw score
// every row starts from.
struct FittingTargets {
  std::vector<double> values;
  double base_score = 0.0;
  std::optional<std::vector<double>> class_labels;
};

std::expected<FittingTargets, BoostingError> fitting_targets(const data::TableAccess& table,
                                                             Task task) {
  FittingTargets targets;
  switch (task) {
    case Task::Regression: {
      std::expected<std::vector<double>, BoostingError> read = finite_targets(table);
      if (!read) return std::unexpected(std::move(read.error()));
      targets.values = std::move(*read);
      targets.base_score = mean(targets.values);
      return targets;
    }
    case Task::Classification: {
      std::expected<BinaryTargets, BoostingError> binary = binary_classification_targets(table);
      if (!binary) return std::unexpected(std::move(binary.error()));
      targets.values = std::move(binary->encoded);
      targets.class_labels = std::move(binary->class_labels);
      const double share = std::clamp(mean(targets.values), kMinPositiveShare, kMaxPositiveShare);
      targets.base_score = std::log(share / (1.0 - share));
      return targets;
    }
  }
  internal_failure("unknown task");
}

}  // namespace

std::expected<GradientBoostedTrees, BoostingError> GradientBoostedTrees::train(
    const data::TableAccess& table, const TrainConfig& config, platform::ThreadPool* pool) {
  const std::uint64_t n = table.n_rows();
  if (n == 0) return std::unexpected(boosting_error(BoostingError::EmptyTarget{}));
  GradientBoostedTrees model;
  model.learning_rate = config.learning_rate.value_or(kDefaultLearningRate);
  model.top_gradient_fraction = config.top_gradient_fraction.value_or(kDefaultTopFraction);
  model.other_gradient_fraction = config.other_gradient_fraction.value_or(kDefaultOtherFraction);
  if (std::optional<BoostingError> invalid = validate_rates(
          model.learning_rate, model.top_gradient_fraction, model.other_gradient_fraction)) {
    return std::unexpected(std::move(*invalid));
  }
  switch (config.tree_type) {
    case TreeType::Cart:
    case TreeType::Randomized:
    case TreeType::Oblivious:
      break;
    case TreeType::Id3:
    case TreeType::C45:
      internal_failure("gradient boosting grows cart, randomized or oblivious trees");
  }

  model.seed = config.seed;
  model.task = config.task;
  model.tree_type = config.tree_type;
  model.bootstrap = config.bootstrap;
  // Canary columns count: boosting keeps them visible.
  model.max_features =
      resolve_max_features(config.max_features, config.task, table.binned_feature_count());
  model.feature_preprocessing = table.feature_preprocessing();
  model.n_features = table.n_features();
  model.canaries = table.canaries();

  std::expected<FittingTargets, BoostingError> targets = fitting_targets(table, config.task);
  if (!targets) return std::unexpected(std::move(targets.error()));
  model.base_score = targets->base_score;
  model.class_labels = std::move(targets->class_labels);

  const std::uint64_t base_seed = config.seed.value_or(kDefaultSeed);
  SecondOrderTreeOptions options{
      .max_features = model.max_features,
      .max_depth = config.max_depth.value_or(kDefaultMaxDepth),
      .min_samples_split = config.min_samples_split.value_or(kDefaultMinSamplesSplit),
      .min_samples_leaf = config.min_samples_leaf.value_or(kDefaultMinSamplesLeaf),
      .seed = 0,
      .l2_regularization = 1.0,
      .min_sum_hessian_in_leaf = 0.001,
      .min_gain_to_split = 0.0,
  };
  const GossFractions fractions{model.top_gradient_fraction, model.other_gradient_fraction};

  std::vector<double> raw(n, model.base_score);
  std::vector<double> gradients(n);
  std::vector<double> hessians(n);
  std::vector<std::uint64_t> all_rows(n);
  std::iota(all_rows.begin(), all_rows.end(), std::uint64_t{0});
  GossBuffers goss_buffers;
  std::vector<double> sample_gradients;
  std::vector<double> sample_hessians;
  // Every tree reads its sample's bins from these records, and every new tree's predictions
  // come from them too, so the table's columns are read once.
  const second_order::PackedBins packed =
      second_order::PackedBins::pack(table, second_order::describe_features(table), pool);

  const std::uint64_t iterations = config.n_trees.value_or(kDefaultTrees);
  for (std::uint64_t t = 0; t < iterations; ++t) {
    fill_derivatives(model.task, raw, targets->values, gradients, hessians, pool);
    const std::uint64_t seed = tree_seed(t, base_seed);
    std::vector<std::uint64_t> drawn;
    if (model.bootstrap) drawn = BootstrapSampler{n}.sample_with_oob(seed).rows;
    GossSample sample =
        select_goss_rows(model.bootstrap ? drawn : all_rows, gradients, fractions, seed,
                         goss_buffers, pool);

    gather_derivatives(sample, gradients, sample_gradients);
    gather_derivatives(sample, hessians, sample_hessians);
    const SampledTable view(table, std::move(sample.rows));
    options.seed = seed;
    std::expected<SecondOrderTree, SecondOrderRegressionTreeError> grown =
        train_second_order_regressor(view, sample_gradients, sample_hessians, model.tree_type,
                                     pool, options, PrepackedRows{&packed, view.rows()});
    if (!grown) {
      return std::unexpected(boosting_error(BoostingError::SecondOrder{std::move(grown.error())}));
    }
    if (grown->root_canary) break;

    add_tree_scores(grown->tree, packed, model.learning_rate, raw, pool);
    model.trees.push_back(Model(std::move(grown->tree)));
    model.tree_weights.push_back(model.learning_rate);
  }
  return model;
}

std::vector<double> GradientBoostedTrees::raw_scores(const data::TableAccess& table) const {
  std::vector<double> raw(table.n_rows(), base_score);
  if (trees.empty() || raw.empty()) return raw;
  // Every tree reads every row: the bins are packed once into one short record per row, and
  // each tree adds its weighted values in tree order, as a tree-by-tree sum would.
  const second_order::PackedBins bins = pack_for_prediction(table);
  for (std::size_t t = 0; t < trees.size(); ++t) {
    add_tree_scores(std::get<DecisionTreeRegressor>(trees[t].kind()), bins, tree_weights[t], raw,
                    nullptr);
  }
  return raw;
}

std::vector<double> GradientBoostedTrees::predict_table(const data::TableAccess& table) const {
  std::vector<double> scores = raw_scores(table);
  switch (task) {
    case Task::Regression:
      return scores;
    case Task::Classification: {
      AV_CHECK(class_labels.has_value() && class_labels->size() == 2,
               "classification boosting stores class labels");
      const double lower = (*class_labels)[0];
      const double higher = (*class_labels)[1];
      for (double& score : scores) score = sigmoid(score) >= 0.5 ? higher : lower;
      return scores;
    }
  }
  internal_failure("unknown task");
}

std::expected<ProbabilityRows, PredictError> GradientBoostedTrees::predict_proba_table(
    const data::TableAccess& table) const {
  switch (task) {
    case Task::Regression:
      return std::unexpected(
          PredictError{PredictError::ProbabilityPredictionRequiresClassification{}});
    case Task::Classification:
      break;
  }
  const std::vector<double> scores = raw_scores(table);
  ProbabilityRows rows{.n_rows = scores.size(), .n_classes = 2, .values = {}};
  rows.values.reserve(2 * scores.size());
  for (const double score : scores) {
    const double p = sigmoid(score);
    rows.values.push_back(1.0 - p);
    rows.values.push_back(p);
  }
  return rows;
}

TrainingMetadata GradientBoostedTrees::training_metadata() const {
  TrainingMetadata metadata;
  metadata.algorithm = "gbm";
  metadata.task = std::string(task_name(task));
  metadata.tree_type = std::string(tree_type_name(tree_type));
  metadata.criterion = std::string(criterion_name(Criterion::SecondOrder));
  metadata.canaries = canaries;
  metadata.compute_oob = false;
  if (!trees.empty()) {
    const TrainingMetadata& first = trees.front().training_metadata();
    metadata.max_depth = first.max_depth;
    metadata.min_samples_split = first.min_samples_split;
    metadata.min_samples_leaf = first.min_samples_leaf;
  }
  metadata.n_trees = trees.size();
  metadata.max_features = max_features;
  metadata.seed = seed;
  metadata.class_labels = class_labels;
  metadata.learning_rate = learning_rate;
  metadata.bootstrap = bootstrap;
  metadata.top_gradient_fraction = top_gradient_fraction;
  metadata.other_gradient_fraction = other_gradient_fraction;
  return metadata;
}

bool operator==(const GradientBoostedTrees& a, const GradientBoostedTrees& b) {
  return a.seed == b.seed && a.trees == b.trees && a.tree_weights == b.tree_weights &&
         a.feature_preprocessing == b.feature_preprocessing && a.class_labels == b.class_labels &&
         a.base_score == b.base_score && a.learning_rate == b.learning_rate &&
         a.top_gradient_fraction == b.top_gradient_fraction &&
         a.other_gradient_fraction == b.other_gradient_fraction &&
         a.max_features == b.max_features && a.n_features == b.n_features &&
         a.canaries == b.canaries && a.task == b.task && a.bootstrap == b.bootstrap &&
         a.tree_type == b.tree_type;
}

}  // namespace arborvane::core
