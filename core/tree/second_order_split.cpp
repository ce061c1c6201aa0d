#include "core/tree/second_order_split.hpp"

#include "platform/check.hpp"
#include "platform/rng.hpp"

namespace arborvane::core::second_order {

namespace {

constexpr std::uint64_t kFoldMultiplier = 0x5851F42D4C957F2DULL;

}  // namespace

std::optional<double> binary_split_gain(std::span<const GradientBin> bins,
                                        const SplitRules& rules) {
  AV_CHECK(bins.size() == 2, "binary histogram has a false and a true side");
  const GradientBin& off = bins[0];
  const GradientBin& on = bins[1];
  if (!(on.hessian >= rules.min_sum_hessian_in_leaf && off.count >= rules.min_samples_leaf &&
        on.count >= rules.min_samples_leaf && off.hessian >= rules.min_sum_hessian_in_leaf)) {
    return std::nullopt;
  }
  const double l2 = rules.l2_regularization;
  return newton_score(off.gradient, off.hessian, l2) + newton_score(on.gradient, on.hessian, l2) -
         newton_score(off.gradient + on.gradient, off.hessian + on.hessian, l2);
}

std::optional<SplitChoice> best_threshold(std::span<const GradientBin> bins, std::uint64_t feature,
                                          std::uint64_t n, const SplitRules& rules) {
  std::optional<SplitChoice> best;
  for_each_threshold(bins, n, rules, [&](std::uint16_t bin, double gain) {
    if (!best || total_order_greater(gain, best->gain)) best = SplitChoice{feature, gain, bin};
  });
  return best;
}

std::optional<SplitChoice> threshold_split(std::span<const GradientBin> bins, std::uint64_t feature,
                                           std::uint64_t n, std::uint16_t threshold,
                                           const SplitRules& rules) {
  AV_CHECK(threshold < bins.size(), "threshold bin within the histogram");
  double g = 0.0;
  double h = 0.0;
  for (const GradientBin& bin : bins) {
    g += bin.gradient;
    h += bin.hessian;
  }
  // The left side accumulates exactly as the cart walk does, so both agree at every bin.
  double left_g = 0.0;
  double left_h = 0.0;
  std::uint64_t left_count = 0;
  for (std::size_t b = 0; b <= threshold; ++b) {
    if (bins[b].count == 0) continue;
    left_g += bins[b].gradient;
    left_h += bins[b].hessian;
    left_count += bins[b].count;
  }
  const double right_g = g - left_g;
  const double right_h = h - left_h;
  if (!(right_h >= rules.min_sum_hessian_in_leaf && left_count >= rules.min_samples_leaf &&
        n - left_count >= rules.min_samples_leaf && left_h >= rules.min_sum_hessian_in_leaf)) {
    return std::nullopt;
  }
  const double l2 = rules.l2_regularization;
  const double gain = newton_score(left_g, left_h, l2) + newton_score(right_g, right_h, l2) -
                      newton_score(g, h, l2);
  return SplitChoice{feature, gain, threshold};
}

RowFold RowFold::of(std::span<const RowIndex> rows) {
  // Folding r into h * M + r + 1 multiplies everything folded so far by M and adds r + 1.
  RowFold fold;
  for (const RowIndex row : rows) {
    fold.factor_ *= kFoldMultiplier;
    fold.offset_ = fold.offset_ * kFoldMultiplier + std::uint64_t{row} + 1;
  }
  return fold;
}

std::optional<std::uint16_t> random_threshold(std::span<const GradientBin> bins,
                                              std::uint64_t feature, std::uint64_t n,
                                              const RowFold& fold) {
  std::uint64_t observed = 0;
  for (const GradientBin& bin : bins) observed += bin.count != 0 ? 1 : 0;
  if (observed == 0) return std::nullopt;
  const std::uint64_t start = n ^ ((feature << 32) | seed_salt::kRegressionThreshold);
  platform::ChaCha12Rng rng(fold.apply(start));
  std::uint64_t wanted = rng.uniform_below(observed);
  for (std::size_t b = 0; b < bins.size(); ++b) {
    if (bins[b].count == 0) continue;
    if (wanted == 0) return static_cast<std::uint16_t>(b);
    --wanted;
  }
  internal_failure("drawn threshold among the observed bins");
}

}  // namespace arborvane::core::second_order
