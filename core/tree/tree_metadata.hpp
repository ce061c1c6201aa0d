#pragma once

#include <cstdint>

#include "core/ir/training_metadata.hpp"
#include "core/tree/options.hpp"

namespace arborvane::core {

// The settings record of one tree trained on its own ("dt"): the options it was grown with;
// ensemble fields absent.
TrainingMetadata single_tree_metadata(Task task, TreeType tree_type, Criterion criterion,
                                      std::uint64_t canaries, const DecisionTreeOptions& options);

}  // namespace arborvane::core
