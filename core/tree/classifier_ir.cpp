#include <utility>
#include <variant>

#include "core/tree/classifier.hpp"
#include "core/tree/tree_ir.hpp"
#include "platform/overloaded.hpp"

namespace arborvane::core {

using platform::Overloaded;

namespace {

ir::LeafPayload class_payload(std::uint64_t class_index, const std::vector<double>& labels) {
  const double value = class_index < labels.size() ? labels[class_index] : 0.0;
  return {ir::LeafPayload::ClassIndex{class_index, value}};
}

ir::NodeStats branch_stats(std::uint64_t sample_count, double impurity, double gain,
                           const std::vector<std::uint64_t>& class_counts) {
  ir::NodeStats stats;
  stats.sample_count = sample_count;
  stats.impurity = impurity;
  stats.gain = gain;
  stats.class_counts = class_counts;
  return stats;
}

ir::NodeStats leaf_stats(std::uint64_t sample_count,
                         const std::vector<std::uint64_t>& class_counts) {
  ir::NodeStats stats;
  stats.sample_count = sample_count;
  stats.class_counts = class_counts;
  return stats;
}

ir::TreeDefinition node_tree_ir(const StandardClassificationTree& tree,
                                const std::vector<double>& labels,
                                std::span<const data::FeaturePreprocessing> preprocessing) {
  const std::vector<std::uint64_t> depths =
      populate_depths(tree.nodes.size(), tree.root, [&](std::uint64_t i, auto&& visit) {
        std::visit(Overloaded{
                       [](const classifier_node::Leaf&) {},
                       [&](const classifier_node::BinarySplit& s) {
                         visit(s.left_child);
                         visit(s.right_child);
                       },
                       [&](const classifier_node::MultiwaySplit& s) {
                         for (const classifier_node::MultiwayBranch& b : s.branches) {
                           visit(b.child);
                         }
                       },
                   },
                   tree.nodes[i]);
      });
  ir::TreeDefinition::NodeTree out;
  out.root_node_id = tree.root;
  out.nodes.reserve(tree.nodes.size());
  for (std::uint64_t id = 0; id < tree.nodes.size(); ++id) {
    const std::uint64_t depth = depths[id];
    out.nodes.push_back(std::visit(
        Overloaded{
            [&](const classifier_node::Leaf& leaf) -> ir::NodeTreeNode {
              return {ir::NodeTreeNode::Leaf{id, depth, class_payload(leaf.class_index, labels),
                                             leaf_stats(leaf.sample_count, leaf.class_counts)}};
            },
            [&](const classifier_node::BinarySplit& s) -> ir::NodeTreeNode {
              return {ir::NodeTreeNode::BinaryBranch{
                  id, depth, binary_split_ir(s.feature_index, s.threshold_bin, preprocessing),
                  ir::BinaryChildren{s.left_child, s.right_child},
                  branch_stats(s.sample_count, s.impurity, s.gain, s.class_counts)}};
            },
            [&](const classifier_node::MultiwaySplit& s) -> ir::NodeTreeNode {
              ir::NodeTreeNode::MultiwayBranch node;
              node.node_id = id;
              node.depth = depth;
              node.split = {"binned_value_multiway", s.feature_index,
                            feature_name_ir(s.feature_index), "uint16"};
              node.branches.reserve(s.branches.size());
              for (const classifier_node::MultiwayBranch& b : s.branches) {
                node.branches.push_back({b.bin, b.child});
              }
              node.unmatched_leaf = class_payload(s.class_index, labels);
              node.stats = branch_stats(s.sample_count, s.impurity, s.gain, s.class_counts);
              return {std::move(node)};
            },
        },
        tree.nodes[id]));
  }
  return {std::move(out)};
}

}  // namespace

ir::TreeDefinition DecisionTreeClassifier::to_ir_tree() const {
  return std::visit(
      Overloaded{
          [&](const StandardClassificationTree& tree) {
            return node_tree_ir(tree, class_labels, feature_preprocessing);
          },
          [&](const ObliviousClassificationTree& tree) {
            std::vector<ir::IndexedLeaf> leaves;
            leaves.reserve(tree.leaf_class_indices.size());
            for (std::uint64_t i = 0; i < tree.leaf_class_indices.size(); ++i) {
              leaves.push_back({i, class_payload(tree.leaf_class_indices[i], class_labels),
                                leaf_stats(tree.leaf_sample_counts[i], tree.leaf_class_counts[i])});
            }
            return oblivious_tree_ir(tree.levels, feature_preprocessing, std::move(leaves));
          },
      },
      structure);
}

}  // namespace arborvane::core
