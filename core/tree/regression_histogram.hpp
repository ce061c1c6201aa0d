#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/tree/sampling.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {

// Target statistics of the rows of one node that fall into one bin.
struct RegressionBin {
  double sum = 0.0;
  double sum_sq = 0.0;
  std::uint64_t count = 0;

  friend bool operator==(const RegressionBin&, const RegressionBin&) = default;
};

// Where each binned feature's bins live in a flat histogram array. A numeric feature owns
// `numeric_bin_cap()` slots indexed by bin; a binary feature owns two, false then true.
class RegressionHistogramLayout {
 public:
  static RegressionHistogramLayout for_table(const data::TableAccess& table);

  std::size_t feature_count() const { return binary_.size(); }
  std::size_t total_bins() const { return offsets_.back(); }
  std::size_t offset(std::uint64_t feature) const { return offsets_[feature]; }
  std::size_t bins(std::uint64_t feature) const {
    return offsets_[feature + 1] - offsets_[feature];
  }
  bool is_binary(std::uint64_t feature) const { return binary_[feature] != 0; }

  friend bool operator==(const RegressionHistogramLayout&,
                         const RegressionHistogramLayout&) = default;

 private:
  std::vector<std::size_t> offsets_{0};
  std::vector<std::uint8_t> binary_;
};

// The histograms of every binned feature for the rows of one node, in one flat array.
class RegressionHistograms {
 public:
  explicit RegressionHistograms(const RegressionHistogramLayout& layout)
      : layout_(&layout), bins_(layout.total_bins()) {}

  const RegressionHistogramLayout& layout() const { return *layout_; }
  std::span<const RegressionBin> feature(std::uint64_t f) const {
    return std::span<const RegressionBin>(bins_).subspan(layout_->offset(f), layout_->bins(f));
  }
  std::span<RegressionBin> feature(std::uint64_t f) {
    return std::span<RegressionBin>(bins_).subspan(layout_->offset(f), layout_->bins(f));
  }

  friend bool operator==(const RegressionHistograms& a, const RegressionHistograms& b) {
    return a.layout_ == b.layout_ && a.bins_ == b.bins_;
  }

 private:
  const RegressionHistogramLayout* layout_;
  std::vector<RegressionBin> bins_;
};

// Counts the rows into `out` (overwriting it), one feature per task. `targets[i]` is the target
// of `rows[i]`; sums run in row order, so results do not depend on the pool. `columns` holds
// the resolved view of every binned feature, and every bin must fit its feature's slots.
void build_regression_histograms(std::span<const data::BinnedColumnView> columns,
                                 std::span<const RowIndex> rows, std::span<const double> targets,
                                 RegressionHistograms& out, platform::ThreadPool* pool);

// One feature's share of `build_regression_histograms`, into `out` (overwritten).
void build_regression_feature_histogram(const data::BinnedColumnView& column,
                                        std::span<const RowIndex> rows,
                                        std::span<const double> targets,
                                        std::span<RegressionBin> out);

// parent -= child, bin by bin: what is left are the histograms of the parent's other rows.
void subtract_regression_histograms(RegressionHistograms& parent,
                                    const RegressionHistograms& child,
                                    platform::ThreadPool* pool);

// The bins of a feature histogram that hold at least one row, ascending.
std::vector<std::uint16_t> observed_bins(std::span<const RegressionBin> bins);

}  // namespace arborvane::core
