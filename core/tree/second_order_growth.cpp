#include "core/tree/second_order_growth.hpp"

#include <limits>
#include <numeric>
#include <utility>

#include "platform/check.hpp"

namespace arborvane::core::second_order {

namespace {

// Below this much work per step (a few tenths of a millisecond) waking the pool's workers
// costs more than sharing the step saves.
constexpr std::size_t kParallelWork = std::size_t{1} << 18;
// How far ahead partitioning fetches the records of its rows, which it reads in random order.
constexpr std::size_t kRecordsAhead = 16;

}  // namespace

Problem Problem::resolve(const data::TableAccess& table, platform::ThreadPool* pool,
                         const SecondOrderTreeOptions& options) {
  Problem problem;
  problem.options = options;
  problem.rules = SplitRules{.min_samples_leaf = options.min_samples_leaf,
                             .min_sum_hessian_in_leaf = options.min_sum_hessian_in_leaf,
                             .l2_regularization = options.l2_regularization};
  problem.pool = pool;
  problem.features = describe_features(table);
  problem.all_features.resize(problem.features.size());
  std::iota(problem.all_features.begin(), problem.all_features.end(), std::uint64_t{0});
  problem.bins = PackedBins::pack(table, problem.features, pool);
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
                                    std::size_t feature, std::uint16_t threshold_bin) {
  // All sides first, so the record reads run ahead of use; then the swaps.
  for (std::size_t i = begin; i < end; ++i) {
    if (i + kRecordsAhead < end) bins.prefetch(rows_[i + kRecordsAhead], feature);
    goes_left_[i - begin] = bins.bin(rows_[i], feature) <= threshold_bin ? 1 : 0;
  }
  std::size_t left = begin;
  for (std::size_t i = begin; i < end; ++i) {
    if (goes_left_[i - begin] == 0) continue;
    std::swap(rows_[left], rows_[i]);
    std::swap(pairs_[left], pairs_[i]);
    ++left;
  }
  return left - begin;
}

void GradientRows::count(const PackedBins& bins, std::span<const std::uint64_t> features,
                         std::size_t begin, std::size_t end, Histograms& out,
                         platform::ThreadPool* pool) const {
  count_histograms(bins, features, rows(begin, end), pairs(begin, end), out, pool);
}

}  // namespace arborvane::core::second_order
