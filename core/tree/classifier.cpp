#include "core/tree/classifier.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "core/tree/classifier_binary.hpp"
#include "core/tree/classifier_context.hpp"
#include "core/tree/classifier_oblivious.hpp"
#include "core/tree/multiway.hpp"
#include "core/tree/tree_metadata.hpp"
#include "platform/check.hpp"

namespace arborvane::core {

namespace {


constexpr const char* kNodeIndexText = "tree node index within the node arena";
constexpr const char* kLeafIndexText = "oblivious leaf index within the leaf lists";
constexpr const char* kClassIndexText = "class index within the class labels";

// The position of the branch for `bin` among the split's branches, if it has one.
std::optional<std::size_t> find_branch(const classifier_node::MultiwaySplit& split,
                                       std::uint16_t bin) {
  const auto below = [](const classifier_node::MultiwayBranch& branch, std::uint16_t b) {
    return branch.bin < b;
  };
  const auto at = std::lower_bound(split.branches.begin(), split.branches.end(), bin, below);
  if (at == split.branches.end() || at->bin != bin) return std::nullopt;
  return static_cast<std::size_t>(at - split.branches.begin());
}

// Where a row's walk ends: a leaf, or a multiway node without a branch for the row's bin.
struct Answer {
  std::span<const std::uint64_t> counts;
  std::uint64_t class_index = 0;
};

Answer answer_at(const TreeNode& node) {
  if (const auto* leaf = std::get_if<classifier_node::Leaf>(&node)) {
    return {leaf->class_counts, leaf->class_index};
  }
  if (const auto* split = std::get_if<classifier_node::MultiwaySplit>(&node)) {
    return {split->class_counts, split->class_index};
  }
  internal_failure("a walk ends at a leaf or a multiway node");
}

std::uint64_t end_node(const StandardClassificationTree& tree, const data::TableAccess& table,
                       std::uint64_t row) {
  std::uint64_t index = tree.root;
  while (true) {
    AV_CHECK(index < tree.nodes.size(), kNodeIndexText);
    const TreeNode& node = tree.nodes[index];
    if (const auto* split = std::get_if<classifier_node::BinarySplit>(&node)) {
      const bool right = table.binned_value(split->feature_index, row) > split->threshold_bin;
      index = right ? split->right_child : split->left_child;
    } else if (const auto* split = std::get_if<classifier_node::MultiwaySplit>(&node)) {
      const auto branch = find_branch(*split, table.binned_value(split->feature_index, row));
      if (!branch) return index;
      index = split->branches[*branch].child;
    } else {
      return index;
    }
  }
}

std::uint64_t oblivious_leaf(const ObliviousClassificationTree& tree,
                             const data::TableAccess& table, std::uint64_t row) {
  std::uint64_t leaf = 0;
  for (const ObliviousLevel& level : tree.levels) {
    const bool right = table.binned_value(level.feature_index, row) > level.threshold_bin;
    leaf = leaf * 2 + (right ? 1 : 0);
  }
  AV_CHECK(leaf < tree.leaf_class_indices.size() && leaf < tree.leaf_class_counts.size(),
           kLeafIndexText);
  return leaf;
}

// The end node of every row, routing row sets node by node over resolved columns: each split
// reads its feature's storage once for all the rows that reach it.
std::vector<std::uint64_t> end_nodes(const StandardClassificationTree& tree,
                                     const data::TableAccess& table) {
  std::vector<RowIndex> rows = all_rows(table);
  std::vector<std::uint64_t> result(rows.size());
  std::vector<std::uint32_t> group_of(rows.size());
  std::vector<RowIndex> scattered(rows.size());
  struct Work {
    std::uint64_t node;
    std::size_t begin;
    std::size_t end;
  };
  std::vector<Work> pending{{tree.root, 0, rows.size()}};
  while (!pending.empty()) {
    const Work work = pending.back();
    pending.pop_back();
    if (work.begin == work.end) continue;
    AV_CHECK(work.node < tree.nodes.size(), kNodeIndexText);
    const std::span<RowIndex> slice =
        std::span<RowIndex>(rows).subspan(work.begin, work.end - work.begin);
    const TreeNode& node = tree.nodes[work.node];
    if (const auto* split = std::get_if<classifier_node::BinarySplit>(&node)) {
      const std::size_t middle =
          work.begin + partition_rows(slice, table.binned_column_view(split->feature_index),
                                      split->threshold_bin);
      pending.push_back({split->right_child, middle, work.end});
      pending.push_back({split->left_child, work.begin, middle});
      continue;
    }
    const auto* split = std::get_if<classifier_node::MultiwaySplit>(&node);
    if (split == nullptr) {
      for (const RowIndex row : slice) result[row] = work.node;
      continue;
    }
    // Group g < branches is branch g; the last group holds the rows that stop here.
    const std::size_t stop_group = split->branches.size();
    std::vector<std::size_t> starts(stop_group + 2, 0);
    std::uint32_t* groups = group_of.data() + work.begin;
    for_each_bin(table.binned_column_view(split->feature_index), slice,
                 [&](std::size_t i, std::uint16_t bin) {
                   const std::size_t group = find_branch(*split, bin).value_or(stop_group);
                   groups[i] = static_cast<std::uint32_t>(group);
                   ++starts[group + 1];
                 });
    for (std::size_t g = 0; g <= stop_group; ++g) starts[g + 1] += starts[g];
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < slice.size(); ++i) {
      scattered[work.begin + next[groups[i]]++] = slice[i];
    }
    std::copy(scattered.begin() + static_cast<std::ptrdiff_t>(work.begin),
              scattered.begin() + static_cast<std::ptrdiff_t>(work.end), slice.begin());
    for (std::size_t i = starts[stop_group]; i < starts[stop_group + 1]; ++i) {
      result[slice[i]] = work.node;
    }
    for (std::size_t g = 0; g < stop_group; ++g) {
      pending.push_back(
          {split->branches[g].child, work.begin + starts[g], work.begin + starts[g + 1]});
    }
  }
  return result;
}

std::vector<std::uint64_t> oblivious_leaves(const ObliviousClassificationTree& tree,
                                            const data::TableAccess& table) {
  const std::vector<RowIndex> rows = all_rows(table);
  std::vector<std::uint64_t> leaves(rows.size(), 0);
  for (const ObliviousLevel& level : tree.levels) {
    const std::uint16_t threshold = level.threshold_bin;
    for_each_bin(table.binned_column_view(level.feature_index), rows,
                 [&](std::size_t i, std::uint16_t bin) {
                   leaves[i] = leaves[i] * 2 + (bin > threshold ? 1 : 0);
                 });
  }
  for (const std::uint64_t leaf : leaves) {
    AV_CHECK(leaf < tree.leaf_class_indices.size() && leaf < tree.leaf_class_counts.size(),
             kLeafIndexText);
  }
  return leaves;
}

// Calls f(row, answer) for every row of the table, in row order.
template <class F>
void for_each_answer(const TreeStructure& structure, const data::TableAccess& table, F&& f) {
  if (const auto* tree = std::get_if<StandardClassificationTree>(&structure)) {
    const std::vector<std::uint64_t> nodes = end_nodes(*tree, table);
    for (std::size_t row = 0; row < nodes.size(); ++row) f(row, answer_at(tree->nodes[nodes[row]]));
    return;
  }
  const auto& tree = std::get<ObliviousClassificationTree>(structure);
  const std::vector<std::uint64_t> leaves = oblivious_leaves(tree, table);
  for (std::size_t row = 0; row < leaves.size(); ++row) {
    f(row, Answer{tree.leaf_class_counts[leaves[row]], tree.leaf_class_indices[leaves[row]]});
  }
}

Answer answer_for_row(const TreeStructure& structure, const data::TableAccess& table,
                      std::uint64_t row) {
  if (const auto* tree = std::get_if<StandardClassificationTree>(&structure)) {
    return answer_at(tree->nodes[end_node(*tree, table, row)]);
  }
  const auto& tree = std::get<ObliviousClassificationTree>(structure);
  const std::uint64_t leaf = oblivious_leaf(tree, table, row);
  return Answer{tree.leaf_class_counts[leaf], tree.leaf_class_indices[leaf]};
}

// counts / their sum into `out` (one entry per class); all 0.0 when the sum is 0.
void write_probabilities(std::span<const std::uint64_t> counts, std::span<double> out) {
  AV_CHECK(counts.size() == out.size(), "one class count per class label");
  std::uint64_t sum = 0;
  for (const std::uint64_t count : counts) sum += count;
  for (std::size_t k = 0; k < counts.size(); ++k) {
    out[k] = sum == 0 ? 0.0 : static_cast<double>(counts[k]) / static_cast<double>(sum);
  }
}

}  // namespace

