#include "core/ir/import.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "core/ir/document_json.hpp"
#include "core/lib/train_config.hpp"
#include "platform/cores.hpp"
#include "platform/check.hpp"
#include "platform/numfmt.hpp"
#include "platform/str_cat.hpp"
#include "platform/overloaded.hpp"

namespace arborvane::core::ir {

using platform::Overloaded;

namespace {

using platform::format_display;
using platform::str_cat;

IrError tree_node_error(std::string detail) {
  return IrError{IrError::InvalidTreeNode{std::move(detail)}};
}
IrError leaf_payload_error(std::string detail) {
  return IrError{IrError::InvalidLeafPayload{std::move(detail)}};
}
IrError inference_options_error(std::string detail) {
  return IrError{IrError::InvalidInferenceOptions{std::move(detail)}};
}

// Values placed by the index the document gives them, into as many slots as the list they
// come from has elements: every index in range, none twice, none missing.
template <class T>
class Slots {
 public:
  explicit Slots(std::size_t count) : values_(count), filled_(count, 0) {}

  std::optional<IrError> place(std::uint64_t index, T value) {
    if (index >= values_.size()) {
      return tree_node_error(str_cat("node index ", index, " is out of bounds"));
    }
    if (filled_[index] != 0) return tree_node_error(str_cat("duplicate node index ", index));
    values_[index] = std::move(value);
    filled_[index] = 1;
    return std::nullopt;
  }

  std::expected<std::vector<T>, IrError> finish() && {
    for (std::size_t i = 0; i < filled_.size(); ++i) {
      if (filled_[i] == 0) {
        return std::unexpected(tree_node_error(str_cat("missing node index ", i)));
      }
    }
    return std::move(values_);
  }

