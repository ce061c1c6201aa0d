#include "core/tree/class_vocabulary.hpp"

#include <bit>
#include <cstdint>

#include "platform/check.hpp"
#include "platform/overloaded.hpp"

namespace arborvane::core {

using platform::Overloaded;

namespace {

class ClassMap {
 public:
  ClassMap(const std::vector<double>& own, const std::vector<double>& wider)
      : positions_(own.size()), width_(wider.size()) {
    std::size_t w = 0;
    for (std::size_t c = 0; c < own.size(); ++c) {
      const auto bits = std::bit_cast<std::uint64_t>(own[c]);
      while (w < wider.size() && std::bit_cast<std::uint64_t>(wider[w]) != bits) ++w;
      AV_CHECK(w < wider.size(), "target value must exist in class label vocabulary");
      positions_[c] = w;
    }
  }

  std::uint64_t index(std::uint64_t own_index) const { return positions_.at(own_index); }

  std::vector<std::uint64_t> counts(const std::vector<std::uint64_t>& own) const {
    std::vector<std::uint64_t> widened(width_, 0);
    for (std::size_t c = 0; c < own.size(); ++c) widened[positions_.at(c)] = own[c];
    return widened;
  }

 private:
  std::vector<std::size_t> positions_;
  std::size_t width_;
};

}  // namespace

void widen_class_labels(DecisionTreeClassifier& tree, const std::vector<double>& labels) {
  if (tree.class_labels.size() == labels.size()) return;  // same classes, same order
  const ClassMap map(tree.class_labels, labels);
  std::visit(
      Overloaded{
          [&](StandardClassificationTree& standard) {
            for (TreeNode& node : standard.nodes) {
              std::visit(Overloaded{
                             [&](classifier_node::Leaf& leaf) {
                               leaf.class_counts = map.counts(leaf.class_counts);
                               leaf.class_index = map.index(leaf.class_index);
                             },
                             [&](classifier_node::BinarySplit& split) {
                               split.class_counts = map.counts(split.class_counts);
                             },
                             [&](classifier_node::MultiwaySplit& split) {
                               split.class_counts = map.counts(split.class_counts);
                               split.class_index = map.index(split.class_index);
                             },
                         },
                         node);
            }
          },
          [&](ObliviousClassificationTree& oblivious) {
            for (auto& counts : oblivious.leaf_class_counts) counts = map.counts(counts);
            for (auto& index : oblivious.leaf_class_indices) index = map.index(index);
          },
      },
      tree.structure);
  tree.class_labels = labels;
}

}  // namespace arborvane::core
