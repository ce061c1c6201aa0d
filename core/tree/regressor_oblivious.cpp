// Level-wise growth of oblivious regression trees: one split shared by every leaf of a level.

#include <algorithm>
#include <optional>
#include <vector>

#include "core/tree/learner.hpp"
#include "core/tree/regression_growth.hpp"
#include "core/tree/regression_histogram.hpp"
#include "core/tree/regression_split.hpp"
#include "platform/check.hpp"

namespace arborvane::core::regression_growth {

namespace {

// A tree of k levels stores 2^k leaves whether or not they hold rows; this many levels keep
// that list (and the per-level scoring over it) at a million leaves.
constexpr std::size_t kMaxLevels = 20;

// A current leaf: a range of the shared row buffer and what is known of its targets.
struct LeafState {
  std::size_t begin = 0;
  std::size_t end = 0;
  double value = 0.0;
  std::optional<double> variance;
  TargetSums sums;
  double loss = 0.0;  // the criterion's loss of the leaf's targets; 0 when empty

  std::size_t size() const { return end - begin; }
};

class ObliviousGrower {
 public:
  ObliviousGrower(const Problem& problem, RowBuffer& buffer)
      : problem_(problem), buffer_(buffer) {}

  ObliviousRegressionTree grow() {
    const DecisionTreeOptions& options = problem_.options;
    leaves_.push_back(make_leaf(0, buffer_.size(), 0.0));
    ObliviousRegressionTree tree;
    for (std::uint64_t level = 0; level < options.max_depth && level < kMaxLevels; ++level) {
      const bool splittable = std::any_of(leaves_.begin(), leaves_.end(), [&](const LeafState& l) {
        return l.size() >= options.min_samples_split;
      });
      if (!splittable) break;
      const std::uint64_t sample_seed = options.max_features ? level_seed(level, options.seed) : 0;
      const std::vector<std::uint64_t> candidates =
          candidate_features(problem_.feature_count(), options.max_features, sample_seed);
      const std::optional<RegressionSplitChoice> best = best_split(candidates);
      if (!best || !(best->gain > 0.0)) break;
      if (problem_.canary[best->feature_index] != 0) break;
      tree.levels.push_back(split_leaves(*best));
    }
    for (const LeafState& leaf : leaves_) {
      tree.leaf_values.push_back(leaf.value);
      tree.leaf_sample_counts.push_back(leaf.size());
      tree.leaf_variances.push_back(leaf.variance);
    }
    return tree;
  }

 private:
  // The leaf state of rows [begin, end); an empty one keeps its parent's value.
  LeafState make_leaf(std::size_t begin, std::size_t end, double parent_value) {
    LeafState leaf;
    leaf.begin = begin;
    leaf.end = end;
    leaf.value = parent_value;
    if (begin == end) return leaf;
    const std::span<const double> targets = buffer_.targets(begin, end);
    leaf.sums = TargetSums::of(targets);
    leaf.variance = leaf.sums.variance();
    if (problem_.criterion == Criterion::Mean) {
      leaf.value = leaf.sums.mean();
      leaf.loss = leaf.sums.sse();
    } else {
      leaf.value = median_of(targets, sort_scratch_);
      leaf.loss = loss_of(targets, Criterion::Median, sort_scratch_);
    }
    return leaf;
  }

  // Splits every leaf in place, left part then right part, and describes the level.
  ObliviousLevel split_leaves(const RegressionSplitChoice& choice) {
    const data::BinnedColumnView& column = problem_.columns[choice.feature_index];
    std::vector<LeafState> next;
    next.reserve(leaves_.size() * 2);
    double impurity = -0.0;
    for (const LeafState& leaf : leaves_) {
      const std::size_t middle =
          leaf.begin + buffer_.partition(leaf.begin, leaf.end, column, choice.threshold_bin);
      next.push_back(make_leaf(leaf.begin, middle, leaf.value));
      next.push_back(make_leaf(middle, leaf.end, leaf.value));
      impurity += next[next.size() - 2].loss;
      impurity += next.back().loss;
    }
    leaves_ = std::move(next);
    return ObliviousLevel{.feature_index = choice.feature_index,
                          .sample_count = buffer_.size(),
                          .impurity = impurity,
                          .gain = choice.gain,
                          .threshold_bin = choice.threshold_bin};
  }

  std::optional<RegressionSplitChoice> best_split(std::span<const std::uint64_t> candidates) {
    const std::size_t work = candidates.size() * buffer_.size();
    const auto best = platform::parallel_max<RegressionSplitChoice>(
        problem_.pool_for(work), candidates.size(),
        [&](std::size_t i) { return score_oblivious_split(candidates[i]); },
        [](const RegressionSplitChoice& a, const RegressionSplitChoice& b) {
          return total_order_greater(a.gain, b.gain);
        });
    if (!best) return std::nullopt;
    return best->second;
  }

  // The split feature f offers every current leaf at once, or none.
  std::optional<RegressionSplitChoice> score_oblivious_split(std::uint64_t f) const {
    const bool binary = problem_.binary[f] != 0;
    if (binary) return score_binary(f);
    if (problem_.criterion == Criterion::Mean) {
      if (auto primary = score_by_bin_totals(f)) return primary;
    }
    return score_by_shared_threshold(f);
  }

  double leaf_gain(const LeafState& leaf, double left_loss, double right_loss) const {
    return leaf.loss - (left_loss + right_loss);
  }

