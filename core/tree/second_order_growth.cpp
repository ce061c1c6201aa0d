#include "core/tree/second_order_growth.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <type_traits>
#include <utility>

#include "platform/check.hpp"

namespace arborvane::core::second_order {

namespace {

// Below this much work per step (a few tenths of a millisecond) waking the pool's workers
// costs more than sharing the step saves.
constexpr std::size_t kParallelWork = std::size_t{1} << 18;
// How far ahead partitioning fetches the records of its rows, which it reads in random order.
constexpr std::size_t kRecordsAhead = 16;
// Rows per task when a large node's sides are read on the pool.
constexpr std::size_t kSideBlock = std::size_t{1} << 13;

}  // namespace

Problem Problem::resolve(const data::TableAccess& table, platform::ThreadPool* pool,
                         const SecondOrderTreeOptions& options, const PrepackedRows* packed) {
  Problem problem;
  problem.options = options;
  problem.rules = SplitRules{.min_samples_leaf = options.min_samples_leaf,
                             .min_sum_hessian_in_leaf = options.min_sum_hessian_in_leaf,
                             .l2_regularization = options.l2_regularization};
  problem.pool = pool;
  problem.features = describe_features(table);
  problem.all_features.resize(problem.features.size());
  std::iota(problem.all_features.begin(), problem.all_features.end(), std::uint64_t{0});
  if (packed == nullptr) {
    problem.bins = PackedBins::pack(table, problem.features, pool);
  } else {
    AV_CHECK(packed->base->feature_count() == problem.features.size() &&
                 packed->rows.size() == table.n_rows(),
             "prepacked bins match the table");
    problem.bins = PackedBins::gather(*packed->base, packed->rows, pool);
  }
  problem.n_rows = table.n_rows();
  return problem;
}

platform::ThreadPool* Problem::pool_for(std::size_t work) const {
  return work >= kParallelWork ? pool : nullptr;
}

bool Problem::samples_features() const {
  return options.max_features.has_value() && *options.max_features < feature_count();
}

std::vector<std::uint64_t> Problem::candidates(std::uint64_t sample_seed) const {
  return candidate_features(feature_count(), options.max_features, sample_seed);
}

GradientRows::GradientRows(const Problem& problem, std::span<const double> gradients,
                           std::span<const double> hessians)
    : rows_(problem.n_rows), pairs_(problem.n_rows), goes_left_(problem.n_rows) {
  const std::uint64_t n = problem.n_rows;
  AV_CHECK(n <= std::numeric_limits<RowIndex>::max(), "row count fits the row buffer");
  AV_CHECK(gradients.size() == n && hessians.size() == n, "one gradient and hessian per row");
  for (std::uint64_t r = 0; r < n; ++r) {
    rows_[r] = static_cast<RowIndex>(r);
    pairs_[r] = GradientPair{gradients[r], hessians[r]};
  }
}

GradientPair GradientRows::sums(std::size_t begin, std::size_t end) const {
  GradientPair total;
  for (const GradientPair& pair : pairs(begin, end)) {
    total.gradient += pair.gradient;
    total.hessian += pair.hessian;
  }
  return total;
}

std::size_t GradientRows::partition(std::size_t begin, std::size_t end, const PackedBins& bins,
                                    std::size_t feature, std::uint16_t threshold_bin,
                                    platform::ThreadPool* pool) {
  // All sides first, so the record reads run ahead of use; then the swaps.
  const std::size_t blocks = (end - begin + kSideBlock - 1) / kSideBlock;
  platform::parallel_for(blocks > 1 ? pool : nullptr, blocks, [&](std::size_t block) {
    const std::size_t first = begin + block * kSideBlock;
    const std::size_t last = std::min(end, first + kSideBlock);
    for (std::size_t i = first; i < last; ++i) {
      if (i + kRecordsAhead < last) bins.prefetch(rows_[i + kRecordsAhead], feature);
      goes_left_[i - begin] = bins.bin(rows_[i], feature) <= threshold_bin ? 1 : 0;
    }
  });
  // The swaps written as bit selects (a right row swaps nothing): sides are random, so a branch
  // would mispredict half the time.
  std::size_t left = begin;
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint64_t moves = goes_left_[i - begin];
    const std::uint64_t mask = std::uint64_t{0} - moves;
    const auto swap_bits = [mask](auto& front, auto& here) {
      using Bits = std::conditional_t<sizeof(front) == 8, std::uint64_t, std::uint32_t>;
      const Bits a = std::bit_cast<Bits>(front);
      const Bits b = std::bit_cast<Bits>(here);
      const Bits diff = (a ^ b) & static_cast<Bits>(mask);
      front = std::bit_cast<std::remove_reference_t<decltype(front)>>(static_cast<Bits>(a ^ diff));
      here = std::bit_cast<std::remove_reference_t<decltype(here)>>(static_cast<Bits>(b ^ diff));
    };
    swap_bits(rows_[left], rows_[i]);
    swap_bits(pairs_[left].gradient, pairs_[i].gradient);
    swap_bits(pairs_[left].hessian, pairs_[i].hessian);
    left += moves;
  }
  return left - begin;
}

void GradientRows::count(const PackedBins& bins, std::span<const std::uint64_t> features,
                         std::size_t begin, std::size_t end, Histograms& out,
                         platform::ThreadPool* pool) const {
  count_histograms(bins, features, rows(begin, end), pairs(begin, end), out, pool);
}

}  // namespace arborvane::core::second_order