double DecisionTreeClassifier::predict_row(const data::TableAccess& table,
                                           std::uint64_t row) const {
  const Answer answer = answer_for_row(structure, table, row);
  AV_CHECK(answer.class_index < class_labels.size(), kClassIndexText);
  return class_labels[answer.class_index];
}

std::vector<double> DecisionTreeClassifier::predict_proba_row(const data::TableAccess& table,
                                                              std::uint64_t row) const {
  std::vector<double> probabilities(class_labels.size(), 0.0);
  write_probabilities(answer_for_row(structure, table, row).counts, probabilities);
  return probabilities;
}

std::vector<double> DecisionTreeClassifier::predict_table(const data::TableAccess& table) const {
  std::vector<double> labels(table.n_rows());
  for_each_answer(structure, table, [&](std::size_t row, const Answer& answer) {
    AV_CHECK(answer.class_index < class_labels.size(), kClassIndexText);
    labels[row] = class_labels[answer.class_index];
  });
  return labels;
}

std::vector<double> DecisionTreeClassifier::predict_proba_table(
    const data::TableAccess& table) const {
  const std::size_t width = class_labels.size();
  std::vector<double> probabilities(table.n_rows() * width, 0.0);
  for_each_answer(structure, table, [&](std::size_t row, const Answer& answer) {
    write_probabilities(answer.counts,
                        std::span<double>(probabilities).subspan(row * width, width));
  });
  return probabilities;
}

