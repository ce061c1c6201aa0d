#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/ir/document.hpp"
#include "core/tree/learner.hpp"
#include "data/binning.hpp"

namespace arborvane::core {

// The document form of a binary split on feature `feature_index` at `threshold_bin`: a boolean
// test for a binary feature, otherwise a bin threshold whose upper bound is read from the
// feature's boundaries (null when the feature or its bin is unknown).
ir::BinarySplit binary_split_ir(std::uint64_t feature_index, std::uint16_t threshold_bin,
                                std::span<const data::FeaturePreprocessing> preprocessing);
ir::ObliviousSplit oblivious_split_ir(std::uint64_t feature_index, std::uint16_t threshold_bin,
                                      std::span<const data::FeaturePreprocessing> preprocessing);

// Edges from `root` to every node reachable from it (0 for the rest). `children(i, visit)`
// calls visit(child) for each child of node i.
template <class Children>
std::vector<std::uint64_t> populate_depths(std::size_t node_count, std::uint64_t root,
                                           Children&& children) {
  std::vector<std::uint64_t> depths(node_count, 0);
  if (root >= node_count) return depths;
  std::vector<std::uint64_t> pending{root};
  while (!pending.empty()) {
    const std::uint64_t node = pending.back();
    pending.pop_back();
    children(node, [&](std::uint64_t child) {
      depths[child] = depths[node] + 1;
      pending.push_back(child);
    });
  }
  return depths;
}

// The oblivious-levels tree record around its levels and leaves.
ir::TreeDefinition oblivious_tree_ir(std::span<const ObliviousLevel> levels,
                                     std::span<const data::FeaturePreprocessing> preprocessing,
                                     std::vector<ir::IndexedLeaf> leaves);

// "f" followed by the index in decimal.
std::string feature_name_ir(std::uint64_t feature_index);

}  // namespace arborvane::core
