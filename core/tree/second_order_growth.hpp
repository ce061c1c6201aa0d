#pragma once

// What the second-order learner's growth steps share; not part of the learner's interface.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/tree/regressor.hpp"
#include "core/tree/second_order.hpp"
#include "core/tree/second_order_bins.hpp"
#include "core/tree/second_order_histogram.hpp"
#include "core/tree/second_order_split.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core::second_order {

// The table resolved once per tree, with the options growth reads.
struct Problem {
  SecondOrderTreeOptions options;
  SplitRules rules;
  platform::ThreadPool* pool = nullptr;
  std::vector<FeatureInfo> features;
  std::vector<std::uint64_t> all_features;  // 0, 1, ..., feature count - 1
  PackedBins bins;
  std::uint64_t n_rows = 0;

  // With `packed`, the bins come from it (see `PrepackedRows`) instead of the table's columns.
  static Problem resolve(const data::TableAccess& table, platform::ThreadPool* pool,
                         const SecondOrderTreeOptions& options,
                         const PrepackedRows* packed = nullptr);

  std::uint64_t feature_count() const { return features.size(); }
  // The pool when a step has enough work to be worth spreading, else none (same result).
  platform::ThreadPool* pool_for(std::size_t work) const;
  // The features a node (or level) may split on, given its feature-sample seed.
  std::vector<std::uint64_t> candidates(std::uint64_t sample_seed) const;
  // Whether `candidates` reads its seed; computing a node's seed folds all its rows.
  bool samples_features() const;
};

// The row buffer: every row of the table with its gradient pair beside it, so a node's pairs
// are read in node order. Nodes are contiguous ranges, partitioned in place.
class GradientRows {
 public:
  GradientRows(const Problem& problem, std::span<const double> gradients,
               std::span<const double> hessians);

  std::size_t size() const { return rows_.size(); }
  std::span<const RowIndex> rows(std::size_t begin, std::size_t end) const {
    return std::span<const RowIndex>(rows_).subspan(begin, end - begin);
  }
  std::span<const GradientPair> pairs(std::size_t begin, std::size_t end) const {
    return std::span<const GradientPair>(pairs_).subspan(begin, end - begin);
  }
  GradientPair sums(std::size_t begin, std::size_t end) const;

  // Moves the rows of [begin, end) whose bin is at most `threshold_bin` to the front, each left
  // row swapped to the next front position (left rows keep their order, right rows may not);
  // returns how many went left.
  // With a pool the sides are read in parallel; the moves stay in order on the calling thread.
  std::size_t partition(std::size_t begin, std::size_t end, const PackedBins& bins,
                        std::size_t feature, std::uint16_t threshold_bin,
                        platform::ThreadPool* pool = nullptr);

  // The histograms of `features` over the rows [begin, end).
  void count(const PackedBins& bins, std::span<const std::uint64_t> features, std::size_t begin,
             std::size_t end, Histograms& out, platform::ThreadPool* pool) const;

 private:
  std::vector<RowIndex> rows_;
  std::vector<GradientPair> pairs_;
  std::vector<std::uint8_t> goes_left_;
};

struct StandardGrowth {
  StandardRegressionTree tree;
  bool root_canary = false;
};
// Cart and Randomized: node by node, depth first, children's histograms by subtraction.
StandardGrowth grow_standard(const Problem& problem, TreeType kind, GradientRows& rows);

struct ObliviousGrowth {
  ObliviousRegressionTree tree;
  bool root_canary = false;
};
// One shared split per level.
ObliviousGrowth grow_oblivious(const Problem& problem, GradientRows& rows);

}  // namespace arborvane::core::second_order
