#include <utility>
#include <variant>

#include "core/tree/regressor.hpp"
#include "core/tree/tree_ir.hpp"
#include "platform/overloaded.hpp"

namespace arborvane::core {

using platform::Overloaded;

namespace {

ir::TreeDefinition node_tree_ir(const StandardRegressionTree& tree,
                                std::span<const data::FeaturePreprocessing> preprocessing) {
  const std::vector<std::uint64_t> depths =
      populate_depths(tree.nodes.size(), tree.root, [&](std::uint64_t i, auto&& visit) {
        if (const auto* split = std::get_if<regression_node::BinarySplit>(&tree.nodes[i])) {
          visit(split->left_child);
          visit(split->right_child);
        }
      });
  ir::TreeDefinition::NodeTree out;
  out.root_node_id = tree.root;
  out.nodes.reserve(tree.nodes.size());
  for (std::uint64_t id = 0; id < tree.nodes.size(); ++id) {
    const std::uint64_t depth = depths[id];
    out.nodes.push_back(std::visit(
        Overloaded{
            [&](const regression_node::Leaf& leaf) -> ir::NodeTreeNode {
              ir::NodeStats stats;
              stats.sample_count = leaf.sample_count;
              stats.variance = leaf.variance;
              return {ir::NodeTreeNode::Leaf{
                  id, depth, {ir::LeafPayload::RegressionValue{leaf.value}}, stats}};
            },
            [&](const regression_node::BinarySplit& s) -> ir::NodeTreeNode {
              ir::NodeStats stats;
              stats.sample_count = s.sample_count;
              stats.impurity = s.impurity;
              stats.gain = s.gain;
              stats.variance = s.variance;
              return {ir::NodeTreeNode::BinaryBranch{
                  id, depth, binary_split_ir(s.feature_index, s.threshold_bin, preprocessing),
                  ir::BinaryChildren{s.left_child, s.right_child}, stats}};
            },
        },
        tree.nodes[id]));
  }
  return {std::move(out)};
}

}  // namespace

ir::TreeDefinition DecisionTreeRegressor::to_ir_tree() const {
  return std::visit(
      Overloaded{
          [&](const StandardRegressionTree& tree) {
            return node_tree_ir(tree, feature_preprocessing);
          },
          [&](const ObliviousRegressionTree& tree) {
            std::vector<ir::IndexedLeaf> leaves;
            leaves.reserve(tree.leaf_values.size());
            for (std::uint64_t i = 0; i < tree.leaf_values.size(); ++i) {
              ir::NodeStats stats;
              stats.sample_count = tree.leaf_sample_counts[i];
              stats.variance = tree.leaf_variances[i];
              leaves.push_back({i, {ir::LeafPayload::RegressionValue{tree.leaf_values[i]}}, stats});
            }
            return oblivious_tree_ir(tree.levels, feature_preprocessing, std::move(leaves));
          },
      },
      structure);
}

}  // namespace arborvane::core