 private:
  std::vector<T> values_;
  std::vector<std::uint8_t> filled_;
};

// ---- words -------------------------------------------------------------------------------

std::optional<TrainAlgorithm> algorithm_from_word(std::string_view word) {
  for (const TrainAlgorithm algorithm : {TrainAlgorithm::Dt, TrainAlgorithm::Rf,
                                         TrainAlgorithm::Gbm}) {
    if (algorithm_name(algorithm) == word) return algorithm;
  }
  return std::nullopt;
}

std::optional<Task> task_from_word(std::string_view word) {
  for (const Task task : {Task::Regression, Task::Classification}) {
    if (task_name(task) == word) return task;
  }
  return std::nullopt;
}

std::optional<TreeType> tree_type_from_word(std::string_view word) {
  for (const TreeType type : {TreeType::Id3, TreeType::C45, TreeType::Cart, TreeType::Randomized,
                              TreeType::Oblivious}) {
    if (tree_type_name(type) == word) return type;
  }
  return std::nullopt;
}

std::optional<Criterion> criterion_from_word(std::string_view word) {
  for (const Criterion criterion : {Criterion::Auto, Criterion::Gini, Criterion::Entropy,
                                    Criterion::Mean, Criterion::Median, Criterion::SecondOrder}) {
    if (criterion_name(criterion) == word) return criterion;
  }
  return std::nullopt;
}

// ---- node trees ----------------------------------------------------------------------------

std::uint64_t split_feature(const BinarySplit& split) {
  return std::visit([](const auto& s) { return s.feature_index; }, split.split);
}

// The threshold the stored split compares bins with; a boolean test sends false (0) left.
std::uint16_t split_threshold(const BinarySplit& split) {
  if (const auto* numeric = std::get_if<BinarySplit::NumericBinThreshold>(&split.split)) {
    return numeric->threshold_bin;
  }
  return 0;
}

std::vector<std::uint64_t> counts_or_zeros(std::optional<std::vector<std::uint64_t>>& counts,
                                           std::size_t class_count) {
  if (counts) return std::move(*counts);
  return std::vector<std::uint64_t>(class_count, 0);
}

std::expected<TreeNode, IrError> classifier_node_from_ir(NodeTreeNode& node,
                                                         std::span<const double> labels,
                                                         std::uint64_t& node_id) {
  using Result = std::expected<TreeNode, IrError>;
  return std::visit(
      Overloaded{
          [&](NodeTreeNode::Leaf& leaf) -> Result {
            node_id = leaf.node_id;
            const auto class_index = classifier_class_index(leaf.leaf, labels);
            if (!class_index) return std::unexpected(class_index.error());
            return classifier_node::Leaf{
                .class_counts = counts_or_zeros(leaf.stats.class_counts, labels.size()),
                .class_index = *class_index,
                .sample_count = leaf.stats.sample_count};
          },
          [&](NodeTreeNode::BinaryBranch& branch) -> Result {
            node_id = branch.node_id;
            return classifier_node::BinarySplit{
                .class_counts = counts_or_zeros(branch.stats.class_counts, labels.size()),
                .feature_index = split_feature(branch.split),
                .threshold_bin = split_threshold(branch.split),
                .left_child = branch.children.left,
                .right_child = branch.children.right,
                .sample_count = branch.stats.sample_count,
                .impurity = branch.stats.impurity.value_or(0.0),
                .gain = branch.stats.gain.value_or(0.0)};
          },
          [&](NodeTreeNode::MultiwayBranch& branch) -> Result {
            node_id = branch.node_id;
            const auto fallback = classifier_class_index(branch.unmatched_leaf, labels);
            if (!fallback) return std::unexpected(fallback.error());
            std::vector<classifier_node::MultiwayBranch> branches;
            branches.reserve(branch.branches.size());
            for (const MultiwayBranch& b : branch.branches) branches.push_back({b.bin, b.child});
            return classifier_node::MultiwaySplit{
                .branches = std::move(branches),
                .class_counts = counts_or_zeros(branch.stats.class_counts, labels.size()),
                .feature_index = branch.split.feature_index,
                .class_index = *fallback,
                .sample_count = branch.stats.sample_count,
                .impurity = branch.stats.impurity.value_or(0.0),
                .gain = branch.stats.gain.value_or(0.0)};
          },
      },
      node.node);
}

std::expected<RegressionNode, IrError> regressor_node_from_ir(NodeTreeNode& node,
                                                              std::uint64_t& node_id) {
  using Result = std::expected<RegressionNode, IrError>;
  return std::visit(
      Overloaded{
          [&](NodeTreeNode::Leaf& leaf) -> Result {
            node_id = leaf.node_id;
            const auto* value = std::get_if<LeafPayload::RegressionValue>(&leaf.leaf.payload);
            if (value == nullptr) {
              return std::unexpected(
                  leaf_payload_error("regression trees require regression_value leaves"));
            }
            return regression_node::Leaf{.value = value->value,
                                         .sample_count = leaf.stats.sample_count,
                                         .variance = leaf.stats.variance};
          },
          [&](NodeTreeNode::BinaryBranch& branch) -> Result {
            node_id = branch.node_id;
            return regression_node::BinarySplit{.feature_index = split_feature(branch.split),
                                                .threshold_bin = split_threshold(branch.split),
                                                .left_child = branch.children.left,
                                                .right_child = branch.children.right,
                                                .sample_count = branch.stats.sample_count,
                                                .impurity = branch.stats.impurity.value_or(0.0),
                                                .gain = branch.stats.gain.value_or(0.0),
                                                .variance = branch.stats.variance.value_or(0.0)};
          },
          [&](NodeTreeNode::MultiwayBranch&) -> Result {
            return std::unexpected(
                tree_node_error("regression trees do not support multiway branches"));
          },
      },
      node.node);
}

// The arena of a node tree: every node converted by `convert(node, node_id)`, then placed at
// its node_id.
template <class Node, class Convert>
std::expected<std::vector<Node>, IrError> rebuild_arena(std::vector<NodeTreeNode>& nodes,
                                                        Convert&& convert) {
  Slots<Node> slots(nodes.size());
  for (NodeTreeNode& node : nodes) {
    std::uint64_t node_id = 0;
    std::expected<Node, IrError> rebuilt = convert(node, node_id);
    if (!rebuilt) return std::unexpected(std::move(rebuilt.error()));
    if (auto error = slots.place(node_id, std::move(*rebuilt))) return std::unexpected(*error);
  }
  return std::move(slots).finish();
}

// What the structural checks read of an arena node: its split feature, its children in stored
// order, its class counts and whether its multiway bins are strictly ascending.
std::optional<std::uint64_t> split_feature_of(const TreeNode& node) {
  if (const auto* split = std::get_if<classifier_node::BinarySplit>(&node)) {
    return split->feature_index;
  }
  if (const auto* split = std::get_if<classifier_node::MultiwaySplit>(&node)) {
    return split->feature_index;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> split_feature_of(const RegressionNode& node) {
  if (const auto* split = std::get_if<regression_node::BinarySplit>(&node)) {
    return split->feature_index;
  }
  return std::nullopt;
}

template <class F>
void for_each_child(const TreeNode& node, F&& f) {
  if (const auto* split = std::get_if<classifier_node::BinarySplit>(&node)) {
    f(split->left_child);
    f(split->right_child);
  } else if (const auto* split = std::get_if<classifier_node::MultiwaySplit>(&node)) {
    for (const classifier_node::MultiwayBranch& branch : split->branches) f(branch.child);
  }
}

template <class F>
void for_each_child(const RegressionNode& node, F&& f) {
  if (const auto* split = std::get_if<regression_node::BinarySplit>(&node)) {
    f(split->left_child);
    f(split->right_child);
  }
}

const std::vector<std::uint64_t>* class_counts_of(const TreeNode& node) {
  return std::visit([](const auto& n) { return &n.class_counts; }, node);
}

const std::vector<std::uint64_t>* class_counts_of(const RegressionNode&) { return nullptr; }

bool bins_ascending(const TreeNode& node) {
  const auto* split = std::get_if<classifier_node::MultiwaySplit>(&node);
  if (split == nullptr) return true;
  for (std::size_t b = 1; b < split->branches.size(); ++b) {
    if (split->branches[b - 1].bin >= split->branches[b].bin) return false;
  }
  return true;
}

bool bins_ascending(const RegressionNode&) { return true; }

// Everything prediction relies on in a node tree: the root and every child name a node, every
// node is reached at most once from the root (so no walk can loop), splits read existing
// features, multiway lookups see sorted bins, and class counts have one entry per class.
// Nodes the root never reaches are kept: nothing visits them.
template <class Node>
std::optional<IrError> check_node_tree(const std::vector<Node>& nodes, std::uint64_t root,
                                       std::uint64_t feature_count, std::size_t class_count) {
  const std::uint64_t n = nodes.size();
  if (root >= n) {
    return tree_node_error(
        str_cat("root_node_id ", root, " names no node in a tree of ", n, " nodes"));
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    const Node& node = nodes[i];
    const std::optional<std::uint64_t> feature = split_feature_of(node);
    if (feature && *feature >= feature_count) {
      return tree_node_error(str_cat("node ", i, " splits on feature ", *feature,
                                     ", but the model has ", feature_count, " features"));
    }
    std::optional<std::uint64_t> dangling;
    for_each_child(node, [&](std::uint64_t child) {
      if (child >= n && !dangling) dangling = child;
    });
    if (dangling) {
      return tree_node_error(str_cat("node ", i, " has child ", *dangling,
                                     ", which names no node in a tree of ", n, " nodes"));
    }
    if (!bins_ascending(node)) {
      return tree_node_error(str_cat("the branch bins of node ", i, " are not strictly ascending"));
    }
    const std::vector<std::uint64_t>* counts = class_counts_of(node);
    if (counts != nullptr && counts->size() != class_count) {
      return tree_node_error(str_cat("node ", i, " has ", counts->size(), " class counts for ",
                                     class_count, " classes"));
    }
  }
  // A node reached twice is shared by two parents or sits on a cycle; either way a walk from
  // the root could revisit it, so each node may be reached at most once.
  std::vector<std::uint8_t> reached(n, 0);
  std::vector<std::uint64_t> pending{root};
  reached[root] = 1;
  std::optional<std::uint64_t> revisited;
  while (!pending.empty() && !revisited) {
    const std::uint64_t node = pending.back();
    pending.pop_back();
    for_each_child(nodes[node], [&](std::uint64_t child) {
      if (revisited) return;
      if (reached[child] != 0) {
        revisited = child;
        return;
      }
      reached[child] = 1;
      pending.push_back(child);
    });
  }
  if (revisited) {
    return tree_node_error(
        str_cat("node ", *revisited, " is reached more than once from the root"));
  }
  return std::nullopt;
}

// ---- oblivious trees -----------------------------------------------------------------------

std::vector<core::ObliviousLevel> oblivious_splits(const std::vector<ObliviousLevel>& levels) {
  std::vector<core::ObliviousLevel> splits;
  splits.reserve(levels.size());
  for (const ObliviousLevel& level : levels) {
    core::ObliviousLevel split;
    std::visit(Overloaded{
                   [&](const ObliviousSplit::BooleanTest& test) {
                     split.feature_index = test.feature_index;
                     split.threshold_bin = 0;
                   },
                   [&](const ObliviousSplit::NumericBinThreshold& threshold) {
                     split.feature_index = threshold.feature_index;
                     split.threshold_bin = threshold.threshold_bin;
                   },
               },
               level.split.split);
    split.sample_count = level.stats.sample_count;
    split.impurity = level.stats.impurity.value_or(0.0);
    split.gain = level.stats.gain.value_or(0.0);
    splits.push_back(split);
  }
  return splits;
}

// Levels and leaves that prediction can index: a bounded number of levels, 2^levels leaves,
// splits on existing features.
std::optional<IrError> check_oblivious_shape(const std::vector<core::ObliviousLevel>& levels,
                                             std::size_t leaf_count,
                                             std::uint64_t feature_count) {
  if (levels.size() > kMaxObliviousLevels) {
    return tree_node_error(str_cat("an oblivious tree of depth ", levels.size(),
                                   " is deeper than the supported ", kMaxObliviousLevels));
  }
  const std::uint64_t needed = std::uint64_t{1} << levels.size();
  if (leaf_count != needed) {
    return tree_node_error(str_cat("an oblivious tree of depth ", levels.size(), " needs ",
                                   needed, " leaves, found ", leaf_count));
  }
  for (std::size_t level = 0; level < levels.size(); ++level) {
    if (levels[level].feature_index >= feature_count) {
      return tree_node_error(str_cat("level ", level, " splits on feature ",
                                     levels[level].feature_index, ", but the model has ",
                                     feature_count, " features"));
    }
  }
  return std::nullopt;
}

std::expected<ObliviousClassificationTree, IrError> classifier_oblivious_from_ir(
    TreeDefinition::ObliviousLevels& tree, std::span<const double> labels,
    std::uint64_t feature_count) {
  auto sample_counts = rebuild_leaf_sample_counts(tree.leaves);
  if (!sample_counts) return std::unexpected(std::move(sample_counts.error()));
  std::vector<core::ObliviousLevel> levels = rebuild_classifier_oblivious_splits(tree.levels);
  auto class_indices = rebuild_classifier_leaf_indices(tree.leaves, labels);
  if (!class_indices) return std::unexpected(std::move(class_indices.error()));

  if (auto error = check_oblivious_shape(levels, tree.leaves.size(), feature_count)) {
    return std::unexpected(std::move(*error));
  }
  // Slots are known to be a permutation of the leaf list by now.
  std::vector<std::vector<std::uint64_t>> class_counts(tree.leaves.size());
  for (IndexedLeaf& leaf : tree.leaves) {
    std::vector<std::uint64_t> counts = counts_or_zeros(leaf.stats.class_counts, labels.size());
    if (counts.size() != labels.size()) {
      return std::unexpected(tree_node_error(str_cat("leaf ", leaf.leaf_index, " has ",
                                                     counts.size(), " class counts for ",
                                                     labels.size(), " classes")));
    }
    class_counts[leaf.leaf_index] = std::move(counts);
  }
  return ObliviousClassificationTree{.levels = std::move(levels),
                                     .leaf_class_counts = std::move(class_counts),
                                     .leaf_class_indices = std::move(*class_indices),
                                     .leaf_sample_counts = std::move(*sample_counts)};
}

std::expected<ObliviousRegressionTree, IrError> regressor_oblivious_from_ir(
    const TreeDefinition::ObliviousLevels& tree, std::uint64_t feature_count) {
  auto sample_counts = rebuild_leaf_sample_counts(tree.leaves);
  if (!sample_counts) return std::unexpected(std::move(sample_counts.error()));
  std::vector<core::ObliviousLevel> levels = rebuild_regressor_oblivious_splits(tree.levels);
  // Slots are known to be a permutation of the leaf list by now.
  std::vector<double> values(tree.leaves.size(), 0.0);
  std::vector<std::optional<double>> variances(tree.leaves.size());
  for (const IndexedLeaf& leaf : tree.leaves) {
    const auto* value = std::get_if<LeafPayload::RegressionValue>(&leaf.leaf.payload);
    if (value == nullptr) {
      return std::unexpected(
          leaf_payload_error("regression oblivious leaves require regression_value"));
    }
    values[leaf.leaf_index] = value->value;
    variances[leaf.leaf_index] = leaf.stats.variance;
  }
  if (auto error = check_oblivious_shape(levels, tree.leaves.size(), feature_count)) {
    return std::unexpected(std::move(*error));
  }
  return ObliviousRegressionTree{.levels = std::move(levels),
                                 .leaf_values = std::move(values),
                                 .leaf_sample_counts = std::move(*sample_counts),
                                 .leaf_variances = std::move(variances)};
}

// ---- single trees --------------------------------------------------------------------------

std::string_view representation_word(const TreeDefinition& tree) {
  return std::holds_alternative<TreeDefinition::NodeTree>(tree.tree) ? "node_tree"
                                                                     : "oblivious_levels";
}

bool representation_fits(const TreeDefinition& tree, bool is_classification, TreeType type) {
  if (std::holds_alternative<TreeDefinition::ObliviousLevels>(tree.tree)) {
    return type == TreeType::Oblivious;
  }
  if (is_classification) return type != TreeType::Oblivious;
  return type == TreeType::Cart || type == TreeType::Randomized;
}

std::expected<Model, IrError> classifier_from_ir(const SingleTreeSettings& settings,
                                                 const std::vector<double>& labels,
                                                 TreeDefinition& definition) {
  DecisionTreeClassifier model;
  if (auto* tree = std::get_if<TreeDefinition::NodeTree>(&definition.tree)) {
    auto nodes = rebuild_arena<TreeNode>(
        tree->nodes, [&](NodeTreeNode& node, std::uint64_t& node_id) {
          return classifier_node_from_ir(node, labels, node_id);
        });
    if (!nodes) return std::unexpected(std::move(nodes.error()));
    if (auto error =
            check_node_tree(*nodes, tree->root_node_id, settings.feature_count, labels.size())) {
      return std::unexpected(std::move(*error));
    }
    model.structure = StandardClassificationTree{std::move(*nodes), tree->root_node_id};
  } else {
    auto oblivious = classifier_oblivious_from_ir(
        std::get<TreeDefinition::ObliviousLevels>(definition.tree), labels,
        settings.feature_count);
    if (!oblivious) return std::unexpected(std::move(oblivious.error()));
    model.structure = std::move(*oblivious);
  }
  model.options = settings.options;
  model.class_labels = labels;
  model.feature_preprocessing = settings.preprocessing;
  model.n_features = settings.feature_count;
  model.canaries = settings.canaries;
  model.tree_type = settings.tree_type;
  model.criterion = settings.criterion;
  return Model(std::move(model));
}

std::expected<Model, IrError> regressor_from_ir(const SingleTreeSettings& settings,
                                                TreeDefinition& definition) {
  DecisionTreeRegressor model;
  if (auto* tree = std::get_if<TreeDefinition::NodeTree>(&definition.tree)) {
    auto nodes = rebuild_arena<RegressionNode>(tree->nodes, regressor_node_from_ir);
    if (!nodes) return std::unexpected(std::move(nodes.error()));
    if (auto error = check_node_tree(*nodes, tree->root_node_id, settings.feature_count, 0)) {
      return std::unexpected(std::move(*error));
    }
    model.structure = StandardRegressionTree{std::move(*nodes), tree->root_node_id};
  } else {
    auto oblivious = regressor_oblivious_from_ir(
        std::get<TreeDefinition::ObliviousLevels>(definition.tree), settings.feature_count);
    if (!oblivious) return std::unexpected(std::move(oblivious.error()));
    model.structure = std::move(*oblivious);
  }
  model.options = settings.options;
  model.feature_preprocessing = settings.preprocessing;
  model.n_features = settings.feature_count;
  model.canaries = settings.canaries;
  model.algorithm = settings.tree_type;
  model.criterion = settings.criterion;
  return Model(std::move(model));
}

// ---- whole documents -----------------------------------------------------------------------

// The members of an ensemble, in document order; the first failing tree's error is returned.
std::expected<std::vector<Model>, IrError> ensemble_members(const SingleTreeSettings& settings,
                                                            std::vector<TreeDefinition>& trees,
                                                            platform::ThreadPool* pool) {
  if (pool != nullptr) {
    std::vector<std::expected<Model, IrError>> rebuilt = pool->parallel_map(
        trees.size(),
        [&](std::size_t i) { return single_model_from_ir_parts(settings, std::move(trees[i])); });
    std::vector<Model> members;
    members.reserve(rebuilt.size());
    for (std::expected<Model, IrError>& member : rebuilt) {
      if (!member) return std::unexpected(std::move(member.error()));
      members.push_back(std::move(*member));
    }
    return members;
  }
  std::vector<Model> members;
  members.reserve(trees.size());
  for (TreeDefinition& tree : trees) {
    std::expected<Model, IrError> member = single_model_from_ir_parts(settings, std::move(tree));
    if (!member) return std::unexpected(std::move(member.error()));
    members.push_back(std::move(*member));
  }
  return members;
}

// A classification node or leaf without class_counts gets one zero per class. Documents from
// training always list them; this bounds what a document that omits them can make us allocate.
constexpr std::uint64_t kMaxFilledClassCounts = std::uint64_t{1} << 24;

std::uint64_t omitted_class_counts(const std::vector<TreeDefinition>& trees) {
  std::uint64_t omitted = 0;
  for (const TreeDefinition& tree : trees) {
    if (const auto* nodes = std::get_if<TreeDefinition::NodeTree>(&tree.tree)) {
      for (const NodeTreeNode& node : nodes->nodes) {
        std::visit([&](const auto& n) { omitted += n.stats.class_counts ? 0 : 1; }, node.node);
      }
    } else {
      for (const IndexedLeaf& leaf : std::get<TreeDefinition::ObliviousLevels>(tree.tree).leaves) {
        omitted += leaf.stats.class_counts ? 0 : 1;
      }
    }
  }
  return omitted;
}

std::optional<IrError> check_filled_class_counts(const std::vector<TreeDefinition>& trees,
                                                 std::uint64_t class_count) {
  if (class_count == 0) return std::nullopt;
  const std::uint64_t omitted = omitted_class_counts(trees);
  if (omitted <= kMaxFilledClassCounts / class_count) return std::nullopt;
  return tree_node_error(str_cat(omitted, " nodes omit class_counts for ", class_count,
                                 " classes, more zeros than import fills in"));
}

// Every member of an ensemble keeps its own copy of the binning records, as after training. A
// small hostile document (a huge binning section, many trivial trees) must not make import
// copy it beyond what any trained model holds: 2^28 boundaries is 4 GiB of copies.
constexpr std::uint64_t kMaxCopiedBoundaries = std::uint64_t{1} << 28;

std::optional<IrError> check_member_copies(const std::vector<data::FeaturePreprocessing>& records,
                                           std::uint64_t members) {
  std::uint64_t boundaries = 0;
  for (const data::FeaturePreprocessing& record : records) boundaries += record.boundaries.size();
  if (members == 0 || boundaries <= kMaxCopiedBoundaries / members) return std::nullopt;
  return IrError{IrError::InvalidPreprocessing{
      str_cat(boundaries, " bin boundaries are too many to copy into ", members, " trees")}};
}

std::uint64_t feature_sample_size(const TrainingMetadata& metadata, std::uint64_t feature_count) {
  return std::max<std::uint64_t>(1, metadata.max_features.value_or(feature_count));
}

}  // namespace

std::expected<std::uint64_t, IrError> classifier_class_index(
    const LeafPayload& payload, std::span<const double> class_labels) {
  const auto* leaf = std::get_if<LeafPayload::ClassIndex>(&payload.payload);
  if (leaf == nullptr) return std::unexpected(leaf_payload_error("expected class_index leaf"));
  if (leaf->class_index >= class_labels.size()) {
    return std::unexpected(
        leaf_payload_error(str_cat("class index ", leaf->class_index, " out of bounds")));
  }
  const double label = class_labels[leaf->class_index];
  if (std::bit_cast<std::uint64_t>(leaf->class_value) != std::bit_cast<std::uint64_t>(label)) {
    return std::unexpected(
        leaf_payload_error(str_cat("class value ", format_display(leaf->class_value),
                                   " does not match class order entry ", format_display(label))));
  }
  return leaf->class_index;
}

std::expected<std::vector<std::uint64_t>, IrError> rebuild_leaf_sample_counts(
    const std::vector<IndexedLeaf>& leaves) {
  Slots<std::uint64_t> slots(leaves.size());
  for (const IndexedLeaf& leaf : leaves) {
    if (auto error = slots.place(leaf.leaf_index, leaf.stats.sample_count)) {
      return std::unexpected(std::move(*error));
    }
  }
  return std::move(slots).finish();
}

std::expected<std::vector<std::uint64_t>, IrError> rebuild_classifier_leaf_indices(
    const std::vector<IndexedLeaf>& leaves, std::span<const double> class_labels) {
  Slots<std::uint64_t> slots(leaves.size());
  for (const IndexedLeaf& leaf : leaves) {
    const auto class_index = classifier_class_index(leaf.leaf, class_labels);
    if (!class_index) return std::unexpected(class_index.error());
    if (auto error = slots.place(leaf.leaf_index, *class_index)) {
      return std::unexpected(std::move(*error));
    }
  }
  return std::move(slots).finish();
}

std::vector<core::ObliviousLevel> rebuild_classifier_oblivious_splits(
    const std::vector<ObliviousLevel>& levels) {
  return oblivious_splits(levels);
}

std::vector<core::ObliviousLevel> rebuild_regressor_oblivious_splits(
    const std::vector<ObliviousLevel>& levels) {
  return oblivious_splits(levels);
}

std::expected<Model, IrError> single_model_from_ir_parts(const SingleTreeSettings& settings,
                                                         TreeDefinition tree_definition) {
  if (!representation_fits(tree_definition, settings.is_classification, settings.tree_type)) {
    return std::unexpected(IrError{
        IrError::UnsupportedRepresentation{std::string(representation_word(tree_definition))}});
  }
  if (!settings.is_classification) return regressor_from_ir(settings, tree_definition);
  if (!settings.class_labels) return std::unexpected(IrError{IrError::MissingClassLabels{}});
  return classifier_from_ir(settings, *settings.class_labels, tree_definition);
}

std::expected<std::vector<data::FeaturePreprocessing>, IrError> feature_preprocessing_from_ir(
    const ModelPackageIr& document) {
  const std::uint64_t n = document.input_schema.feature_count;
  const std::vector<FeatureBinning>& entries = document.preprocessing.numeric_binning.features;
  const auto feature_index = [](const FeatureBinning& entry) {
    return std::visit([](const auto& binning) { return binning.feature_index; }, entry.binning);
  };
  const auto mismatch = [n](std::uint64_t index) {
    return IrError{IrError::PreprocessingFeatureMismatch{n, index + 1}};
  };
  const IrError missing_entry{
      IrError::InvalidPreprocessing{"every feature must have a preprocessing entry"}};

  // Each of the n slots needs an entry of its own, so a count beyond the list cannot be
  // satisfied; saying so without allocating keeps a hostile count from sizing memory.
  if (n > entries.size()) {
    for (const FeatureBinning& entry : entries) {
      if (feature_index(entry) >= n) return std::unexpected(mismatch(feature_index(entry)));
    }
    return std::unexpected(missing_entry);
  }
  std::vector<data::FeaturePreprocessing> slots(n);
  std::vector<std::uint8_t> filled(n, 0);
  for (const FeatureBinning& entry : entries) {
    const std::uint64_t index = feature_index(entry);
    if (index >= n) return std::unexpected(mismatch(index));
    if (const auto* numeric = std::get_if<FeatureBinning::Numeric>(&entry.binning)) {
      slots[index] = data::FeaturePreprocessing::numeric(numeric->boundaries);
    } else {
      slots[index] = data::FeaturePreprocessing::binary();
    }
    filled[index] = 1;
  }
  for (const std::uint8_t slot : filled) {
    if (slot == 0) return std::unexpected(missing_entry);
  }
  // Inference finds a value's bin by binary search over the upper bounds, which gives the
  // first bound not below the value only when the bounds ascend; bins ascend as training
  // writes them, which also bounds a feature to 65,536 entries.
  for (std::uint64_t feature = 0; feature < n; ++feature) {
    const std::vector<data::NumericBinBoundary>& boundaries = slots[feature].boundaries;
    for (std::size_t b = 1; b < boundaries.size(); ++b) {
      if (boundaries[b].bin <= boundaries[b - 1].bin ||
          boundaries[b].upper_bound < boundaries[b - 1].upper_bound) {
        return std::unexpected(IrError{IrError::InvalidPreprocessing{
            str_cat("the boundaries of feature ", feature, " are not in ascending order")}});
      }
    }
  }
  return slots;
}

std::expected<std::vector<double>, IrError> classification_labels(const ModelPackageIr& document) {
  if (document.output_schema.class_order) return *document.output_schema.class_order;
  if (document.training_metadata.class_labels) return *document.training_metadata.class_labels;
  return std::unexpected(IrError{IrError::MissingClassLabels{}});
}

std::expected<Model, IrError> model_from_ir(ModelPackageIr document, platform::ThreadPool* pool) {
  if (document.ir_version != kIrVersion) {
    return std::unexpected(IrError{IrError::UnsupportedIrVersion{document.ir_version}});
  }
  if (document.format_name != kFormatName) {
    return std::unexpected(IrError{IrError::UnsupportedIrFormat{document.format_name}});
  }
  ModelSection& section = document.model;
  if (section.supports_missing) {
    return std::unexpected(inference_options_error("missing values are not supported in IR v1"));
  }
  if (section.supports_categorical) {
    return std::unexpected(
        inference_options_error("categorical features are not supported in IR v1"));
  }
  const InferenceOptions& inference = document.inference_options;
  if (inference.threshold_comparison != "leq_left_gt_right") {
    return std::unexpected(inference_options_error(
        str_cat("unsupported threshold comparison '", inference.threshold_comparison, "'")));
  }
  if (inference.nan_policy != "not_supported") {
    return std::unexpected(
        inference_options_error(str_cat("unsupported nan policy '", inference.nan_policy, "'")));
  }
  const std::optional<TrainAlgorithm> algorithm = algorithm_from_word(section.algorithm);
  if (!algorithm) return std::unexpected(IrError{IrError::UnsupportedAlgorithm{section.algorithm}});
  const std::optional<Task> task = task_from_word(section.task);
  if (!task) return std::unexpected(IrError{IrError::UnsupportedTask{section.task}});
  const std::optional<TreeType> tree_type = tree_type_from_word(section.tree_type);
  if (!tree_type) return std::unexpected(IrError{IrError::UnsupportedTreeType{section.tree_type}});
  const TrainingMetadata& metadata = document.training_metadata;
  const std::optional<Criterion> criterion = criterion_from_word(metadata.criterion);
  if (!criterion) {
    return std::unexpected(
        inference_options_error(str_cat("unsupported criterion '", metadata.criterion, "'")));
  }
  auto preprocessing = feature_preprocessing_from_ir(document);
  if (!preprocessing) return std::unexpected(std::move(preprocessing.error()));
  std::optional<std::vector<double>> class_labels;
  if (auto labels = classification_labels(document)) class_labels = std::move(*labels);

  const std::uint64_t feature_count = document.input_schema.feature_count;
  const bool is_classification = *task == Task::Classification;
  const SingleTreeSettings settings{
      .is_classification = is_classification,
      .tree_type = *tree_type,
      .criterion = *criterion,
      .preprocessing = *preprocessing,
      .feature_count = feature_count,
      .options = DecisionTreeOptions{.max_features = std::nullopt,
                                     .max_depth = metadata.max_depth.value_or(8),
                                     .min_samples_split = metadata.min_samples_split.value_or(2),
                                     .min_samples_leaf = metadata.min_samples_leaf.value_or(1),
                                     .seed = 0},
      .canaries = metadata.canaries,
      .class_labels = class_labels,
  };
  std::vector<TreeDefinition>& trees = section.trees;
  const auto fillable = [&]() -> std::optional<IrError> {
    if (!is_classification || !class_labels) return std::nullopt;
    return check_filled_class_counts(trees, class_labels->size());
  };

  switch (*algorithm) {
    case TrainAlgorithm::Dt: {
      if (trees.size() != 1) {
        return std::unexpected(IrError{IrError::UnexpectedTreeCount{trees.size()}});
      }
      if (auto error = fillable()) return std::unexpected(std::move(*error));
      return single_model_from_ir_parts(settings, std::move(trees.front()));
    }
    case TrainAlgorithm::Rf: {
      // Training never makes an empty forest, and an empty one has nothing to average.
      if (trees.empty()) {
        return std::unexpected(tree_node_error("a random forest needs at least one tree"));
      }
      if (auto error = fillable()) return std::unexpected(std::move(*error));
      if (auto error = check_member_copies(*preprocessing, trees.size())) {
        return std::unexpected(std::move(*error));
      }
      auto members = ensemble_members(settings, trees, pool);
      if (!members) return std::unexpected(std::move(members.error()));
      RandomForest forest;
      forest.oob_score = metadata.oob_score;
      forest.seed = metadata.seed;
      forest.trees = std::move(*members);
      forest.feature_preprocessing = std::move(*preprocessing);
      forest.max_features = feature_sample_size(metadata, feature_count);
      forest.n_features = feature_count;
      forest.task = *task;
      forest.compute_oob = metadata.compute_oob;
      forest.tree_type = *tree_type;
      forest.criterion = *criterion;
      return Model(std::move(forest));
    }
    case TrainAlgorithm::Gbm: {
      if (auto error = check_member_copies(*preprocessing, trees.size())) {
        return std::unexpected(std::move(*error));
      }
      SingleTreeSettings member_settings = settings;
      member_settings.is_classification = false;
      auto members = ensemble_members(member_settings, trees, pool);
      if (!members) return std::unexpected(std::move(members.error()));
      if (is_classification) {
        if (!class_labels) return std::unexpected(IrError{IrError::MissingClassLabels{}});
        // The sigmoid of the summed score chooses between exactly two classes.
        if (class_labels->size() != 2) {
          return std::unexpected(inference_options_error(
              str_cat("boosted classification needs exactly 2 class labels, found ",
                      class_labels->size())));
        }
      }
      std::vector<double>& weights = section.aggregation.tree_weights;
      if (weights.size() != members->size()) {
        return std::unexpected(tree_node_error(str_cat("aggregation lists ", weights.size(),
                                                       " tree weights for ", members->size(),
                                                       " trees")));
      }
      GradientBoostedTrees boosted;
      boosted.seed = metadata.seed;
      boosted.trees = std::move(*members);
      boosted.tree_weights = std::move(weights);
      boosted.feature_preprocessing = std::move(*preprocessing);
      boosted.class_labels = std::move(class_labels);
      boosted.base_score = section.aggregation.base_score.value_or(0.0);
      boosted.learning_rate = metadata.learning_rate.value_or(0.1);
      boosted.top_gradient_fraction = metadata.top_gradient_fraction.value_or(0.2);
      boosted.other_gradient_fraction = metadata.other_gradient_fraction.value_or(0.1);
      boosted.max_features = feature_sample_size(metadata, feature_count);
      boosted.n_features = feature_count;
      boosted.canaries = metadata.canaries;
      boosted.task = *task;
      boosted.bootstrap = metadata.bootstrap.value_or(false);
      boosted.tree_type = *tree_type;
      return Model(std::move(boosted));
    }
  }
  internal_failure("unknown algorithm");
}

std::expected<Model, IrError> deserialize_model(std::string_view text) {
  // Large documents (ensembles) are read and rebuilt on every physical core; the model, or the
  // error, is the same as on one thread.
  constexpr std::size_t kParallelTextSize = std::size_t{1} << 20;
  std::unique_ptr<platform::ThreadPool> pool;
  const std::size_t cores = platform::physical_core_count();
  if (text.size() >= kParallelTextSize && cores > 1) {
    if (auto created = platform::ThreadPool::create(cores)) pool = std::move(*created);
  }
  std::expected<ModelPackageIr, platform::JsonError> document = read_ir_json(text, pool.get());
  if (!document) {
    return std::unexpected(IrError{IrError::InvalidJson{std::move(document.error().description)}});
  }
  return model_from_ir(std::move(*document), pool.get());
}

}  // namespace arborvane::core::ir
