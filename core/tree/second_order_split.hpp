#pragma once

// Newton-step scores and the split search of second-order trees, from per-bin gradient sums.

#include <bit>
#include <cstdint>
#include <optional>
#include <span>

#include "core/tree/sampling.hpp"
#include "platform/total_order.hpp"

namespace arborvane::core::second_order {

using platform::total_order_greater;

// A row's first and second derivative, kept side by side in node order.
struct GradientPair {
  double gradient = 0.0;
  double hessian = 0.0;
};

// The rows of one node that fall into one bin (false/true for a binary feature).
struct GradientBin {
  double gradient = 0.0;
  double hessian = 0.0;
  std::uint64_t count = 0;

  friend bool operator==(const GradientBin&, const GradientBin&) = default;
};

// S(G, H): the loss reduction a leaf with these sums achieves.
inline double newton_score(double g, double h, double l2) {
  const double denominator = h + l2;
  return denominator > 0.0 ? 0.5 * g * g / denominator : 0.0;
}

// V(G, H): the Newton step a leaf with these sums predicts.
inline double newton_value(double g, double h, double l2) {
  const double denominator = h + l2;
  return denominator > 0.0 ? -g / denominator : 0.0;
}

// What makes a candidate split acceptable, and the regularization its score uses.
struct SplitRules {
  std::uint64_t min_samples_leaf = 1;
  double min_sum_hessian_in_leaf = 0.001;
  double l2_regularization = 1.0;
};

// The best split one feature offers: rows with bin <= threshold_bin go left.
struct SplitChoice {
  std::uint64_t feature = 0;
  double gain = 0.0;
  std::uint16_t threshold_bin = 0;

  friend bool operator==(const SplitChoice&, const SplitChoice&) = default;
};

// Binary feature: false left, true right. The gain when both sides pass the rules.
std::optional<double> binary_split_gain(std::span<const GradientBin> bins, const SplitRules& rules);

// Calls f(bin, gain) for every observed bin, ascending, that is an acceptable threshold of a
// numeric feature of a node with `n` rows. Needs at least two observed bins.
template <class F>
void for_each_threshold(std::span<const GradientBin> bins, std::uint64_t n,
                        const SplitRules& rules, F&& f);

// Cart: the acceptable threshold with the largest gain, the lowest bin on ties.
std::optional<SplitChoice> best_threshold(std::span<const GradientBin> bins, std::uint64_t feature,
                                          std::uint64_t n, const SplitRules& rules);

// Randomized: the gain of one threshold, when it is acceptable.
std::optional<SplitChoice> threshold_split(std::span<const GradientBin> bins, std::uint64_t feature,
                                           std::uint64_t n, std::uint16_t threshold,
                                           const SplitRules& rules);

// The row fold behind a randomized threshold (h = h * M + row + 1 over the node's rows), kept
// as the affine map it is, so one pass over the rows serves every feature of the node.
class RowFold {
 public:
  static RowFold of(std::span<const RowIndex> rows);
  std::uint64_t apply(std::uint64_t start) const { return start * factor_ + offset_; }

 private:
  std::uint64_t factor_ = 1;
  std::uint64_t offset_ = 0;
};

// The threshold a randomized tree tries for `feature`: an observed bin drawn with the seed the
// node's rows give; none without observed bins. Equals `choose_random_threshold` over the
// observed bins.
std::optional<std::uint16_t> random_threshold(std::span<const GradientBin> bins,
                                              std::uint64_t feature, std::uint64_t n,
                                              const RowFold& fold);

// ---------------------------------------------------------------------------------------------

template <class F>
void for_each_threshold(std::span<const GradientBin> bins, std::uint64_t n,
                        const SplitRules& rules, F&& f) {
  double g = 0.0;
  double h = 0.0;
  std::size_t observed = 0;
  for (const GradientBin& bin : bins) {
    g += bin.gradient;
    h += bin.hessian;
    observed += bin.count != 0 ? 1 : 0;
  }
  if (observed < 2) return;
  const double l2 = rules.l2_regularization;
  const double parent = newton_score(g, h, l2);
  double left_g = 0.0;
  double left_h = 0.0;
  std::uint64_t left_count = 0;
  for (std::size_t b = 0; b < bins.size(); ++b) {
    if (bins[b].count == 0) continue;
    left_g += bins[b].gradient;
    left_h += bins[b].hessian;
    left_count += bins[b].count;
    const double right_g = g - left_g;
    const double right_h = h - left_h;
    if (right_h >= rules.min_sum_hessian_in_leaf && left_count >= rules.min_samples_leaf &&
        n - left_count >= rules.min_samples_leaf && left_h >= rules.min_sum_hessian_in_leaf) {
      const double gain =
          newton_score(left_g, left_h, l2) + newton_score(right_g, right_h, l2) - parent;
      f(static_cast<std::uint16_t>(b), gain);
    }
  }
}

}  // namespace arborvane::core::second_order
