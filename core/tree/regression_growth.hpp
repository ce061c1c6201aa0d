#pragma once

// What the regression learner's growth steps share; not part of the learner's interface.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/tree/options.hpp"
#include "core/tree/regressor.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core::regression_growth {

// The table resolved once per tree: column views and per-feature flags, so growth never calls
// the table per value.
struct Problem {
  const data::TableAccess* table = nullptr;
  TreeType algorithm = TreeType::Cart;
  Criterion criterion = Criterion::Mean;
  platform::ThreadPool* pool = nullptr;
  DecisionTreeOptions options;
  std::vector<data::BinnedColumnView> columns;
  std::vector<std::uint8_t> binary;  // is_binary_binned_feature
  std::vector<std::uint8_t> canary;  // is_canary_binned_feature
  std::uint64_t bin_cap = 0;         // numeric_bin_cap

  // Resolves every binned feature and checks that its bins fit the histograms.
  static Problem resolve(const data::TableAccess& table, TreeType algorithm, Criterion criterion,
                         platform::ThreadPool* pool, const DecisionTreeOptions& options);

  std::uint64_t feature_count() const { return columns.size(); }
  // Histogram slots of a feature: two for a binary one (false, true), the cap otherwise.
  std::size_t bin_slots(std::uint64_t feature) const { return binary[feature] != 0 ? 2 : bin_cap; }
  // The pool when a step has enough work to be worth spreading, else none (same result).
  platform::ThreadPool* pool_for(std::size_t work) const;
};

// The row buffer with each row's target beside it, so a node's targets are one contiguous
// slice in buffer order. Partitioned in place as nodes split.
class RowBuffer {
 public:
  explicit RowBuffer(std::vector<double> targets_by_row);

  std::size_t size() const { return rows_.size(); }
  std::span<const RowIndex> rows(std::size_t begin, std::size_t end) const {
    return std::span<const RowIndex>(rows_).subspan(begin, end - begin);
  }
  std::span<const double> targets(std::size_t begin, std::size_t end) const {
    return std::span<const double>(targets_).subspan(begin, end - begin);
  }

  // Moves the rows of [begin, end) whose bin is at most `threshold_bin` to the front, keeping
  // their order (the right side's order is not kept); returns how many went left. The same
  // rule as `partition_rows`, with the targets moved alongside.
  std::size_t partition(std::size_t begin, std::size_t end, const data::BinnedColumnView& column,
                        std::uint16_t threshold_bin);

 private:
  std::vector<RowIndex> rows_;
  std::vector<double> targets_;
  std::vector<std::uint8_t> goes_left_;
};

// Cart and Randomized: node by node, depth first.
StandardRegressionTree grow_standard_tree(const Problem& problem, RowBuffer& buffer);

// How many depth levels may keep a histogram set alive at once: the memory bound of the
// histogram stack for the given table shape (at least two).
std::size_t histogram_levels_for(std::size_t total_bins);

// `grow_standard_tree` with an explicit histogram stack depth. Below the last level the larger
// child's histograms come from subtraction; from there on every node counts its own.
StandardRegressionTree grow_standard_tree(const Problem& problem, RowBuffer& buffer,
                                          std::size_t histogram_levels);

// Oblivious: one shared split per level.
ObliviousRegressionTree grow_oblivious_tree(const Problem& problem, RowBuffer& buffer);

}  // namespace arborvane::core::regression_growth
