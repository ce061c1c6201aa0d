// Node-by-node growth of Cart and Randomized second-order trees.

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "core/tree/second_order_growth.hpp"
#include "platform/check.hpp"

namespace arborvane::core::second_order {

namespace {

// One node on the growth stack. Children are grown depth first and the node is appended after
// both, which yields the post-order arena without recursion (trees may be very deep).
struct Frame {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint64_t depth = 0;
  std::size_t histograms = 0;  // the set holding this node's histograms when they are ready
  bool histograms_ready = false;

  bool opened = false;
  regression_node::BinarySplit split;
  std::size_t middle = 0;  // first row of the right child
  std::size_t left_histograms = 0;
  std::size_t right_histograms = 0;
  bool children_histograms_ready = false;
  std::optional<std::uint64_t> left_index;

  static Frame child(std::size_t begin, std::size_t end, std::uint64_t depth,
                     std::size_t histograms, bool ready) {
    Frame frame;
    frame.begin = begin;
    frame.end = end;
    frame.depth = depth;
    frame.histograms = histograms;
    frame.histograms_ready = ready;
    return frame;
  }
};

class StandardGrower {
 public:
  StandardGrower(const Problem& problem, TreeType kind, GradientRows& rows)
      : problem_(problem), kind_(kind), rows_(rows), layout_(problem.features) {}

  StandardGrowth grow() {
    std::vector<Frame> stack;
    stack.push_back(Frame::child(0, rows_.size(), 0, 0, false));
    std::optional<std::uint64_t> returned;
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (!top.opened) {
        top.opened = true;
        if (open(top)) {
          returned = result_.tree.nodes.size() - 1;
          stack.pop_back();
          continue;
        }
        const Frame left = Frame::child(top.begin, top.middle, top.depth + 1,
                                        top.left_histograms, top.children_histograms_ready);
        stack.push_back(left);
        continue;
      }
      if (!top.left_index) {
        top.left_index = returned;
        const Frame right = Frame::child(top.middle, top.end, top.depth + 1,
                                         top.right_histograms, top.children_histograms_ready);
        stack.push_back(right);
        continue;
      }
      top.split.left_child = *top.left_index;
      top.split.right_child = *returned;
      result_.tree.nodes.emplace_back(top.split);
      returned = result_.tree.nodes.size() - 1;
      stack.pop_back();
    }
    AV_CHECK(returned.has_value(), "growth appends a root");
    result_.tree.root = *returned;
    return std::move(result_);
  }

 private:
  // Decides the node of `frame`: a leaf is appended (true), or the node's rows are partitioned
  // and the frame describes the split and its children (false).
  bool open(Frame& frame) {
    const SecondOrderTreeOptions& options = problem_.options;
    const double l2 = options.l2_regularization;
    const std::uint64_t n = frame.end - frame.begin;
    const GradientPair sums = rows_.sums(frame.begin, frame.end);
    if (sums.hessian <= 0.0 || n == 0 || frame.depth >= options.max_depth ||
        n < options.min_samples_split) {
      return append_leaf(sums, n);
    }

    Histograms& histograms = set(frame.histograms);
    if (!frame.histograms_ready) {
      // Only the root counts its own: any other node that may split got them from its parent.
      AV_CHECK(frame.depth == 0, "child histograms are prepared by the parent");
      rows_.count(problem_.bins, problem_.all_features, frame.begin, frame.end, histograms,
                  problem_.pool_for(n * problem_.feature_count()));
    }
    const std::span<const RowIndex> rows = rows_.rows(frame.begin, frame.end);
    // The sample seed folds every row, so it is only computed when it is used.
    const std::uint64_t sample_seed =
        problem_.samples_features()
            ? node_seed(frame.depth, options.seed, seed_salt::kRegressionNode, rows)
            : 0;
    const std::optional<SplitChoice> best =
        choose(problem_.candidates(sample_seed), histograms, rows);
    if (!best || best->gain <= options.min_gain_to_split) return append_leaf(sums, n);
    if (problem_.features[best->feature].canary) {
      if (frame.depth == 0) result_.root_canary = true;
      return append_leaf(sums, n);
    }

    const std::size_t left_count =
        rows_.partition(frame.begin, frame.end, problem_.bins, best->feature,
                        best->threshold_bin, problem_.pool_for(n * problem_.feature_count()));
    frame.middle = frame.begin + left_count;
    frame.split = regression_node::BinarySplit{.feature_index = best->feature,
                                               .threshold_bin = best->threshold_bin,
                                               .sample_count = n,
                                               .impurity = newton_score(sums.gradient,
                                                                        sums.hessian, l2),
                                               .gain = best->gain,
                                               .variance = 0.0};
    prepare_child_histograms(frame);
    return false;
  }