  bool counts(std::uint64_t left, std::uint64_t right) const {
    const std::uint64_t m = problem_.options.min_samples_leaf;
    return left >= m && right >= m;
  }

  std::optional<RegressionSplitChoice> score_binary(std::uint64_t f) const {
    const data::BinnedColumnView& column = problem_.columns[f];
    const bool mean = problem_.criterion == Criterion::Mean;
    std::vector<RegressionBin> sides(2);
    std::vector<std::uint16_t> bins;
    SplitScratch scratch;
    double total = -0.0;
    bool any = false;
    for (const LeafState& leaf : leaves_) {
      const auto rows = buffer_.rows(leaf.begin, leaf.end);
      const auto targets = buffer_.targets(leaf.begin, leaf.end);
      if (mean) {
        build_regression_feature_histogram(column, rows, targets, sides);
        if (!counts(sides[0].count, sides[1].count)) continue;
        total += leaf_gain(leaf, TargetSums::of(sides[0]).sse(), TargetSums::of(sides[1]).sse());
      } else {
        gather_bins(column, rows, bins);
        const SideLosses split = split_side_losses(targets, bins, 0, SideLoss::Median, scratch);
        if (!counts(split.left_count, split.right_count)) continue;
        total += leaf_gain(leaf, split.left, split.right);
      }
      any = true;
    }
    if (!any || !(total > 0.0)) return std::nullopt;
    return RegressionSplitChoice{f, total, 0};
  }

  // Each leaf adds its gain at each of its own observed bins; the best positive bin total wins,
  // the higher bin on ties.
  std::optional<RegressionSplitChoice> score_by_bin_totals(std::uint64_t f) const {
    const std::size_t slots = problem_.bin_slots(f);
    std::vector<double> totals(slots, 0.0);
    std::vector<RegressionBin> histogram(slots);
    for (const LeafState& leaf : leaves_) {
      if (leaf.size() < 2) continue;
      build_regression_feature_histogram(problem_.columns[f], buffer_.rows(leaf.begin, leaf.end),
                                         buffer_.targets(leaf.begin, leaf.end), histogram);
      const auto observed = std::count_if(histogram.begin(), histogram.end(),
                                          [](const RegressionBin& b) { return b.count != 0; });
      if (observed < 2) continue;
      TargetSums left;
      for (std::size_t b = 0; b < slots; ++b) {
        if (histogram[b].count == 0) continue;
        left.add(histogram[b]);
        const TargetSums right = leaf.sums.minus(left);
        if (!counts(left.count, right.count)) continue;
        totals[b] += leaf_gain(leaf, left.sse(), right.sse());
      }
    }
    std::optional<RegressionSplitChoice> best;
    for (std::size_t b = 0; b < slots; ++b) {
      if (!(totals[b] > 0.0)) continue;
      if (!best || !total_order_greater(best->gain, totals[b])) {
        best = RegressionSplitChoice{f, totals[b], static_cast<std::uint16_t>(b)};
      }
    }
    return best;
  }

  // One threshold for all leaves, each leaf split from its rows; the best positive sum wins,
  // the higher threshold on ties.
  std::optional<RegressionSplitChoice> score_by_shared_threshold(std::uint64_t f) const {
    const std::size_t slots = problem_.bin_slots(f);
    const SideLoss loss =
        problem_.criterion == Criterion::Mean ? SideLoss::SumsSse : SideLoss::Median;
    std::vector<std::uint16_t> bins;
    gather_bins(problem_.columns[f], buffer_.rows(0, buffer_.size()), bins);
    std::vector<std::uint8_t> observed(slots, 0);
    for (const std::uint16_t bin : bins) observed[bin] = 1;
    SplitScratch scratch;
    std::optional<RegressionSplitChoice> best;
    for (std::size_t t = 0; t < slots; ++t) {
      if (observed[t] == 0) continue;
      const auto threshold = static_cast<std::uint16_t>(t);
      double total = -0.0;
      for (const LeafState& leaf : leaves_) {
        const std::span<const std::uint16_t> leaf_bins =
            std::span<const std::uint16_t>(bins).subspan(leaf.begin, leaf.size());
        const auto left = static_cast<std::uint64_t>(std::count_if(
            leaf_bins.begin(), leaf_bins.end(), [&](std::uint16_t b) { return b <= threshold; }));
        if (!counts(left, leaf.size() - left)) continue;
        const SideLosses split = split_side_losses(buffer_.targets(leaf.begin, leaf.end),
                                                   leaf_bins, threshold, loss, scratch);
        total += leaf_gain(leaf, split.left, split.right);
      }
      if (!(total > 0.0)) continue;
      if (!best || !total_order_greater(best->gain, total)) {
        best = RegressionSplitChoice{f, total, threshold};
      }
    }
    return best;
  }

  static void gather_bins(const data::BinnedColumnView& column, std::span<const RowIndex> rows,
                          std::vector<std::uint16_t>& bins) {
    bins.resize(rows.size());
    std::uint16_t* out = bins.data();
    for_each_bin(column, rows, [out](std::size_t i, std::uint16_t bin) { out[i] = bin; });
  }

  const Problem& problem_;
  RowBuffer& buffer_;
  std::vector<LeafState> leaves_;
  std::vector<double> sort_scratch_;
};

}  // namespace

ObliviousRegressionTree grow_oblivious_tree(const Problem& problem, RowBuffer& buffer) {
  return ObliviousGrower(problem, buffer).grow();
}

}  // namespace arborvane::core::regression_growth
