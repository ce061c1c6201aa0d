#include "core/tree/regression_split.hpp"

#include <algorithm>
#include <cmath>

#include "platform/check.hpp"

namespace arborvane::core {

TargetSums TargetSums::of(std::span<const double> targets) {
  TargetSums sums;
  for (const double y : targets) {
    sums.sum += y;
    sums.sum_sq += y * y;
  }
  sums.count = targets.size();
  return sums;
}

std::optional<double> TargetSums::variance() const {
  if (count == 0) return std::nullopt;
  const double n = static_cast<double>(count);
  const double mean = sum / n;
  return sum_sq / n - mean * mean;
}

double median_of(std::span<const double> values, std::vector<double>& scratch) {
  const std::size_t n = values.size();
  if (n == 0) return 0.0;
  scratch.assign(values.begin(), values.end());
  const auto middle = scratch.begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(scratch.begin(), middle, scratch.end());
  if (n % 2 == 1) return *middle;
  const double lower = *std::max_element(scratch.begin(), middle);
  return (lower + *middle) * 0.5;
}

double loss_of(std::span<const double> values, Criterion criterion, std::vector<double>& scratch) {
  double loss = -0.0;
  switch (criterion) {
    case Criterion::Mean: {
      if (values.empty()) return loss;
      const double mean = TargetSums::of(values).mean();
      for (const double y : values) loss += (y - mean) * (y - mean);
      return loss;
    }
    case Criterion::Median: {
      const double m = median_of(values, scratch);
      for (const double y : values) loss += std::abs(y - m);
      return loss;
    }
    case Criterion::Auto:
    case Criterion::Gini:
    case Criterion::Entropy:
    case Criterion::SecondOrder:
      break;
  }
  internal_failure("regression criterion only supports mean or median");
}

SideLosses split_side_losses(std::span<const double> targets, std::span<const std::uint16_t> bins,
                             std::uint16_t threshold, SideLoss loss, SplitScratch& scratch) {
  std::vector<double>& moved = scratch.targets;
  moved.assign(targets.begin(), targets.end());
  // Swapping only touches positions at or before i, so bins[i] is still the bin of moved[i].
  std::size_t left = 0;
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (bins[i] <= threshold) {
      std::swap(moved[left], moved[i]);
      ++left;
    }
  }
  const std::span<const double> all(moved);
  auto side_loss = [&](std::span<const double> side) {
    if (side.empty()) return 0.0;
    switch (loss) {
      case SideLoss::SumsSse:
        return TargetSums::of(side).sse();
      case SideLoss::Median:
        return loss_of(side, Criterion::Median, scratch.sort);
    }
    internal_failure("unknown side loss");
  };
  return SideLosses{side_loss(all.first(left)), side_loss(all.subspan(left)), left,
                    moved.size() - left};
}

namespace {

double sse_gain(const TargetSums& node, const TargetSums& left, const TargetSums& right) {
  return node.sse() - (left.sse() + right.sse());
}

bool sides_allowed(std::uint64_t left, std::uint64_t right, std::uint64_t min_samples_leaf) {
  return left >= min_samples_leaf && right >= min_samples_leaf;
}

[[noreturn]] void unsupported_tree_type() {
  internal_failure("regression node builder only supports cart or randomized");
}

}  // namespace

std::optional<RegressionSplitChoice> score_mean_split(std::span<const RegressionBin> bins,
                                                      bool binary, std::uint64_t feature,
                                                      TreeType algorithm,
                                                      const RegressionNodeScore& node) {
  const std::uint64_t m = node.min_samples_leaf;
  if (binary) {
    const TargetSums left = TargetSums::of(bins[0]);
    const TargetSums right = TargetSums::of(bins[1]);
    if (!sides_allowed(left.count, right.count, m)) return std::nullopt;
    return RegressionSplitChoice{feature, sse_gain(node.sums, left, right), 0};
  }
  switch (algorithm) {
    case TreeType::Cart: {
      std::optional<RegressionSplitChoice> best;
      std::size_t observed = 0;
      TargetSums left;
      for (std::size_t b = 0; b < bins.size(); ++b) {
        if (bins[b].count == 0) continue;
        ++observed;
        left.add(bins[b]);
        const TargetSums right = node.sums.minus(left);
        if (!sides_allowed(left.count, right.count, m)) continue;
        const double gain = sse_gain(node.sums, left, right);
        if (!best || total_order_greater(gain, best->gain)) {
          best = RegressionSplitChoice{feature, gain, static_cast<std::uint16_t>(b)};
        }
      }
      if (observed < 2) return std::nullopt;
      return best;
    }
    case TreeType::Randomized: {
      const std::vector<std::uint16_t> present = observed_bins(bins);
      const std::optional<std::uint16_t> drawn =
          choose_random_threshold(present, feature, node.rows, seed_salt::kRegressionThreshold);
      if (!drawn) return std::nullopt;
      TargetSums left;
      for (std::size_t b = 0; b <= *drawn; ++b) left.add(bins[b]);
      const TargetSums right = node.sums.minus(left);
      if (!sides_allowed(left.count, right.count, m)) return std::nullopt;
      return RegressionSplitChoice{feature, sse_gain(node.sums, left, right), *drawn};
    }
    case TreeType::Id3:
    case TreeType::C45:
    case TreeType::Oblivious:
      break;
  }
  unsupported_tree_type();
}

std::optional<RegressionSplitChoice> score_median_split(std::span<const std::uint16_t> bins,
                                                        std::size_t bin_slots, bool binary,
                                                        std::uint64_t feature, TreeType algorithm,
                                                        const RegressionNodeScore& node,
                                                        SplitScratch& scratch) {
  const std::uint64_t m = node.min_samples_leaf;
  const std::uint64_t n = bins.size();
  auto choice_at = [&](std::uint16_t threshold) {
    const SideLosses sides =
        split_side_losses(node.targets, bins, threshold, SideLoss::Median, scratch);
    return RegressionSplitChoice{feature, node.loss - (sides.left + sides.right), threshold};
  };
  std::vector<std::uint64_t> counts(binary ? 2 : bin_slots, 0);
  for (const std::uint16_t bin : bins) ++counts[bin];
  if (binary) {
    if (!sides_allowed(counts[0], counts[1], m)) return std::nullopt;
    return choice_at(0);
  }
  std::vector<std::uint16_t> present;
  for (std::size_t b = 0; b < counts.size(); ++b) {
    if (counts[b] != 0) present.push_back(static_cast<std::uint16_t>(b));
  }
  switch (algorithm) {
    case TreeType::Cart: {
      std::optional<RegressionSplitChoice> best;
      std::uint64_t left = 0;
      for (const std::uint16_t b : present) {
        left += counts[b];
        if (!sides_allowed(left, n - left, m)) continue;
        const RegressionSplitChoice choice = choice_at(b);
        // Equal gains: the later, higher bin wins.
        if (!best || !total_order_greater(best->gain, choice.gain)) best = choice;
      }
      return best;
    }
    case TreeType::Randomized: {
      const std::optional<std::uint16_t> drawn =
          choose_random_threshold(present, feature, node.rows, seed_salt::kRegressionThreshold);
      if (!drawn) return std::nullopt;
      std::uint64_t left = 0;
      for (std::size_t b = 0; b <= *drawn; ++b) left += counts[b];
      if (!sides_allowed(left, n - left, m)) return std::nullopt;
      return choice_at(*drawn);
    }
    case TreeType::Id3:
    case TreeType::C45:
    case TreeType::Oblivious:
      break;
  }
  unsupported_tree_type();
}

}  // namespace arborvane::core
