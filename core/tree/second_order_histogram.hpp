#pragma once

// Per-bin gradient histograms of second-order trees: the flat histogram of every binned
// feature of a node, counting rows into it and deriving a child by subtraction.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/tree/second_order_bins.hpp"
#include "core/tree/second_order_split.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core::second_order {

// Where each feature's bins live in one flat array.
class HistogramLayout {
 public:
  explicit HistogramLayout(std::span<const FeatureInfo> features);

  std::size_t feature_count() const { return offsets_.size() - 1; }
  std::size_t total_bins() const { return offsets_.back(); }
  std::size_t offset(std::size_t feature) const { return offsets_[feature]; }
  std::size_t bins(std::size_t feature) const { return offsets_[feature + 1] - offsets_[feature]; }

 private:
  std::vector<std::size_t> offsets_{0};
};

// The histograms of every binned feature for the rows of one node.
class Histograms {
 public:
  explicit Histograms(const HistogramLayout& layout)
      : layout_(&layout), bins_(layout.total_bins()) {}

  const HistogramLayout& layout() const { return *layout_; }
  std::span<const GradientBin> feature(std::size_t f) const {
    return std::span<const GradientBin>(bins_).subspan(layout_->offset(f), layout_->bins(f));
  }
  std::span<GradientBin> feature(std::size_t f) {
    return std::span<GradientBin>(bins_).subspan(layout_->offset(f), layout_->bins(f));
  }
  GradientBin* data() { return bins_.data(); }

 private:
  const HistogramLayout* layout_;
  std::vector<GradientBin> bins_;
};

// Counts `rows` (row i carrying `pairs[i]`) into the histograms of `features`, overwriting
// them; other features' histograms are left alone. Every feature is summed in row order by a
// single task, so the sums never depend on the pool.
void count_histograms(const PackedBins& bins, std::span<const std::uint64_t> features,
                      std::span<const RowIndex> rows, std::span<const GradientPair> pairs,
                      Histograms& out, platform::ThreadPool* pool);

// parent -= child, bin by bin: the histograms of the parent's other rows.
void subtract_histograms(Histograms& parent, const Histograms& child, platform::ThreadPool* pool);

}  // namespace arborvane::core::second_order
