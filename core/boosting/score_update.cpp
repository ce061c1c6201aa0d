#include "core/boosting/score_update.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/check.hpp"

namespace arborvane::core {

namespace {

// Rows per task: enough to amortise a task's start, few enough to balance two workers.
constexpr std::size_t kBlockRows = std::size_t{1} << 14;

// Rows walked side by side: their node loads are independent, so their latencies overlap
// instead of adding up.
constexpr std::size_t kLaneRows = 32;

// A node of a standard tree as one row's walk reads it. A leaf points to itself and sends every
// bin left (no bin exceeds the largest 16-bit value), so every row takes the same number of
// steps and no step branches on the tree's shape.
struct FlatNode {
  std::uint32_t feature = 0;
  std::uint16_t threshold = 0;
  std::array<std::uint32_t, 2> child{};  // left, right
  double value = 0.0;
};

struct FlatTree {
  std::vector<FlatNode> nodes;
  std::uint32_t root = 0;
  std::size_t height = 0;  // steps from the root to the deepest leaf
};

FlatTree flatten(const StandardRegressionTree& tree, std::size_t features) {
  const std::size_t count = tree.nodes.size();
  AV_CHECK(tree.root < count && count < std::numeric_limits<std::uint32_t>::max(),
           "tree node index within the arena");
  FlatTree flat{std::vector<FlatNode>(count), static_cast<std::uint32_t>(tree.root), 0};
  for (std::size_t i = 0; i < count; ++i) {
    FlatNode& node = flat.nodes[i];
    if (const auto* leaf = std::get_if<regression_node::Leaf>(&tree.nodes[i])) {
      node.threshold = std::numeric_limits<std::uint16_t>::max();
      node.child = {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i)};
      node.value = leaf->value;
      continue;
    }
    const auto& split = std::get<regression_node::BinarySplit>(tree.nodes[i]);
    AV_CHECK(split.feature_index < features, "split feature within the packed records");
    AV_CHECK(split.left_child < count && split.right_child < count,
             "tree node index within the arena");
    node.feature = static_cast<std::uint32_t>(split.feature_index);
    node.threshold = split.threshold_bin;
    node.child = {static_cast<std::uint32_t>(split.left_child),
                  static_cast<std::uint32_t>(split.right_child)};
  }
  // The height is the deepest root-to-leaf path. Trained arenas list children before parents,
  // but documents may list nodes in any order, so the tree is walked from its root; every
  // tree that reaches here is acyclic.
  std::vector<std::pair<std::uint32_t, std::size_t>> pending{{flat.root, 0}};
  while (!pending.empty()) {
    const auto [at, depth] = pending.back();
    pending.pop_back();
    const FlatNode& node = flat.nodes[at];
    if (node.child[0] == at) {
      flat.height = std::max(flat.height, depth);
      continue;
    }
    AV_CHECK(depth < count, "tree without cycles");
    pending.emplace_back(node.child[0], depth + 1);
    pending.emplace_back(node.child[1], depth + 1);
  }
  return flat;
}

// Calls `body(begin, end)` for fixed blocks of [0, n), on the pool when there is more than one.
template <class Body>
void for_each_block(std::size_t n, platform::ThreadPool* pool, Body&& body) {
  const std::size_t blocks = (n + kBlockRows - 1) / kBlockRows;
  platform::parallel_for(blocks > 1 ? pool : nullptr, blocks, [&](std::size_t block) {
    const std::size_t begin = block * kBlockRows;
    body(begin, std::min(n, begin + kBlockRows));
  });
}

void add_standard(const StandardRegressionTree& tree, const second_order::PackedBins& bins,
                  double weight, std::span<double> raw, platform::ThreadPool* pool) {
  const FlatTree flat = flatten(tree, bins.feature_count());
  const FlatNode* nodes = flat.nodes.data();
  const std::size_t stride = bins.feature_count();
  bins.visit([&](const auto* packed) {
    for_each_block(raw.size(), pool, [&](std::size_t begin, std::size_t end) {
      std::array<std::uint32_t, kLaneRows> at{};
      for (std::size_t first = begin; first < end; first += kLaneRows) {
        const std::size_t lanes = std::min(kLaneRows, end - first);
        const auto* records = packed + first * stride;
        at.fill(flat.root);
        for (std::size_t step = 0; step < flat.height; ++step) {
          for (std::size_t k = 0; k < lanes; ++k) {
            const FlatNode& node = nodes[at[k]];
            at[k] = node.child[records[k * stride + node.feature] > node.threshold ? 1 : 0];
          }
        }
        for (std::size_t k = 0; k < lanes; ++k) raw[first + k] += weight * nodes[at[k]].value;
      }
    });
  });
}

void add_oblivious(const ObliviousRegressionTree& tree, const second_order::PackedBins& bins,
                   double weight, std::span<double> raw, platform::ThreadPool* pool) {
  const std::size_t depth = tree.levels.size();
  AV_CHECK(depth < 64 && tree.leaf_values.size() == std::size_t{1} << depth,
           "leaf index within the leaf lists");
  for (const ObliviousLevel& level : tree.levels) {
    AV_CHECK(level.feature_index < bins.feature_count(), "split feature within the packed records");
  }
  const std::size_t stride = bins.feature_count();
  bins.visit([&](const auto* packed) {
    for_each_block(raw.size(), pool, [&](std::size_t begin, std::size_t end) {
      for (std::size_t row = begin; row < end; ++row) {
        const auto* record = packed + row * stride;
        std::size_t leaf = 0;
        for (const ObliviousLevel& level : tree.levels) {
          leaf = (leaf << 1) | (record[level.feature_index] > level.threshold_bin ? 1U : 0U);
        }
        raw[row] += weight * tree.leaf_values[leaf];
      }
    });
  });
}

}  // namespace

second_order::PackedBins pack_for_prediction(const data::TableAccess& table) {
  std::vector<second_order::FeatureInfo> features(table.binned_feature_count());
  for (std::size_t f = 0; f < features.size(); ++f) {
    features[f].binary = table.is_binary_binned_feature(f);
    features[f].slots = std::size_t{1} << 16;  // any 16-bit bin
  }
  return second_order::PackedBins::pack(table, features, nullptr);
}

void add_tree_scores(const DecisionTreeRegressor& tree, const second_order::PackedBins& bins,
                     double weight, std::span<double> raw, platform::ThreadPool* pool) {
  AV_CHECK(bins.feature_count() == 0 || bins.row_count() == raw.size(),
           "one raw score per packed row");
  if (const auto* standard = std::get_if<StandardRegressionTree>(&tree.structure)) {
    add_standard(*standard, bins, weight, raw, pool);
    return;
  }
  add_oblivious(std::get<ObliviousRegressionTree>(tree.structure), bins, weight, raw, pool);
}

}  // namespace arborvane::core
