#include "core/tree/regression_growth.hpp"

#include <algorithm>
#include <limits>

#include "core/tree/learner.hpp"
#include "core/tree/regression_histogram.hpp"
#include "platform/check.hpp"

namespace arborvane::core::regression_growth {

namespace {

// Below this much work per step a parallel pass costs more than it saves.
constexpr std::size_t kParallelWork = std::size_t{1} << 15;

// Histogram sets are one per depth level of the growth stack; this bounds their memory for
// very deep trees.
constexpr std::size_t kHistogramBudgetBytes = std::size_t{256} << 20;

std::uint64_t largest_storable_bin(data::BinnedColumnView::Layout layout) {
  using Layout = data::BinnedColumnView::Layout;
  switch (layout) {
    case Layout::U8:
      return std::numeric_limits<std::uint8_t>::max();
    case Layout::U16:
      return std::numeric_limits<std::uint16_t>::max();
    case Layout::Bits:
    case Layout::Sparse:
      return 1;
  }
  internal_failure("unknown binned column layout");
}

// Largest bin of the column over rows 0..n-1; a pass over storage the histograms will index.
std::uint16_t largest_bin(const data::BinnedColumnView& column, std::uint64_t n) {
  using Layout = data::BinnedColumnView::Layout;
  std::uint16_t largest = 0;
  auto scan = [&](const auto* bins) {
    if (column.rows == nullptr) {
      for (std::uint64_t r = 0; r < n; ++r) largest = std::max<std::uint16_t>(largest, bins[r]);
    } else {
      for (std::uint64_t r = 0; r < n; ++r) {
        largest = std::max<std::uint16_t>(largest, bins[column.rows[r]]);
      }
    }
  };
  switch (column.layout) {
    case Layout::U8:
      scan(column.u8);
      return largest;
    case Layout::U16:
      scan(column.u16);
      return largest;
    case Layout::Bits:
    case Layout::Sparse:
      for (std::uint64_t r = 0; r < n && largest == 0; ++r) largest = column.value(r);
      return largest;
  }
  internal_failure("unknown binned column layout");
}

}  // namespace

Problem Problem::resolve(const data::TableAccess& table, TreeType algorithm, Criterion criterion,
                         platform::ThreadPool* pool, const DecisionTreeOptions& options) {
  Problem problem;
  problem.table = &table;
  problem.algorithm = algorithm;
  problem.criterion = criterion;
  problem.pool = pool;
  problem.options = options;
  problem.bin_cap = table.numeric_bin_cap();
  const std::uint64_t features = table.binned_feature_count();
  const std::uint64_t n = table.n_rows();
  problem.columns.reserve(features);
  problem.binary.reserve(features);
  problem.canary.reserve(features);
  for (std::uint64_t f = 0; f < features; ++f) {
    problem.columns.push_back(table.binned_column_view(f));
    problem.binary.push_back(table.is_binary_binned_feature(f) ? 1 : 0);
    problem.canary.push_back(table.is_canary_binned_feature(f) ? 1 : 0);
    if (problem.binary.back() != 0 && n > 0) {
      AV_CHECK(table.binned_boolean_value(f, 0).has_value(),
               "binary feature must expose boolean values");
    }
  }
  // Histograms index by bin, so a bin past a feature's slots would write out of bounds.
  const std::vector<std::uint16_t> largest =
      platform::parallel_map(problem.pool_for(features * n), features, [&](std::size_t f) {
        const bool cannot_overflow =
            largest_storable_bin(problem.columns[f].layout) < problem.bin_slots(f);
        return cannot_overflow ? std::uint16_t{0} : largest_bin(problem.columns[f], n);
      });
  for (std::uint64_t f = 0; f < features; ++f) {
    if (largest[f] < problem.bin_slots(f)) continue;
    internal_failure(problem.binary[f] != 0 ? "binary feature must expose boolean values"
                                            : "numeric bins stay below numeric_bin_cap");
  }
  return problem;
}

platform::ThreadPool* Problem::pool_for(std::size_t work) const {
  return work >= kParallelWork ? pool : nullptr;
}

RowBuffer::RowBuffer(std::vector<double> targets_by_row)
    : targets_(std::move(targets_by_row)), goes_left_(targets_.size()) {
  AV_CHECK(targets_.size() <= std::numeric_limits<RowIndex>::max(),
           "row count fits the row buffer");
  rows_.resize(targets_.size());
  for (std::size_t i = 0; i < rows_.size(); ++i) rows_[i] = static_cast<RowIndex>(i);
}

std::size_t RowBuffer::partition(std::size_t begin, std::size_t end,
                                 const data::BinnedColumnView& column,
                                 std::uint16_t threshold_bin) {
  std::uint8_t* goes_left = goes_left_.data();
  for_each_bin(column, rows(begin, end), [goes_left, threshold_bin](std::size_t i, std::uint16_t bin) {
    goes_left[i] = bin <= threshold_bin ? 1 : 0;
  });
  std::size_t left = begin;
  for (std::size_t i = begin; i < end; ++i) {
    if (goes_left[i - begin] != 0) {
      std::swap(rows_[left], rows_[i]);
      std::swap(targets_[left], targets_[i]);
      ++left;
    }
  }
  return left - begin;
}

std::size_t histogram_levels_for(std::size_t total_bins) {
  const std::size_t level_bytes = std::max<std::size_t>(1, total_bins * sizeof(RegressionBin));
  return std::max<std::size_t>(2, kHistogramBudgetBytes / level_bytes);
}

}  // namespace arborvane::core::regression_growth
