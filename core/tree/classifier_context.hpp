#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/tree/classification_histogram.hpp"
#include "core/tree/options.hpp"
#include "core/tree/sampling.hpp"
#include "data/table_access.hpp"
#include "platform/check.hpp"
#include "platform/parallel.hpp"
#include "platform/total_order.hpp"

// What the three classification tree builders (binary, multiway, oblivious) share.
namespace arborvane::core::classification {

using platform::total_order_greater;

// The best split one candidate feature offers. Binary splits send bin <= threshold_bin left;
// multiway and oblivious choices carry their own extras.
struct SplitChoice {
  std::uint64_t feature_index = 0;
  double gain = 0.0;
  std::uint16_t threshold_bin = 0;

  friend bool operator==(const SplitChoice&, const SplitChoice&) = default;
};

// Impurity of the counts count_at(0 .. class_count - 1) summing to `total`, for a criterion
// fixed at compile time (hot loops pick it once). An empty set has impurity 0.0 (reachable only
// with min_samples_leaf 0, where its weight is 0 anyway).
template <Criterion C, class CountAt>
double impurity_for(std::size_t class_count, std::uint64_t total, CountAt&& count_at) {
  static_assert(C == Criterion::Gini || C == Criterion::Entropy);
  if (total == 0) return 0.0;
  const double n = static_cast<double>(total);
  double sum = 0.0;
  if constexpr (C == Criterion::Gini) {
    for (std::size_t k = 0; k < class_count; ++k) {
      const double p = static_cast<double>(count_at(k)) / n;
      sum += p * p;
    }
    return 1.0 - sum;
  } else {
    for (std::size_t k = 0; k < class_count; ++k) {
      const std::uint64_t count = count_at(k);
      if (count == 0) continue;
      const double p = static_cast<double>(count) / n;
      sum += p * std::log2(p);
    }
    return -sum;
  }
}

// The same with the criterion chosen at run time.
template <class CountAt>
double impurity_of(std::size_t class_count, std::uint64_t total, Criterion criterion,
                   CountAt&& count_at) {
  switch (criterion) {
    case Criterion::Gini:
      return impurity_for<Criterion::Gini>(class_count, total, count_at);
    case Criterion::Entropy:
      return impurity_for<Criterion::Entropy>(class_count, total, count_at);
    case Criterion::Auto:
    case Criterion::Mean:
    case Criterion::Median:
    case Criterion::SecondOrder:
      break;
  }
  internal_failure("classification impurity only supports gini or entropy");
}

// impurity(P) - (n_L / n * impurity(L) + n_R / n * impurity(R)) with n = n_L + n_R.
inline double split_gain(double parent_impurity, double left_impurity, std::uint64_t n_left,
                         double right_impurity, std::uint64_t n_right) {
  const double n = static_cast<double>(n_left + n_right);
  return parent_impurity - (static_cast<double>(n_left) / n * left_impurity +
                            static_cast<double>(n_right) / n * right_impurity);
}

// The class vocabulary of a target column and every row's position in it.
struct ClassVocabulary {
  std::vector<double> labels;       // distinct targets, ascending in IEEE-754 total order
  std::vector<ClassIndex> classes;  // per row
};
ClassVocabulary build_class_vocabulary(std::span<const double> targets);

// Class counts of `rows`, read through the per-row class array.
std::vector<std::uint64_t> class_counts(std::span<const RowIndex> rows,
                                        std::span<const ClassIndex> class_of_row,
                                        std::size_t class_count);

// The largest count, the lowest class index among equal counts.
std::uint64_t majority_class(std::span<const std::uint64_t> counts);

// Everything a builder reads, resolved once per tree: the binned columns as raw storage, the
// per-feature flags, the class of every row, the settings and the pool.
struct TreeContext {
  const data::TableAccess* table = nullptr;
  std::vector<data::BinnedColumnView> columns;  // every binned feature
  std::vector<std::uint8_t> binary;             // is_binary_binned_feature per binned feature
  std::vector<std::uint8_t> canary;             // is_canary_binned_feature per binned feature
  std::vector<ClassIndex> class_of_row;
  std::size_t class_count = 0;
  std::size_t bins_per_feature = 0;
  TreeType tree_type = TreeType::Cart;
  Criterion criterion = Criterion::Gini;
  DecisionTreeOptions options;
  platform::ThreadPool* pool = nullptr;
  // Jobs estimated below this much work (in rough nanoseconds) run inline: handing a job to
  // the pool wakes its workers, which takes tens of microseconds. Only the schedule depends on
  // it, never a result.
  std::size_t min_parallel_work = std::size_t{1} << 18;

  static TreeContext create(const data::TableAccess& table, std::vector<ClassIndex> class_of_row,
                            std::size_t class_count, TreeType tree_type, Criterion criterion,
                            const DecisionTreeOptions& options, platform::ThreadPool* pool);

  std::size_t feature_count() const { return columns.size(); }

  // The leaf rules a node checks before looking at any feature: no rows, the depth limit,
  // too few rows to split, or a single class.
  bool stops_before_scoring(std::uint64_t n, std::uint64_t depth,
                            std::span<const std::uint64_t> counts) const;

  // The node's candidate features: all, or the seeded sample of the node's rows and depth.
  std::vector<std::uint64_t> node_candidates(std::uint64_t depth,
                                             std::span<const RowIndex> rows) const;

  // The pool for a job of about `work` nanoseconds, or none for a small one.
  platform::ThreadPool* pool_for(std::size_t work) const;

  // Rough costs, in nanoseconds, of the per-feature steps the builders hand to the pool.
  static constexpr std::size_t kCountCost = 1;  // counting one row into one feature
  static constexpr std::size_t kScoreCost = 3;  // one bin and class of a threshold walk

  // classes[i] = class of rows[i], for counting histograms over a slice.
  void gather_classes(std::span<const RowIndex> rows, std::span<ClassIndex> classes) const;
};

// The rows of every slice of the row buffer again, ascending within the slice, with their
// classes. The buffer's own order is part of the growth rules (node seeds, random thresholds)
// and is scrambled by partitioning; histograms do not depend on order, and counting them over
// ascending rows walks each column front to back instead of jumping around it.
class AscendingRows {
 public:
  // `rows` is the row buffer before any partitioning (ascending, as all_rows gives it).
  AscendingRows(std::span<const RowIndex> rows, std::span<const ClassIndex> class_of_row);

  std::span<const RowIndex> rows(std::size_t begin, std::size_t n) const {
    return std::span<const RowIndex>(rows_).subspan(begin, n);
  }
  std::span<const ClassIndex> classes(std::size_t begin, std::size_t n) const {
    return std::span<const ClassIndex>(classes_).subspan(begin, n);
  }

  // Splits the slice [begin, begin + n) by the partition rule (bin <= threshold_bin goes
  // left), as the row buffer's slice was split; `n_left` is the left size the buffer got.
  // Both halves stay ascending.
  void follow_partition(const data::BinnedColumnView& column, std::uint16_t threshold_bin,
                        std::size_t begin, std::size_t n, std::size_t n_left);

 private:
  std::vector<RowIndex> rows_;
  std::vector<ClassIndex> classes_;
  std::vector<std::uint8_t> goes_left_;  // by position
  std::vector<RowIndex> spill_rows_;
  std::vector<ClassIndex> spill_classes_;
};

}  // namespace arborvane::core::classification
