#include "core/tree/classifier_oblivious.hpp"

#include <algorithm>
#include <utility>

#include "core/tree/learner.hpp"

namespace arborvane::core::classification {

ObliviousScratch::ObliviousScratch(const TreeContext& context)
    : bins_(context.bins_per_feature),
      histograms_(context.feature_count(), context.bins_per_feature, context.class_count),
      primary_(context.feature_count() * context.bins_per_feature, 0.0),
      fallback_(context.feature_count() * context.bins_per_feature, 0.0),
      observed_(context.feature_count() * context.bins_per_feature, 0),
      left_(context.feature_count() * context.class_count, 0),
      class_count_(context.class_count) {}

namespace {

// impurity(leaf) * n_leaf - (impurity(L) * n_L + impurity(R) * n_R): raw row counts as weights,
// so leaves of any size add up on one scale.
template <class LeftAt, class RightAt>
double leaf_gain(const TreeContext& context, double leaf_term, std::uint64_t n_left,
                 LeftAt&& left_at, std::uint64_t n_right, RightAt&& right_at) {
  const double left = impurity_of(context.class_count, n_left, context.criterion, left_at);
  const double right = impurity_of(context.class_count, n_right, context.criterion, right_at);
  return leaf_term - (left * static_cast<double>(n_left) + right * static_cast<double>(n_right));
}

std::optional<SplitChoice> score_binary_feature(const LevelScoring& level, std::uint64_t feature,
                                                ObliviousScratch& scratch) {
  const TreeContext& context = *level.context;
  const std::uint64_t min_leaf = context.options.min_samples_leaf;
  NodeHistograms& histograms = scratch.histograms();
  double total = 0.0;
  bool any_counts = false;
  for (std::size_t j = 0; j < level.leaves.size(); ++j) {
    const ObliviousLeaf& leaf = level.leaves[j];
    const std::size_t n = leaf.end - leaf.begin;
    // An empty leaf could only add a gain of exactly 0, which changes no decision.
    if (n == 0) continue;
    histograms.count_feature(feature, context.columns[feature], level.rows.subspan(leaf.begin, n),
                             level.classes.subspan(leaf.begin, n));
    const std::uint64_t n_false = histograms.bin_total(feature, 0);
    const std::uint64_t n_true = histograms.bin_total(feature, 1);
    if (n_false < min_leaf || n_true < min_leaf) continue;
    any_counts = true;
    const BinCount* falses = histograms.bin_counts(feature, 0);
    const BinCount* trues = histograms.bin_counts(feature, 1);
    total += leaf_gain(
        context, level.leaf_impurities[j] * static_cast<double>(n), n_false,
        [falses](std::size_t k) -> std::uint64_t { return falses[k]; }, n_true,
        [trues](std::size_t k) -> std::uint64_t { return trues[k]; });
  }
  if (!any_counts || !(total > 0.0)) return std::nullopt;
  return SplitChoice{feature, total, 0};
}

// The bin with the largest positive total among `eligible` bins, the higher bin on ties.
template <class Eligible>
std::optional<std::uint16_t> best_positive_bin(std::span<const double> totals,
                                               Eligible&& eligible) {
  std::optional<std::uint16_t> best;
  for (std::size_t bin = 0; bin < totals.size(); ++bin) {
    if (!eligible(bin) || !(totals[bin] > 0.0)) continue;
    if (!best || !total_order_greater(totals[*best], totals[bin])) {
      best = static_cast<std::uint16_t>(bin);
    }
  }
  return best;
}

// Both threshold rules in one pass over each leaf's bins. The primary rule adds a leaf's gain
// at the bins it holds (leaves with two or more observed bins only); the fallback rule adds it
// at every threshold, where a leaf's split stays the one at its highest observed bin below.
std::optional<SplitChoice> score_numeric_feature(const LevelScoring& level, std::uint64_t feature,
                                                 ObliviousScratch& scratch) {
  const TreeContext& context = *level.context;
  const std::uint64_t min_leaf = context.options.min_samples_leaf;
  NodeHistograms& histograms = scratch.histograms();
  const std::span<double> primary = scratch.primary_totals(feature);
  const std::span<double> fallback = scratch.fallback_totals(feature);
  const std::span<std::uint8_t> observed_anywhere = scratch.observed_anywhere(feature);
  const std::span<std::uint64_t> left = scratch.left_counts(feature);
  std::fill(primary.begin(), primary.end(), 0.0);
  std::fill(fallback.begin(), fallback.end(), 0.0);
  std::fill(observed_anywhere.begin(), observed_anywhere.end(), std::uint8_t{0});
  for (std::size_t j = 0; j < level.leaves.size(); ++j) {
    const ObliviousLeaf& leaf = level.leaves[j];
    const std::uint64_t n = leaf.end - leaf.begin;
    if (n == 0) continue;  // adds exactly 0 wherever it counts
    histograms.count_feature(feature, context.columns[feature], level.rows.subspan(leaf.begin, n),
                             level.classes.subspan(leaf.begin, n));
    const std::span<const std::uint16_t> observed = histograms.observed_bins(feature);
    const double leaf_term = level.leaf_impurities[j] * static_cast<double>(n);
    std::fill(left.begin(), left.end(), std::uint64_t{0});
    std::uint64_t n_left = 0;
    bool counts = false;
    double gain = 0.0;
    const auto evaluate = [&] {
      const std::uint64_t n_right = n - n_left;
      counts = n_left >= min_leaf && n_right >= min_leaf;
      if (!counts) return;
      gain = leaf_gain(
          context, leaf_term, n_left, [&](std::size_t k) { return left[k]; }, n_right,
          [&](std::size_t k) { return leaf.counts[k] - left[k]; });
    };
    evaluate();  // thresholds below the leaf's first bin
    std::size_t next = 0;
    for (std::size_t bin = 0; bin < primary.size(); ++bin) {
      if (next < observed.size() && observed[next] == bin) {
        ++next;
        observed_anywhere[bin] = 1;
        const BinCount* bin_counts = histograms.bin_counts(feature, bin);
        for (std::size_t k = 0; k < left.size(); ++k) {
          left[k] += bin_counts[k];
          n_left += bin_counts[k];
        }
        evaluate();
        if (counts && observed.size() >= 2) primary[bin] += gain;
      }
      if (counts) fallback[bin] += gain;
    }
  }
  if (const auto bin = best_positive_bin(primary, [](std::size_t) { return true; })) {
    return SplitChoice{feature, primary[*bin], *bin};
  }
  if (const auto bin = best_positive_bin(
          fallback, [&](std::size_t b) { return observed_anywhere[b] != 0; })) {
    return SplitChoice{feature, fallback[*bin], *bin};
  }
  return std::nullopt;
}

}  // namespace

std::optional<SplitChoice> score_oblivious_split(const LevelScoring& level, std::uint64_t feature,
                                                 ObliviousScratch& scratch) {
  if (level.context->binary[feature] != 0) return score_binary_feature(level, feature, scratch);
  return score_numeric_feature(level, feature, scratch);
}

namespace {

ObliviousLeaf make_leaf(std::size_t begin, std::size_t end, std::vector<std::uint64_t> counts,
                        std::uint64_t parent_class) {
  const std::uint64_t class_index = end > begin ? majority_class(counts) : parent_class;
  return ObliviousLeaf{begin, end, std::move(counts), class_index};
}

}  // namespace

ObliviousClassificationTree build_oblivious_tree(const TreeContext& context,
                                                 std::span<RowIndex> rows) {
  const std::uint64_t n_rows = rows.size();
  std::vector<ObliviousLeaf> leaves;
  leaves.push_back(make_leaf(0, n_rows, class_counts(rows, context.class_of_row,
                                                     context.class_count),
                             0));
  const double root_impurity =
      impurity_of(context.class_count, n_rows, context.criterion,
                  [&](std::size_t k) { return leaves.front().counts[k]; });
  ObliviousScratch scratch(context);
  AscendingRows ascending(rows, context.class_of_row);
  std::vector<double> leaf_impurities;
  ObliviousClassificationTree tree;
  for (std::uint64_t level = 0; level < context.options.max_depth; ++level) {
    const bool any_splittable = std::any_of(leaves.begin(), leaves.end(), [&](const auto& leaf) {
      return leaf.end - leaf.begin >= context.options.min_samples_split;
    });
    if (!any_splittable) break;
    const std::uint64_t seed =
        context.options.max_features ? level_seed(level, context.options.seed) : 0;
    const std::vector<std::uint64_t> candidates =
        candidate_features(context.feature_count(), context.options.max_features, seed);
    leaf_impurities.clear();
    for (const ObliviousLeaf& leaf : leaves) {
      leaf_impurities.push_back(impurity_of(context.class_count, leaf.end - leaf.begin,
                                            context.criterion,
                                            [&](std::size_t k) { return leaf.counts[k]; }));
    }
    const LevelScoring scoring{&context, ascending.rows(0, n_rows), ascending.classes(0, n_rows),
                               leaves, leaf_impurities};
    const auto best = platform::parallel_max<SplitChoice>(
        context.pool_for(candidates.size() *
                         (rows.size() * TreeContext::kCountCost +
                          leaves.size() * context.bins_per_feature * context.class_count *
                              TreeContext::kScoreCost)),
        candidates.size(),
        [&](std::size_t i) { return score_oblivious_split(scoring, candidates[i], scratch); },
        [](const SplitChoice& a, const SplitChoice& b) {
          return total_order_greater(a.gain, b.gain);
        });
    if (!best || !(best->second.gain > 0.0)) break;
    const SplitChoice& choice = best->second;
    if (context.canary[choice.feature_index] != 0) break;

    std::vector<ObliviousLeaf> next;
    next.reserve(leaves.size() * 2);
    for (ObliviousLeaf& leaf : leaves) {
      const std::span<RowIndex> slice = rows.subspan(leaf.begin, leaf.end - leaf.begin);
      const data::BinnedColumnView& column = context.columns[choice.feature_index];
      const std::size_t n_left =
          slice.empty() ? 0 : partition_rows(slice, column, choice.threshold_bin);
      ascending.follow_partition(column, choice.threshold_bin, leaf.begin, slice.size(), n_left);
      std::vector<std::uint64_t> left_counts =
          class_counts(slice.first(n_left), context.class_of_row, context.class_count);
      std::vector<std::uint64_t> right_counts = std::move(leaf.counts);
      for (std::size_t k = 0; k < right_counts.size(); ++k) right_counts[k] -= left_counts[k];
      const std::size_t middle = leaf.begin + n_left;
      next.push_back(make_leaf(leaf.begin, middle, std::move(left_counts), leaf.class_index));
      next.push_back(make_leaf(middle, leaf.end, std::move(right_counts), leaf.class_index));
    }
    leaves = std::move(next);
    tree.levels.push_back(ObliviousLevel{choice.feature_index, n_rows, root_impurity,
                                         choice.gain, choice.threshold_bin});
  }
  for (ObliviousLeaf& leaf : leaves) {
    tree.leaf_sample_counts.push_back(leaf.end - leaf.begin);
    tree.leaf_class_indices.push_back(leaf.class_index);
    tree.leaf_class_counts.push_back(std::move(leaf.counts));
  }
  return tree;
}

}  // namespace arborvane::core::classification
