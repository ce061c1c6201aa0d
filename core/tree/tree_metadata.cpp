#include "core/tree/tree_metadata.hpp"

#include <string>

namespace arborvane::core {

TrainingMetadata single_tree_metadata(Task task, TreeType tree_type, Criterion criterion,
                                      std::uint64_t canaries, const DecisionTreeOptions& options) {
  TrainingMetadata metadata;
  metadata.algorithm = "dt";
  metadata.task = std::string(task_name(task));
  metadata.tree_type = std::string(tree_type_name(tree_type));
  metadata.criterion = std::string(criterion_name(criterion));
  metadata.canaries = canaries;
  metadata.compute_oob = false;
  metadata.max_depth = options.max_depth;
  metadata.min_samples_split = options.min_samples_split;
  metadata.min_samples_leaf = options.min_samples_leaf;
  metadata.max_features = options.max_features;
  return metadata;
}

}  // namespace arborvane::core
