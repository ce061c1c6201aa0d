#include "core/tree/classifier_binary.hpp"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "core/tree/learner.hpp"

namespace arborvane::core::classification {

namespace {

// The gain of splitting the node into the class counts left_at(k) (n_left rows) and
// right_at(k) (n_right rows).
template <class LeftAt, class RightAt>
double side_gain(const NodeScoring& node, std::uint64_t n_left, LeftAt&& left_at,
                 std::uint64_t n_right, RightAt&& right_at) {
  const TreeContext& context = *node.context;
  const double left = impurity_of(context.class_count, n_left, context.criterion, left_at);
  const double right = impurity_of(context.class_count, n_right, context.criterion, right_at);
  return split_gain(node.impurity, left, n_left, right, n_right);
}

// Class counts of the bins up to `threshold` into `left`; returns their row count.
std::uint64_t accumulate_left(const NodeScoring& node, std::uint64_t feature,
                              std::uint16_t threshold, std::span<std::uint64_t> left) {
  const NodeHistograms& histograms = *node.histograms;
  std::fill(left.begin(), left.end(), std::uint64_t{0});
  std::uint64_t n_left = 0;
  for (const std::uint16_t bin : histograms.observed_bins(feature)) {
    if (bin > threshold) break;
    const BinCount* counts = histograms.bin_counts(feature, bin);
    for (std::size_t k = 0; k < left.size(); ++k) {
      left[k] += counts[k];
      n_left += counts[k];
    }
  }
  return n_left;
}

// Walks the observed bins with the criterion and (when 2) the class count fixed at compile
// time: this loop is where a node spends its scoring time.
template <Criterion C, std::size_t Classes>
std::optional<SplitChoice> walk_cart_bins(const NodeScoring& node, std::uint64_t feature,
                                          std::span<std::uint64_t> left) {
  const NodeHistograms& histograms = *node.histograms;
  const std::size_t class_count = Classes != 0 ? Classes : left.size();
  const std::uint64_t min_leaf = node.context->options.min_samples_leaf;
  std::fill(left.begin(), left.end(), std::uint64_t{0});
  std::uint64_t n_left = 0;
  std::optional<SplitChoice> best;
  for (const std::uint16_t bin : histograms.observed_bins(feature)) {
    const BinCount* counts = histograms.bin_counts(feature, bin);
    for (std::size_t k = 0; k < class_count; ++k) {
      left[k] += counts[k];
      n_left += counts[k];
    }
    const std::uint64_t n_right = node.sample_count - n_left;
    if (n_right < min_leaf) break;  // only shrinks from here on
    if (n_left < min_leaf) continue;
    const double left_impurity =
        impurity_for<C>(class_count, n_left, [&](std::size_t k) { return left[k]; });
    const double right_impurity = impurity_for<C>(
        class_count, n_right, [&](std::size_t k) { return node.counts[k] - left[k]; });
    const double gain =
        split_gain(node.impurity, left_impurity, n_left, right_impurity, n_right);
    if (!best || total_order_greater(gain, best->gain)) best = SplitChoice{feature, gain, bin};
  }
  return best;
}

std::optional<SplitChoice> score_cart_numeric(const NodeScoring& node, std::uint64_t feature,
                                              std::span<std::uint64_t> left) {
  if (node.histograms->observed_bins(feature).size() < 2) return std::nullopt;
  const bool two_classes = left.size() == 2;
  switch (node.context->criterion) {
    case Criterion::Gini:
      return two_classes ? walk_cart_bins<Criterion::Gini, 2>(node, feature, left)
                         : walk_cart_bins<Criterion::Gini, 0>(node, feature, left);
    case Criterion::Entropy:
      return two_classes ? walk_cart_bins<Criterion::Entropy, 2>(node, feature, left)
                         : walk_cart_bins<Criterion::Entropy, 0>(node, feature, left);
    case Criterion::Auto:
    case Criterion::Mean:
    case Criterion::Median:
    case Criterion::SecondOrder:
      break;
  }
  internal_failure("classification impurity only supports gini or entropy");
}

std::optional<SplitChoice> score_randomized_numeric(const NodeScoring& node,
                                                    std::uint64_t feature,
                                                    std::span<std::uint64_t> left) {
  const std::optional<std::uint16_t> threshold =
      choose_random_threshold(node.histograms->observed_bins(feature), feature, node.rows,
                              seed_salt::kClassificationThreshold);
  if (!threshold) return std::nullopt;
  const std::uint64_t n_left = accumulate_left(node, feature, *threshold, left);
  const std::uint64_t n_right = node.sample_count - n_left;
  const std::uint64_t min_leaf = node.context->options.min_samples_leaf;
  if (n_left < min_leaf || n_right < min_leaf) return std::nullopt;
  const double gain = side_gain(
      node, n_left, [&](std::size_t k) { return left[k]; }, n_right,
      [&](std::size_t k) { return node.counts[k] - left[k]; });
  return SplitChoice{feature, gain, *threshold};
}

}  // namespace

std::optional<SplitChoice> score_binary_cart_split_choice_from_counts(const NodeScoring& node,
                                                                      std::uint64_t feature) {
  const NodeHistograms& histograms = *node.histograms;
  const std::uint64_t n_false = histograms.bin_total(feature, 0);
  const std::uint64_t n_true = histograms.bin_total(feature, 1);
  const std::uint64_t min_leaf = node.context->options.min_samples_leaf;
  if (n_false < min_leaf || n_true < min_leaf) return std::nullopt;
  const BinCount* falses = histograms.bin_counts(feature, 0);
  const BinCount* trues = histograms.bin_counts(feature, 1);
  const double gain = side_gain(
      node, n_false, [&](std::size_t k) -> std::uint64_t { return falses[k]; }, n_true,
      [&](std::size_t k) -> std::uint64_t { return trues[k]; });
  return SplitChoice{feature, gain, 0};
}

std::optional<SplitChoice> score_binary_split_choice_from_hist(const NodeScoring& node,
                                                               std::uint64_t feature,
                                                               std::span<std::uint64_t> left) {
  const TreeContext& context = *node.context;
  if (context.binary[feature] != 0) {
    return score_binary_cart_split_choice_from_counts(node, feature);
  }
  switch (context.tree_type) {
    case TreeType::Cart:
      return score_cart_numeric(node, feature, left);
    case TreeType::Randomized:
      return score_randomized_numeric(node, feature, left);
    case TreeType::Id3:
    case TreeType::C45:
    case TreeType::Oblivious:
      break;
  }
  internal_failure("binary builder only supports cart/randomized");
}

namespace {

constexpr int kNoHistograms = -1;

// The histogram buffers of one tree. Depth-first growth keeps at most one per pending right
// sibling alive, so a handful of buffers serve every node.
class HistogramPool {
 public:
  explicit HistogramPool(const TreeContext& context) : context_(context) {}

