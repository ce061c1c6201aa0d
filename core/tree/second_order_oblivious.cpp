// Level-wise growth of oblivious second-order trees: one split shared by every partition of a
// level, chosen by the gains summed over the partitions.

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "core/tree/second_order_growth.hpp"
#include "platform/check.hpp"

namespace arborvane::core::second_order {

namespace {

// A current leaf: a range of the row buffer and its sums.
struct Partition {
  std::size_t begin = 0;
  std::size_t end = 0;
  GradientPair sums;

  std::uint64_t size() const { return end - begin; }
};

// One candidate feature's gains summed over the partitions of a level.
struct FeatureTotals {
  std::vector<double> totals;  // per bin (numeric features)
  std::vector<std::uint8_t> valid;
  double binary_total = 0.0;
  bool binary_counted = false;
};

class ObliviousGrower {
 public:
  ObliviousGrower(const Problem& problem, GradientRows& rows)
      : problem_(problem), rows_(rows), layout_(problem.features), histograms_(layout_) {}

  ObliviousGrowth grow() {
    const SecondOrderTreeOptions& options = problem_.options;
    partitions_.push_back(Partition{0, rows_.size(), rows_.sums(0, rows_.size())});
    for (std::uint64_t level = 0; level < options.max_depth; ++level) {
      bool any_splittable = false;
      for (const Partition& partition : partitions_) {
        any_splittable = any_splittable || partition.size() >= options.min_samples_split;
      }
      if (!any_splittable) break;

      const std::uint64_t sample_seed =
          problem_.samples_features() ? level_seed(level, options.seed) : 0;
      const std::optional<SplitChoice> best = choose(problem_.candidates(sample_seed));
      if (!best || best->gain <= options.min_gain_to_split) break;
      if (problem_.features[best->feature].canary) {
        if (level == 0) result_.root_canary = true;
        break;
      }
      split(*best);
    }

    ObliviousRegressionTree& tree = result_.tree;
    const double l2 = options.l2_regularization;
    for (const Partition& partition : partitions_) {
      tree.leaf_values.push_back(
          newton_value(partition.sums.gradient, partition.sums.hessian, l2));
      tree.leaf_sample_counts.push_back(partition.size());
      tree.leaf_variances.push_back(std::nullopt);
    }
    return std::move(result_);
  }

 private:
  // Every candidate scored across all partitions; the largest total gain in total order wins,
  // the later candidate among equals.
  std::optional<SplitChoice> choose(const std::vector<std::uint64_t>& candidates) {
    totals_.resize(std::max(totals_.size(), candidates.size()));
    for (std::size_t j = 0; j < candidates.size(); ++j) {
      FeatureTotals& feature = totals_[j];
      const std::size_t slots = problem_.features[candidates[j]].slots;
      feature.totals.assign(slots, 0.0);
      feature.valid.assign(slots, 0);
      feature.binary_total = 0.0;
      feature.binary_counted = false;
    }
    // Partitions in order, so every bin's total adds the partitions' gains in order.
    for (const Partition& partition : partitions_) {
      rows_.count(problem_.bins, candidates, partition.begin, partition.end, histograms_,
                  problem_.pool_for(partition.size() * candidates.size()));
      platform::parallel_for(
          problem_.pool_for(candidates.size() * layout_.total_bins() /
                            std::max<std::size_t>(1, layout_.feature_count())),
          candidates.size(),
          [&](std::size_t j) { add_partition(candidates[j], partition.size(), totals_[j]); });
    }
    std::optional<SplitChoice> best;
    for (std::size_t j = 0; j < candidates.size(); ++j) {
      const std::optional<SplitChoice> choice = level_choice(candidates[j], totals_[j]);
      if (choice && (!best || !total_order_greater(best->gain, choice->gain))) best = choice;
    }
    return best;
  }

  void add_partition(std::uint64_t feature, std::uint64_t rows, FeatureTotals& totals) const {
    const std::span<const GradientBin> bins = histograms_.feature(feature);
    if (problem_.features[feature].binary) {
      if (const std::optional<double> gain = binary_split_gain(bins, problem_.rules)) {
        totals.binary_total += *gain;
        totals.binary_counted = true;
      }
      return;
    }
    for_each_threshold(bins, rows, problem_.rules, [&](std::uint16_t bin, double gain) {
      totals.totals[bin] += gain;
      totals.valid[bin] = 1;
    });
  }

  std::optional<SplitChoice> level_choice(std::uint64_t feature,
                                          const FeatureTotals& totals) const {
    const double min_gain = problem_.options.min_gain_to_split;
    if (problem_.features[feature].binary) {
      if (!totals.binary_counted || !(totals.binary_total > min_gain)) return std::nullopt;
      return SplitChoice{feature, totals.binary_total, 0};
    }
    std::optional<SplitChoice> best;
    for (std::size_t b = 0; b < totals.totals.size(); ++b) {
      const double total = totals.totals[b];
      if (totals.valid[b] == 0 || !(total > min_gain)) continue;
      // Ascending walk: an equal total replaces the best, so the higher bin wins ties.
      if (!best || !total_order_greater(best->gain, total)) {
        best = SplitChoice{feature, total, static_cast<std::uint16_t>(b)};
      }
    }
    return best;
  }

  // Every partition becomes its left part then its right part, empty parts included.
  void split(const SplitChoice& choice) {
    const double l2 = problem_.options.l2_regularization;
    std::vector<Partition> next;
    next.reserve(partitions_.size() * 2);
    double impurity = 0.0;
    for (const Partition& partition : partitions_) {
      const std::size_t middle =
          partition.begin +
          rows_.partition(partition.begin, partition.end, problem_.bins, choice.feature,
                          choice.threshold_bin);
      for (const auto& [begin, end] : {std::pair{partition.begin, middle},
                                       std::pair{middle, partition.end}}) {
        const Partition part{begin, end, rows_.sums(begin, end)};
        impurity += newton_score(part.sums.gradient, part.sums.hessian, l2);
        next.push_back(part);
      }
    }
    partitions_ = std::move(next);
    result_.tree.levels.push_back(ObliviousLevel{.feature_index = choice.feature,
                                                 .sample_count = problem_.n_rows,
                                                 .impurity = impurity,
                                                 .gain = choice.gain,
                                                 .threshold_bin = choice.threshold_bin});
  }

  const Problem& problem_;
  GradientRows& rows_;
  HistogramLayout layout_;
  Histograms histograms_;  // the current partition's, candidates only
  std::vector<FeatureTotals> totals_;  // by candidate position, reused from level to level
  std::vector<Partition> partitions_;
  ObliviousGrowth result_;
};

}  // namespace

ObliviousGrowth grow_oblivious(const Problem& problem, GradientRows& rows) {
  return ObliviousGrower(problem, rows).grow();
}

}  // namespace arborvane::core::second_order
