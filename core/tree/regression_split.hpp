#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/tree/options.hpp"
#include "core/tree/regression_histogram.hpp"
#include "core/tree/sampling.hpp"
#include "platform/total_order.hpp"

namespace arborvane::core {

using platform::total_order_greater;

// The best split a candidate feature offers: rows with bin <= threshold_bin go left.
struct RegressionSplitChoice {
  std::uint64_t feature_index = 0;
  double gain = 0.0;
  std::uint16_t threshold_bin = 0;

  friend bool operator==(const RegressionSplitChoice&, const RegressionSplitChoice&) = default;
};

// Count, sum and sum of squares of a set of targets. Sums start at -0.0, the neutral element
// of floating-point addition, so a sum over nothing is -0.0 and a sum of -0.0s stays -0.0.
struct TargetSums {
  double sum = -0.0;
  double sum_sq = -0.0;
  std::uint64_t count = 0;

  static TargetSums of(std::span<const double> targets);
  static TargetSums of(const RegressionBin& bin) { return {bin.sum, bin.sum_sq, bin.count}; }

  void add(const RegressionBin& bin) {
    sum += bin.sum;
    sum_sq += bin.sum_sq;
    count += bin.count;
  }
  TargetSums minus(const TargetSums& part) const {
    return {sum - part.sum, sum_sq - part.sum_sq, count - part.count};
  }
  double mean() const { return sum / static_cast<double>(count); }
  // Sum of squared deviations from the mean, from the sums.
  double sse() const { return sum_sq - sum * sum / static_cast<double>(count); }
  // Mean of the squares minus the square of the mean; absent without rows.
  std::optional<double> variance() const;
};

// Median of values (mean of the two middle ones for an even count); 0.0 for none. `scratch`
// is reused storage.
double median_of(std::span<const double> values, std::vector<double>& scratch);

// The loss of a set of targets, summed in their order: Mean = squared deviations from the mean
// (mean first, then the sum), Median = absolute deviations from the median. None give -0.0.
double loss_of(std::span<const double> values, Criterion criterion, std::vector<double>& scratch);

// Storage the row-based scoring reuses across thresholds of one feature.
struct SplitScratch {
  std::vector<double> targets;
  std::vector<double> sort;
};

// Losses of both sides of a threshold, the sides made exactly as the row buffer is partitioned
// (left rows keep their order, right rows come out in swap order) and each side's loss summed
// in that order. `sse` losses come from the sides' sums (Σy² − (Σy)²/n) instead of two passes.
struct SideLosses {
  double left = 0.0;
  double right = 0.0;
  std::uint64_t left_count = 0;
  std::uint64_t right_count = 0;
};
enum class SideLoss : std::uint8_t { SumsSse, Median };
SideLosses split_side_losses(std::span<const double> targets, std::span<const std::uint16_t> bins,
                             std::uint16_t threshold, SideLoss loss, SplitScratch& scratch);

// What scoring knows about the node besides the candidate feature.
struct RegressionNodeScore {
  std::span<const RowIndex> rows;   // in buffer order
  std::span<const double> targets;  // targets[i] belongs to rows[i]
  TargetSums sums;
  double loss = 0.0;  // Median: the node's loss; unused with Mean
  std::uint64_t min_samples_leaf = 1;
};

// Mean criterion from a feature's histogram. Cart: the strictly best threshold, lowest bin on
// ties; Randomized: the drawn threshold. Binary features split false | true.
std::optional<RegressionSplitChoice> score_mean_split(std::span<const RegressionBin> bins,
                                                      bool binary, std::uint64_t feature,
                                                      TreeType algorithm,
                                                      const RegressionNodeScore& node);

// Median criterion from the node's rows: `bins[i]` is the feature's bin of row i of the node.
// Cart tries every present bin (highest bin wins ties); Randomized tries the drawn one.
std::optional<RegressionSplitChoice> score_median_split(std::span<const std::uint16_t> bins,
                                                        std::size_t bin_slots, bool binary,
                                                        std::uint64_t feature, TreeType algorithm,
                                                        const RegressionNodeScore& node,
                                                        SplitScratch& scratch);

}  // namespace arborvane::core