  int acquire() {
    if (!free_.empty()) {
      const int id = free_.back();
      free_.pop_back();
      return id;
    }
    buffers_.push_back(std::make_unique<NodeHistograms>(
        context_.feature_count(), context_.bins_per_feature, context_.class_count));
    return static_cast<int>(buffers_.size() - 1);
  }
  void release(int id) {
    if (id != kNoHistograms) free_.push_back(id);
  }
  NodeHistograms& at(int id) { return *buffers_[static_cast<std::size_t>(id)]; }

 private:
  const TreeContext& context_;
  std::vector<std::unique_ptr<NodeHistograms>> buffers_;
  std::vector<int> free_;
};

// A slice of the row buffer waiting to become a node.
struct PendingNode {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint64_t depth = 0;
  std::vector<std::uint64_t> counts;
  int histograms = kNoHistograms;
};

struct Frame {
  enum class Stage : std::uint8_t { Fresh, AwaitLeft, AwaitRight };

  explicit Frame(PendingNode pending) : node(std::move(pending)) {}

  PendingNode node;
  Stage stage = Stage::Fresh;
  // Set when the node splits.
  SplitChoice choice;
  double impurity = 0.0;
  PendingNode right;
  std::uint64_t left_child = 0;
};

// Growth with an explicit stack, so a deep tree cannot exhaust the thread's stack.
class BinaryTreeBuilder {
 public:
  BinaryTreeBuilder(const TreeContext& context, std::span<RowIndex> rows)
      : context_(context),
        rows_(rows),
        ascending_(rows, context.class_of_row),
        left_scratch_(context.feature_count() * context.class_count),
        pool_(context) {}

