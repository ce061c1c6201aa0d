#pragma once

#include <expected>

#include "core/lib/model.hpp"
#include "core/lib/train_config.hpp"
#include "core/lib/train_error.hpp"
#include "core/tree/options.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {

// What one classification or regression tree is trained with.
struct SingleModelParameters {
  Task task = Task::Regression;
  TreeType tree_type = TreeType::Cart;
  Criterion criterion = Criterion::Mean;  // already resolved
  platform::ThreadPool* pool = nullptr;   // null: train on the calling thread
  DecisionTreeOptions options;
  // Classification: the class list to use instead of the table's own distinct targets, so the
  // trees of a forest agree on their classes whatever their samples hold.
  const std::vector<double>* class_labels = nullptr;
};

// The one door through which models are trained: settles the criterion, checks the
// combination of settings and the limits, sizes a pool for this call and dispatches.
std::expected<Model, TrainError> train(const data::TableAccess& table, const TrainConfig& config);

// One tree of the given task on `table` (a training table or a view of one).
std::expected<Model, TrainError> train_single_model_with_feature_subset(
    const data::TableAccess& table, const SingleModelParameters& parameters);

// The criterion the learners use for `config`, or UnsupportedConfiguration.
std::expected<Criterion, TrainError> resolve_criterion(const TrainConfig& config);

}  // namespace arborvane::core
