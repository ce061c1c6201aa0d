#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/tree/sampling.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core::classification {

// Class index of a row. Class counts of one node fit 32 bits because row buffers do.
using ClassIndex = std::uint32_t;
using BinCount = std::uint32_t;

// Class counts per bin for every binned feature, for the rows of one node, in one flat array:
// feature f owns `bins_per_feature` bins of `class_count` counts each (bin-major). A binary
// feature uses bins 0 (false) and 1 (true). Each feature also keeps its observed bins (bins
// holding at least one row), ascending.
class NodeHistograms {
 public:
  NodeHistograms(std::size_t feature_count, std::size_t bins_per_feature, std::size_t class_count);

  std::size_t feature_count() const { return observed_sizes_.size(); }
  std::size_t bins_per_feature() const { return bins_per_feature_; }
  std::size_t class_count() const { return class_count_; }

  // The counts of bin `bin` of feature `f`, one per class.
  const BinCount* bin_counts(std::size_t f, std::size_t bin) const {
    return counts_.data() + (f * bins_per_feature_ + bin) * class_count_;
  }
  std::uint64_t bin_total(std::size_t f, std::size_t bin) const;
  std::span<const std::uint16_t> observed_bins(std::size_t f) const {
    return {observed_.data() + f * bins_per_feature_, observed_sizes_[f]};
  }

  // Overwrites feature f with the counts of `rows`; `classes[i]` is the class of `rows[i]`.
  void count_feature(std::size_t f, const data::BinnedColumnView& column,
                     std::span<const RowIndex> rows, std::span<const ClassIndex> classes);

  // Overwrites features first .. first + columns.size() - 1 with the counts of `rows`, from
  // their resolved columns, in one pass over the rows where the layouts allow it.
  void count_features(std::size_t first, std::span<const data::BinnedColumnView> columns,
                      std::span<const RowIndex> rows, std::span<const ClassIndex> classes);

  // Feature f of this node minus feature f of `part`, a subset of its rows.
  void subtract_feature(std::size_t f, const NodeHistograms& part);

  // Same shape, counts and observed bins (what lies past a feature's observed bins is scratch).
  friend bool operator==(const NodeHistograms& a, const NodeHistograms& b);

 private:
  // Whether counting `rows` rows touches so few bins that finding the observed ones while
  // counting beats scanning all bins afterwards.
  bool few_rows(std::size_t rows) const { return rows * 4 < bins_per_feature_; }
  // Zeroes feature f. Counts outside a feature's observed bins are always zero.
  void clear_feature(std::size_t f);
  void refresh_observed(std::size_t f);

  std::size_t bins_per_feature_ = 0;
  std::size_t class_count_ = 0;
  std::vector<BinCount> counts_;
  std::vector<std::uint16_t> observed_;
  std::vector<std::uint32_t> observed_sizes_;
};

// Bins a histogram gives every feature of `table`: the numeric bin cap, and at least the two
// bins of a binary feature.
std::size_t histogram_bins_per_feature(const data::TableAccess& table);

// Counts every binned feature (`columns` holds all of them, resolved) over `rows` into `out`,
// one feature per task, so the counts never depend on the pool.
void build_classification_node_histograms(std::span<const data::BinnedColumnView> columns,
                                          std::span<const RowIndex> rows,
                                          std::span<const ClassIndex> classes,
                                          NodeHistograms& out, platform::ThreadPool* pool);

// parent -= part for every feature: what is left is the histogram of the parent's other rows.
void subtract_classification_histograms(NodeHistograms& parent, const NodeHistograms& part,
                                        platform::ThreadPool* pool);

}  // namespace arborvane::core::classification