  StandardClassificationTree build() {
    PendingNode root{0, rows_.size(), 0, class_counts(rows_, context_.class_of_row,
                                                      context_.class_count),
                     kNoHistograms};
    stack_.push_back(Frame{std::move(root)});
    std::optional<std::uint64_t> finished;
    while (true) {
      if (finished) {
        if (stack_.empty()) break;
        Frame& parent = stack_.back();
        if (parent.stage == Frame::Stage::AwaitLeft) {
          parent.left_child = *finished;
          parent.stage = Frame::Stage::AwaitRight;
          finished.reset();
          PendingNode right = std::move(parent.right);
          stack_.push_back(Frame{std::move(right)});
          continue;
        }
        finished = append_split(std::move(parent), *finished);
        stack_.pop_back();
        continue;
      }
      finished = expand_top();
    }
    StandardClassificationTree tree;
    tree.root = nodes_.size() - 1;
    tree.nodes = std::move(nodes_);
    return tree;
  }

 private:
  std::span<RowIndex> slice(const PendingNode& node) const {
    return rows_.subspan(node.begin, node.end - node.begin);
  }

  void count_histograms(const PendingNode& node, int id) {
    const std::size_t n = node.end - node.begin;
    const std::size_t work = n * context_.feature_count() * TreeContext::kCountCost;
    build_classification_node_histograms(context_.columns, ascending_.rows(node.begin, n),
                                         ascending_.classes(node.begin, n), pool_.at(id),
                                         context_.pool_for(work));
  }

  // Decides the top frame: a leaf (returns its index) or a split, whose left child is pushed.
  std::optional<std::uint64_t> expand_top() {
    Frame& frame = stack_.back();
    PendingNode& node = frame.node;
    const std::uint64_t n = node.end - node.begin;
    if (context_.stops_before_scoring(n, node.depth, node.counts)) return append_leaf();
    if (node.histograms == kNoHistograms) {
      node.histograms = pool_.acquire();
      count_histograms(node, node.histograms);
    }
    const std::span<RowIndex> rows = slice(node);
    const NodeScoring scoring{&context_,
                              &pool_.at(node.histograms),
                              node.counts,
                              n,
                              impurity_of(context_.class_count, n, context_.criterion,
                                          [&](std::size_t k) { return node.counts[k]; }),
                              rows};
    const std::vector<std::uint64_t> candidates = context_.node_candidates(node.depth, rows);
    const std::size_t scoring_work = candidates.size() * context_.bins_per_feature *
                                     context_.class_count * TreeContext::kScoreCost;
    const auto best = platform::parallel_max<SplitChoice>(
        context_.pool_for(scoring_work), candidates.size(),
        [&](std::size_t i) {
          const std::uint64_t f = candidates[i];
          const std::span<std::uint64_t> left =
              std::span<std::uint64_t>(left_scratch_)
                  .subspan(f * context_.class_count, context_.class_count);
          return score_binary_split_choice_from_hist(scoring, f, left);
        },
        [](const SplitChoice& a, const SplitChoice& b) {
          return total_order_greater(a.gain, b.gain);
        });
    if (!best || context_.canary[best->second.feature_index] != 0 ||
        !(best->second.gain > 0.0)) {
      return append_leaf();
    }
    frame.choice = best->second;
    frame.impurity = scoring.impurity;
    split(frame);
    return std::nullopt;
  }

