// Node-by-node growth of Cart and Randomized regression trees.

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "core/tree/learner.hpp"
#include "core/tree/regression_growth.hpp"
#include "core/tree/regression_histogram.hpp"
#include "core/tree/regression_split.hpp"
#include "platform/check.hpp"

namespace arborvane::core::regression_growth {

namespace {

// One node on the growth stack. Children are grown depth first and the node is appended after
// both, which yields the post-order arena without recursion (trees may be very deep).
struct Frame {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint64_t depth = 0;
  // Histogram set holding (or to hold, when not ready) this node's histograms.
  std::size_t histograms = 0;
  bool histograms_ready = false;

  bool opened = false;
  regression_node::BinarySplit split;
  std::size_t middle = 0;  // first row of the right child
  std::size_t left_histograms = 0;
  bool left_histograms_ready = false;
  std::size_t right_histograms = 0;
  bool right_histograms_ready = false;
  std::optional<std::uint64_t> left_index;

  static Frame child(std::size_t begin, std::size_t end, std::uint64_t depth,
                     std::size_t histograms, bool histograms_ready) {
    Frame frame;
    frame.begin = begin;
    frame.end = end;
    frame.depth = depth;
    frame.histograms = histograms;
    frame.histograms_ready = histograms_ready;
    return frame;
  }
};

class StandardGrower {
 public:
  StandardGrower(const Problem& problem, RowBuffer& buffer, std::size_t histogram_levels)
      : problem_(problem),
        buffer_(buffer),
        layout_(RegressionHistogramLayout::for_table(*problem.table)),
        histogram_levels_(histogram_levels) {
    AV_CHECK(histogram_levels_ >= 1, "the root has a histogram set");
  }

  StandardRegressionTree grow() {
    std::vector<Frame> stack;
    stack.push_back(Frame::child(0, buffer_.size(), 0, 0, false));
    std::optional<std::uint64_t> returned;
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (!top.opened) {
        top.opened = true;
        if (open(top) == Opened::Leaf) {
          returned = tree_.nodes.size() - 1;
          stack.pop_back();
          continue;
        }
        const Frame left = Frame::child(top.begin, top.middle, top.depth + 1,
                                        top.left_histograms, top.left_histograms_ready);
        stack.push_back(left);
        continue;
      }
      if (!top.left_index) {
        top.left_index = returned;
        const Frame right = Frame::child(top.middle, top.end, top.depth + 1,
                                         top.right_histograms, top.right_histograms_ready);
        stack.push_back(right);
        continue;
      }
      top.split.left_child = *top.left_index;
      top.split.right_child = *returned;
      tree_.nodes.emplace_back(top.split);
      returned = tree_.nodes.size() - 1;
      stack.pop_back();
    }
    AV_CHECK(returned.has_value(), "growth appends a root");
    tree_.root = *returned;
    return std::move(tree_);
  }

 private:
  enum class Opened : std::uint8_t { Leaf, Split };

  // Decides the node of `frame`. A leaf is appended to the arena; a split partitions the
  // node's rows, prepares the children's histograms and is recorded in the frame.
  Opened open(Frame& frame) {
    const std::span<const RowIndex> rows = buffer_.rows(frame.begin, frame.end);
    const std::span<const double> targets = buffer_.targets(frame.begin, frame.end);
    const std::uint64_t n = rows.size();
    const DecisionTreeOptions& options = problem_.options;
    const TargetSums sums = TargetSums::of(targets);

    const bool constant = std::all_of(targets.begin(), targets.end(),
                                      [&](double y) { return y == targets[0]; });
    if (n == 0 || frame.depth >= options.max_depth || n < options.min_samples_split || constant) {
      return append_leaf(targets, sums);
    }

    const bool mean = problem_.criterion == Criterion::Mean;
    if (mean && !frame.histograms_ready) {
      build_regression_histograms(problem_.columns, rows, targets, histograms(frame.histograms),
                                  problem_.pool);
    }
    RegressionNodeScore node{.rows = rows,
                             .targets = targets,
                             .sums = sums,
                             .loss = 0.0,
                             .min_samples_leaf = options.min_samples_leaf};
    if (!mean) node.loss = loss_of(targets, Criterion::Median, sort_scratch_);

    // The sample seed folds every row, so it is only worth computing when it is used.
    const std::uint64_t sample_seed =
        options.max_features
            ? node_seed(frame.depth, options.seed, seed_salt::kRegressionNode, rows)
            : 0;
    const std::vector<std::uint64_t> candidates =
        candidate_features(problem_.feature_count(), options.max_features, sample_seed);
    const std::optional<RegressionSplitChoice> best =
        mean ? best_mean_split(candidates, histograms(frame.histograms), node)
             : best_median_split(candidates, node);

    if (!best || problem_.canary[best->feature_index] != 0 || !(best->gain > 0.0)) {
      return append_leaf(targets, sums);
    }

    const double impurity = mean ? loss_of(targets, Criterion::Mean, sort_scratch_) : node.loss;
    const std::uint64_t feature = best->feature_index;
    const std::size_t left_count =
        buffer_.partition(frame.begin, frame.end, problem_.columns[feature], best->threshold_bin);
    frame.middle = frame.begin + left_count;
    frame.split = regression_node::BinarySplit{.feature_index = feature,
                                               .threshold_bin = best->threshold_bin,
                                               .sample_count = n,
                                               .impurity = impurity,
                                               .gain = best->gain,
                                               .variance = *sums.variance()};
    if (mean) prepare_child_histograms(frame, left_count);
    return Opened::Split;
  }

