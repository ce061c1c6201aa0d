#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/tree/classification_histogram.hpp"
#include "core/tree/classifier.hpp"
#include "core/tree/classifier_context.hpp"

// The node tree of multiway splits (one child per bin) grown for the Id3 and C45 tree types.
namespace arborvane::core::classification {

// One candidate's multiway split. `branch_bins` views the histogram the choice was scored
// from (or a constant [0, 1] for a binary feature), so it lives as long as that histogram.
struct MultiwaySplitChoice {
  std::span<const std::uint16_t> branch_bins;
  std::uint64_t feature_index = 0;
  double gain = 0.0;  // information gain (Id3) or gain ratio (C45)
};

// Scores `feature` from its counted histogram over the node's rows (`counts`, n rows, node
// impurity `impurity`). None when fewer than two groups, a group below min_samples_leaf, or a
// split information of exactly 0.0 (C45).
std::optional<MultiwaySplitChoice> score_multiway_split_choice(
    const TreeContext& context, const NodeHistograms& histograms, std::uint64_t feature,
    std::uint64_t n, double impurity, bool is_c45);

// Grows the tree over the row buffer, which is reordered in place; nodes in post-order.
StandardClassificationTree build_multiway_tree(const TreeContext& context,
                                               std::span<RowIndex> rows);

}  // namespace arborvane::core::classification