  // Partitions the node, prepares both children and pushes the left one.
  void split(Frame& frame) {
    PendingNode& node = frame.node;
    const std::span<RowIndex> rows = slice(node);
    const data::BinnedColumnView& column = context_.columns[frame.choice.feature_index];
    const std::size_t n_left = partition_rows(rows, column, frame.choice.threshold_bin);
    ascending_.follow_partition(column, frame.choice.threshold_bin, node.begin, rows.size(),
                                n_left);
    PendingNode left{node.begin, node.begin + n_left, node.depth + 1,
                     left_class_counts(node, frame.choice), kNoHistograms};
    PendingNode right{node.begin + n_left, node.end, node.depth + 1, node.counts,
                      kNoHistograms};
    for (std::size_t k = 0; k < right.counts.size(); ++k) right.counts[k] -= left.counts[k];
    assign_child_histograms(node, left, right);
    frame.right = std::move(right);
    frame.stage = Frame::Stage::AwaitLeft;
    stack_.push_back(Frame{std::move(left)});  // invalidates `frame`
  }

  // The class counts of the rows a split sends left, from the node's histogram of its feature.
  std::vector<std::uint64_t> left_class_counts(const PendingNode& node,
                                               const SplitChoice& choice) {
    const NodeHistograms& histograms = pool_.at(node.histograms);
    std::vector<std::uint64_t> counts(context_.class_count, 0);
    for (const std::uint16_t bin : histograms.observed_bins(choice.feature_index)) {
      if (bin > choice.threshold_bin) break;
      const BinCount* bin_counts = histograms.bin_counts(choice.feature_index, bin);
      for (std::size_t k = 0; k < counts.size(); ++k) counts[k] += bin_counts[k];
    }
    return counts;
  }

  // The smaller child is counted from its rows and the other is the parent minus it (the left
  // child counts as the smaller one on equal sizes). A child that will be a leaf anyway gets
  // none; the parent's buffer is reused in place.
  void assign_child_histograms(PendingNode& parent, PendingNode& left, PendingNode& right) {
    const auto needs = [&](const PendingNode& child) {
      return !context_.stops_before_scoring(child.end - child.begin, child.depth, child.counts);
    };
    const bool left_needs = needs(left);
    const bool right_needs = needs(right);
    const bool left_smaller = left.end - left.begin <= right.end - right.begin;
    PendingNode& smaller = left_smaller ? left : right;
    PendingNode& larger = left_smaller ? right : left;
    const bool smaller_needs = left_smaller ? left_needs : right_needs;
    const bool larger_needs = left_smaller ? right_needs : left_needs;
    const int own = parent.histograms;
    parent.histograms = kNoHistograms;
    if (larger_needs) {
      const int counted = pool_.acquire();
      count_histograms(smaller, counted);
      subtract_classification_histograms(
          pool_.at(own), pool_.at(counted),
          context_.pool_for(context_.feature_count() * context_.bins_per_feature *
                            context_.class_count * TreeContext::kCountCost));
      larger.histograms = own;
      if (smaller_needs) {
        smaller.histograms = counted;
      } else {
        pool_.release(counted);
      }
    } else if (smaller_needs) {
      count_histograms(smaller, own);
      smaller.histograms = own;
    } else {
      pool_.release(own);
    }
  }

  std::uint64_t append_leaf() {
    Frame& frame = stack_.back();
    PendingNode& node = frame.node;
    pool_.release(node.histograms);
    const std::uint64_t majority = majority_class(node.counts);
    nodes_.push_back(classifier_node::Leaf{std::move(node.counts), majority,
                                           node.end - node.begin});
    stack_.pop_back();
    return nodes_.size() - 1;
  }

  std::uint64_t append_split(Frame&& frame, std::uint64_t right_child) {
    nodes_.push_back(classifier_node::BinarySplit{
        std::move(frame.node.counts), frame.choice.feature_index, frame.choice.threshold_bin,
        frame.left_child, right_child, frame.node.end - frame.node.begin, frame.impurity,
        frame.choice.gain});
    return nodes_.size() - 1;
  }

  const TreeContext& context_;
  std::span<RowIndex> rows_;
  AscendingRows ascending_;
  std::vector<std::uint64_t> left_scratch_;  // one class-count list per binned feature
  HistogramPool pool_;
  std::vector<Frame> stack_;
  std::vector<TreeNode> nodes_;
};

}  // namespace

StandardClassificationTree build_binary_tree(const TreeContext& context,
                                             std::span<RowIndex> rows) {
  return BinaryTreeBuilder(context, rows).build();
}

}  // namespace arborvane::core::classification