  Opened append_leaf(std::span<const double> targets, const TargetSums& sums) {
    double value = 0.0;
    if (!targets.empty()) {
      value = problem_.criterion == Criterion::Mean ? sums.mean()
                                                    : median_of(targets, sort_scratch_);
    }
    tree_.nodes.emplace_back(regression_node::Leaf{
        .value = value, .sample_count = targets.size(), .variance = sums.variance()});
    return Opened::Leaf;
  }

  // The smaller child is counted from its rows into the next level's set; the node's own set
  // becomes the larger child's by subtraction. Sets of deeper levels stay untouched while the
  // left subtree grows, so the right child's histograms survive until it is opened.
  void prepare_child_histograms(Frame& frame, std::size_t left_count) {
    const std::size_t right_count = frame.end - frame.begin - left_count;
    const std::size_t next = frame.depth + 1;
    // Unless both are prepared below, each child counts its own histograms in the node's set
    // when it needs them, one after the other (the left subtree is finished with the set
    // before the right child is opened).
    frame.left_histograms = frame.histograms;
    frame.right_histograms = frame.histograms;
    // Children that must become leaves never read histograms; skipping them changes nothing.
    if (!may_split(next, left_count) && !may_split(next, right_count)) return;
    if (next >= histogram_levels_) return;
    const bool left_smaller = left_count <= right_count;
    const std::size_t small_begin = left_smaller ? frame.begin : frame.middle;
    const std::size_t small_end = left_smaller ? frame.middle : frame.end;
    RegressionHistograms& small = histograms(next);
    build_regression_histograms(problem_.columns, buffer_.rows(small_begin, small_end),
                                buffer_.targets(small_begin, small_end), small, problem_.pool);
    subtract_regression_histograms(histograms(frame.histograms), small, problem_.pool);
    frame.left_histograms = left_smaller ? next : frame.histograms;
    frame.right_histograms = left_smaller ? frame.histograms : next;
    frame.left_histograms_ready = true;
    frame.right_histograms_ready = true;
  }

  bool may_split(std::uint64_t depth, std::uint64_t rows) const {
    return rows > 0 && depth < problem_.options.max_depth &&
           rows >= problem_.options.min_samples_split;
  }

  std::optional<RegressionSplitChoice> best_mean_split(std::span<const std::uint64_t> candidates,
                                                       const RegressionHistograms& histograms,
                                                       const RegressionNodeScore& node) const {
    // Scoring a bin costs a few histogram updates' worth (two divisions); a drawn threshold
    // first folds every row of the node.
    constexpr std::size_t kBinCost = 4;
    const bool drawn = problem_.algorithm == TreeType::Randomized;
    const std::size_t work =
        candidates.size() * (problem_.bin_cap * kBinCost + (drawn ? node.rows.size() : 0));
    return best_of(candidates, work, [&](std::uint64_t f) {
      return score_mean_split(histograms.feature(f), problem_.binary[f] != 0, f,
                              problem_.algorithm, node);
    });
  }

  std::optional<RegressionSplitChoice> best_median_split(std::span<const std::uint64_t> candidates,
                                                         const RegressionNodeScore& node) const {
    const std::size_t work = candidates.size() * node.rows.size();
    return best_of(candidates, work, [&](std::uint64_t f) {
      std::vector<std::uint16_t> bins(node.rows.size());
      for_each_bin(problem_.columns[f], node.rows,
                   [&bins](std::size_t i, std::uint16_t bin) { bins[i] = bin; });
      SplitScratch scratch;
      return score_median_split(bins, problem_.bin_slots(f), problem_.binary[f] != 0, f,
                                problem_.algorithm, node, scratch);
    });
  }

  // The largest gain in total order; among equal gains the later candidate.
  template <class Score>
  std::optional<RegressionSplitChoice> best_of(std::span<const std::uint64_t> candidates,
                                               std::size_t work, Score&& score) const {
    const auto best = platform::parallel_max<RegressionSplitChoice>(
        problem_.pool_for(work), candidates.size(),
        [&](std::size_t i) { return score(candidates[i]); },
        [](const RegressionSplitChoice& a, const RegressionSplitChoice& b) {
          return total_order_greater(a.gain, b.gain);
        });
    if (!best) return std::nullopt;
    return best->second;
  }

  RegressionHistograms& histograms(std::size_t set) {
    while (sets_.size() <= set) sets_.push_back(std::make_unique<RegressionHistograms>(layout_));
    return *sets_[set];
  }

  const Problem& problem_;
  RowBuffer& buffer_;
  RegressionHistogramLayout layout_;
  std::size_t histogram_levels_;
  std::vector<std::unique_ptr<RegressionHistograms>> sets_;
  std::vector<double> sort_scratch_;
  StandardRegressionTree tree_;
};

}  // namespace

StandardRegressionTree grow_standard_tree(const Problem& problem, RowBuffer& buffer,
                                          std::size_t histogram_levels) {
  return StandardGrower(problem, buffer, histogram_levels).grow();
}

StandardRegressionTree grow_standard_tree(const Problem& problem, RowBuffer& buffer) {
  const RegressionHistogramLayout layout = RegressionHistogramLayout::for_table(*problem.table);
  return grow_standard_tree(problem, buffer, histogram_levels_for(layout.total_bins()));
}

}  // namespace arborvane::core::regression_growth
