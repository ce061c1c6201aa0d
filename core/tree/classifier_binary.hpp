#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/tree/classification_histogram.hpp"
#include "core/tree/classifier.hpp"
#include "core/tree/classifier_context.hpp"

// The node tree of binary splits grown for the Cart and Randomized tree types.
namespace arborvane::core::classification {

// What scoring a candidate feature needs to know about its node.
struct NodeScoring {
  const TreeContext* context = nullptr;
  const NodeHistograms* histograms = nullptr;
  std::span<const std::uint64_t> counts;  // the node's class counts
  std::uint64_t sample_count = 0;
  double impurity = 0.0;            // of `counts`
  std::span<const RowIndex> rows;   // the node's rows in buffer order (random thresholds)
};

// A binary feature: false rows left, true rows right, threshold 0; none when a side holds
// fewer than min_samples_leaf rows.
std::optional<SplitChoice> score_binary_cart_split_choice_from_counts(const NodeScoring& node,
                                                                      std::uint64_t feature);

// The best split of any candidate feature from the node's histograms. `left` is scratch for
// one class-count list, owned by this call.
std::optional<SplitChoice> score_binary_split_choice_from_hist(const NodeScoring& node,
                                                               std::uint64_t feature,
                                                               std::span<std::uint64_t> left);

// Grows the tree over the row buffer, which is partitioned in place; nodes in post-order.
StandardClassificationTree build_binary_tree(const TreeContext& context,
                                             std::span<RowIndex> rows);

}  // namespace arborvane::core::classification
