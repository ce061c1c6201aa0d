#include "core/forest/random_forest.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "core/boosting/score_update.hpp"
#include "core/bootstrap/bootstrap.hpp"
#include "core/forest/table_views.hpp"
#include "core/lib/model.hpp"
#include "core/lib/train.hpp"
#include "platform/check.hpp"
#include "platform/total_order.hpp"

namespace arborvane::core {

namespace {

std::uint64_t saturating_floor(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

// Distinct targets ascending in IEEE-754 total order: the class list every tree shares, so
// probability positions name the same class in every tree even when a bootstrap sample
// misses a class.
std::vector<double> class_vocabulary(const data::TableAccess& table) {
  std::vector<double> labels;
  labels.reserve(table.n_rows());
  for (std::uint64_t row = 0; row < table.n_rows(); ++row) labels.push_back(table.target_value(row));
  std::sort(labels.begin(), labels.end(),
            platform::total_order_less);
  labels.erase(std::unique(labels.begin(), labels.end(), platform::same_bits),
               labels.end());
  return labels;
}

struct TrainedTree {
  std::expected<Model, TrainError> model;
  std::vector<std::uint64_t> oob_rows;
};

std::optional<double> regression_oob(const data::TableAccess& table,
                                     const std::vector<TrainedTree>& trees) {
  const std::uint64_t n = table.n_rows();
  std::vector<double> sum(n, 0.0);
  std::vector<std::uint64_t> count(n, 0);
  for (const TrainedTree& tree : trees) {
    if (tree.oob_rows.empty()) continue;
    const std::vector<double> predictions = tree.model->predict_table(SampledTable(table, tree.oob_rows));
    for (std::size_t i = 0; i < tree.oob_rows.size(); ++i) {
      sum[tree.oob_rows[i]] += predictions[i];
      ++count[tree.oob_rows[i]];
    }
  }
  double target_sum = 0.0;
  std::uint64_t scored = 0;
  for (std::uint64_t row = 0; row < n; ++row) {
    if (count[row] == 0) continue;
    target_sum += table.target_value(row);
    ++scored;
  }
  if (scored == 0) return std::nullopt;
  const double mean = target_sum / static_cast<double>(scored);
  double total = 0.0;
  double residual = 0.0;
  for (std::uint64_t row = 0; row < n; ++row) {
    if (count[row] == 0) continue;
    const double target = table.target_value(row);
    const double predicted = sum[row] / static_cast<double>(count[row]);
    total += (target - mean) * (target - mean);
    residual += (target - predicted) * (target - predicted);
  }
  if (total == 0.0) return std::nullopt;
  return 1.0 - residual / total;
}

std::optional<double> classification_oob(const data::TableAccess& table,
                                         const std::vector<TrainedTree>& trees) {
  const std::optional<std::vector<double>> labels = trees.front().model->class_labels();
  if (!labels) return std::nullopt;
  const std::uint64_t n = table.n_rows();
  const std::uint64_t k = labels->size();
  std::vector<double> sums(n * k, 0.0);
  std::vector<std::uint64_t> count(n, 0);
  for (const TrainedTree& tree : trees) {
    if (tree.oob_rows.empty()) continue;
    const auto proba = tree.model->predict_proba_table(SampledTable(table, tree.oob_rows));
    AV_CHECK(proba.has_value(), "classification tree supports predict_proba");
    const std::uint64_t width = std::min(k, proba->n_classes);
    for (std::size_t i = 0; i < tree.oob_rows.size(); ++i) {
      const std::uint64_t row = tree.oob_rows[i];
      for (std::uint64_t c = 0; c < width; ++c) {
        sums[row * k + c] += proba->values[i * proba->n_classes + c];
      }
      ++count[row];
    }
  }
  std::uint64_t scored = 0;
  std::uint64_t correct = 0;
  for (std::uint64_t row = 0; row < n; ++row) {
    if (count[row] == 0) continue;
    ++scored;
    const double predicted = (*labels)[argmax_class(&sums[row * k], k)];
    correct += platform::same_bits(predicted, table.target_value(row));
  }
  if (scored == 0) return std::nullopt;
  return static_cast<double>(correct) / static_cast<double>(scored);
}

}  // namespace

std::uint64_t resolve_max_features(const MaxFeatures& max_features, Task task, std::uint64_t n) {
  const auto sqrt_n = [n] { return saturating_floor(std::sqrt(static_cast<double>(n))); };
  std::uint64_t resolved = 0;
  switch (max_features.kind) {
    case MaxFeatures::Kind::Auto:
      resolved = task == Task::Classification ? sqrt_n() : n / 3;
      break;
    case MaxFeatures::Kind::All:
      resolved = n;
      break;
    case MaxFeatures::Kind::Sqrt:
      resolved = sqrt_n();
      break;
    case MaxFeatures::Kind::Third:
      resolved = n / 3;
      break;
    case MaxFeatures::Kind::Count:
      resolved = std::min(n, max_features.count);
      break;
  }
  return std::max<std::uint64_t>(1, resolved);
}

std::expected<RandomForest, TrainError> RandomForest::train(const data::TableAccess& table,
                                                            const TrainConfig& config,
                                                            Criterion criterion,
                                                            platform::ThreadPool* pool) {
  const std::uint64_t n_trees = config.n_trees.value_or(kDefaultTreeCount);
  if (n_trees == 0) return std::unexpected(TrainError{TrainError::InvalidTreeCount{0}});
  if (config.max_features.kind == MaxFeatures::Kind::Count && config.max_features.count == 0) {
    return std::unexpected(TrainError{TrainError::InvalidMaxFeatures{0}});
  }

  const NoCanaryTable visible(table);
  RandomForest forest;
  forest.seed = config.seed;
  forest.feature_preprocessing = visible.feature_preprocessing();
  forest.n_features = visible.n_features();
  forest.max_features =
      resolve_max_features(config.max_features, config.task, visible.binned_feature_count());
  forest.task = config.task;
  forest.compute_oob = config.compute_oob;
  forest.tree_type = config.tree_type;
  forest.criterion = criterion;

  std::optional<std::vector<double>> class_labels;
  if (config.task == Task::Classification) class_labels = class_vocabulary(visible);
  const std::uint64_t base_seed = config.seed.value_or(kDefaultSeed);
  const BootstrapSampler sampler{visible.n_rows()};

  std::vector<TrainedTree> trained = platform::parallel_map(pool, n_trees, [&](std::size_t i) {
    const std::uint64_t seed = tree_seed(i, base_seed);
    BootstrapSample sample = sampler.sample_with_oob(seed);
    const SampledTable view(visible, std::move(sample.rows));
    SingleModelParameters parameters;
    parameters.task = config.task;
    parameters.tree_type = config.tree_type;
    parameters.criterion = criterion;
    parameters.pool = nullptr;  // parallel across trees only
    parameters.options = DecisionTreeOptions{forest.max_features, config.max_depth.value_or(8),
                                             config.min_samples_split.value_or(2),
                                             config.min_samples_leaf.value_or(1), seed};
    parameters.class_labels = class_labels ? &*class_labels : nullptr;
    return TrainedTree{train_single_model_with_feature_subset(view, parameters),
                       std::move(sample.oob_rows)};
  });
  for (TrainedTree& tree : trained) {
    if (!tree.model) return std::unexpected(tree.model.error());
  }

  if (config.compute_oob) {
    forest.oob_score = config.task == Task::Regression ? regression_oob(visible, trained)
                                                       : classification_oob(visible, trained);
  }
  forest.trees.reserve(trained.size());
  for (TrainedTree& tree : trained) forest.trees.push_back(std::move(*tree.model));
  return forest;
}

std::vector<double> RandomForest::predict_table(const data::TableAccess& table) const {
  AV_CHECK(!trees.empty(), "random forest holds trees");
  if (task == Task::Regression) {
    // The first tree's values, then each further tree's added in tree order; the later trees
    // read the bins packed once into one short record per row.
    std::vector<double> sum = trees.front().predict_table(table);
    if (trees.size() > 1 && !sum.empty()) {
      const second_order::PackedBins bins = pack_for_prediction(table);
      for (std::size_t t = 1; t < trees.size(); ++t) {
        add_tree_scores(std::get<DecisionTreeRegressor>(trees[t].kind()), bins, 1.0, sum,
                        nullptr);
      }
    }
    const double count = static_cast<double>(trees.size());
    for (double& value : sum) value /= count;
    return sum;
  }
  const auto proba = predict_proba_table(table);
  AV_CHECK(proba.has_value(), "classification forest supports probabilities");
  const std::optional<std::vector<double>> labels = trees.front().class_labels();
  AV_CHECK(labels.has_value(), "classification forest stores class labels");
  std::vector<double> predictions(proba->n_rows);
  for (std::uint64_t row = 0; row < proba->n_rows; ++row) {
    predictions[row] =
        (*labels)[argmax_class(&proba->values[row * proba->n_classes], proba->n_classes)];
  }
  return predictions;
}

std::expected<ProbabilityRows, PredictError> RandomForest::predict_proba_table(
    const data::TableAccess& table) const {
  if (task == Task::Regression) {
    return std::unexpected(PredictError{PredictError::ProbabilityPredictionRequiresClassification{}});
  }
  AV_CHECK(!trees.empty(), "random forest holds trees");
  auto total = trees.front().predict_proba_table(table);
  if (!total) return total;
  for (std::size_t t = 1; t < trees.size(); ++t) {
    auto part = trees[t].predict_proba_table(table);
    if (!part) return part;
    const std::uint64_t width = std::min(total->n_classes, part->n_classes);
    for (std::uint64_t row = 0; row < total->n_rows; ++row) {
      for (std::uint64_t c = 0; c < width; ++c) {
        total->values[row * total->n_classes + c] += part->values[row * part->n_classes + c];
      }
    }
  }
  const double count = static_cast<double>(trees.size());
  for (double& value : total->values) value /= count;
  return total;
}

TrainingMetadata RandomForest::training_metadata() const {
  AV_CHECK(!trees.empty(), "random forest holds trees");
  TrainingMetadata metadata = trees.front().training_metadata();
  metadata.algorithm = "rf";
  metadata.n_trees = trees.size();
  metadata.max_features = max_features;
  metadata.seed = seed;
  metadata.compute_oob = compute_oob;
  metadata.oob_score = oob_score;
  metadata.learning_rate.reset();
  metadata.bootstrap.reset();
  metadata.top_gradient_fraction.reset();
  metadata.other_gradient_fraction.reset();
  return metadata;
}

bool operator==(const RandomForest& a, const RandomForest& b) {
  const auto same_score = [](const std::optional<double>& x, const std::optional<double>& y) {
    return x.has_value() == y.has_value() &&
           (!x || std::bit_cast<std::uint64_t>(*x) == std::bit_cast<std::uint64_t>(*y));
  };
  return same_score(a.oob_score, b.oob_score) && a.seed == b.seed && a.trees == b.trees &&
         a.feature_preprocessing == b.feature_preprocessing && a.max_features == b.max_features &&
         a.n_features == b.n_features && a.task == b.task && a.compute_oob == b.compute_oob &&
         a.tree_type == b.tree_type && a.criterion == b.criterion;
}

}  // namespace arborvane::core