  bool append_leaf(const GradientPair& sums, std::uint64_t n) {
    const double value =
        newton_value(sums.gradient, sums.hessian, problem_.options.l2_regularization);
    result_.tree.nodes.emplace_back(
        regression_node::Leaf{.value = value, .sample_count = n, .variance = std::nullopt});
    return true;
  }

  // The larger child is only ever derived from the parent minus the smaller one, so both are
  // prepared together; skipped when neither child can split.
  void prepare_child_histograms(Frame& frame) {
    const std::size_t left_count = frame.middle - frame.begin;
    const std::size_t right_count = frame.end - frame.middle;
    if (!may_split(left_count, frame.depth + 1) && !may_split(right_count, frame.depth + 1)) {
      return;
    }
    const bool left_smaller = left_count <= right_count;
    const std::size_t small_begin = left_smaller ? frame.begin : frame.middle;
    const std::size_t small_end = left_smaller ? frame.middle : frame.end;
    const std::size_t next = frame.depth + 1;
    Histograms& small = set(next);
    rows_.count(problem_.bins, problem_.all_features, small_begin, small_end, small,
                problem_.pool_for((small_end - small_begin) * problem_.feature_count()));
    // Deeper sets stay untouched while the left subtree grows (its nodes write only sets of
    // their own depth or deeper), so the right child's histograms survive until it opens.
    subtract_histograms(set(frame.histograms), small,
                        problem_.pool_for(layout_.total_bins()));
    frame.left_histograms = left_smaller ? next : frame.histograms;
    frame.right_histograms = left_smaller ? frame.histograms : next;
    frame.children_histograms_ready = true;
  }

  // False only when the node is certainly a leaf whatever its gradients are.
  bool may_split(std::uint64_t n, std::uint64_t depth) const {
    return n > 0 && depth < problem_.options.max_depth && n >= problem_.options.min_samples_split;
  }

  // The largest gain in total order; among equal gains the later candidate.
  std::optional<SplitChoice> choose(const std::vector<std::uint64_t>& candidates,
                                    const Histograms& histograms,
                                    std::span<const RowIndex> rows) const {
    const std::uint64_t n = rows.size();
    const bool randomized = kind_ == TreeType::Randomized;
    const RowFold fold = randomized ? RowFold::of(rows) : RowFold{};
    const auto best = platform::parallel_max<SplitChoice>(
        problem_.pool_for(candidates.size() * layout_.total_bins() /
                          std::max<std::size_t>(1, layout_.feature_count())),
        candidates.size(),
        [&](std::size_t i) -> std::optional<SplitChoice> {
          const std::uint64_t f = candidates[i];
          const std::span<const GradientBin> bins = histograms.feature(f);
          if (problem_.features[f].binary) {
            const std::optional<double> gain = binary_split_gain(bins, problem_.rules);
            if (!gain) return std::nullopt;
            return SplitChoice{f, *gain, 0};
          }
          if (!randomized) return best_threshold(bins, f, n, problem_.rules);
          const std::optional<std::uint16_t> threshold = random_threshold(bins, f, n, fold);
          if (!threshold) return std::nullopt;
          return threshold_split(bins, f, n, *threshold, problem_.rules);
        },
        [](const SplitChoice& a, const SplitChoice& b) {
          return total_order_greater(a.gain, b.gain);
        });
    if (!best) return std::nullopt;
    return best->second;
  }

  Histograms& set(std::size_t index) {
    while (sets_.size() <= index) sets_.push_back(std::make_unique<Histograms>(layout_));
    return *sets_[index];
  }

  const Problem& problem_;
  TreeType kind_;
  GradientRows& rows_;
  HistogramLayout layout_;
  std::vector<std::unique_ptr<Histograms>> sets_;
  StandardGrowth result_;
};

}  // namespace

StandardGrowth grow_standard(const Problem& problem, TreeType kind, GradientRows& rows) {
  return StandardGrower(problem, kind, rows).grow();
}

}  // namespace arborvane::core::second_order