TrainingMetadata DecisionTreeClassifier::training_metadata() const {
  TrainingMetadata metadata =
      single_tree_metadata(Task::Classification, tree_type, criterion, canaries, options);
  metadata.class_labels = class_labels;
  return metadata;
}

double classification_impurity(std::span<const std::uint64_t> counts, Criterion criterion) {
  std::uint64_t total = 0;
  for (const std::uint64_t count : counts) total += count;
  return classification::impurity_of(counts.size(), total, criterion,
                                     [counts](std::size_t k) { return counts[k]; });
}

std::expected<DecisionTreeClassifier, LearnerError> train_classifier(
    const data::TableAccess& table, TreeType tree_type, Criterion criterion,
    platform::ThreadPool* pool, const DecisionTreeOptions& options) {
  const std::uint64_t n_rows = table.n_rows();
  if (n_rows == 0) return std::unexpected(LearnerError{LearnerError::EmptyTarget{}});
  std::vector<double> targets(n_rows);
  for (std::uint64_t row = 0; row < n_rows; ++row) {
    targets[row] = table.target_value(row);
    if (!std::isfinite(targets[row])) {
      return std::unexpected(LearnerError{LearnerError::InvalidTargetValue{row, targets[row]}});
    }
  }
  AV_CHECK(criterion == Criterion::Gini || criterion == Criterion::Entropy,
           "classification impurity only supports gini or entropy");
  classification::ClassVocabulary vocabulary = classification::build_class_vocabulary(targets);
  const std::size_t class_count = vocabulary.labels.size();
  std::vector<RowIndex> rows = all_rows(table);
  const classification::TreeContext context = classification::TreeContext::create(
      table, std::move(vocabulary.classes), class_count, tree_type, criterion, options, pool);

  DecisionTreeClassifier model;
  switch (tree_type) {
    case TreeType::Cart:
    case TreeType::Randomized:
      model.structure = classification::build_binary_tree(context, rows);
      break;
    case TreeType::Id3:
    case TreeType::C45:
      model.structure = classification::build_multiway_tree(context, rows);
      break;
    case TreeType::Oblivious:
      model.structure = classification::build_oblivious_tree(context, rows);
      break;
  }
  model.options = options;
  model.class_labels = std::move(vocabulary.labels);
  model.feature_preprocessing = table.feature_preprocessing();
  model.n_features = table.n_features();
  model.canaries = table.canaries();
  model.tree_type = tree_type;
  model.criterion = criterion;
  return model;
}

}  // namespace arborvane::core
