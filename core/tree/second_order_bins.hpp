#pragma once

// The binned features a second-order tree reads, resolved once per tree into one row-major
// matrix: a node's histograms then read each of its rows as one short contiguous record,
// whatever row mapping or column layout the table has.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/tree/sampling.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core::second_order {

struct FeatureInfo {
  bool binary = false;
  bool canary = false;
  std::size_t slots = 0;  // histogram bins: 2 for a binary feature, numeric_bin_cap otherwise
};

std::vector<FeatureInfo> describe_features(const data::TableAccess& table);

class PackedBins {
 public:
  // Row r of the table at [r * feature_count, (r + 1) * feature_count). Fails on a bin past its
  // feature's slots, so histograms can index by bin unchecked.
  static PackedBins pack(const data::TableAccess& table, std::span<const FeatureInfo> features,
                         platform::ThreadPool* pool);
  // Record i is record rows[i] of `base`: the bins of a row view over the table `base` was
  // packed from, without reading its columns again.
  static PackedBins gather(const PackedBins& base, std::span<const std::uint64_t> rows,
                           platform::ThreadPool* pool);

  std::size_t feature_count() const { return stride_; }
  std::uint16_t bin(RowIndex row, std::size_t feature) const {
    const std::size_t at = std::size_t{row} * stride_ + feature;
    return wide_.empty() ? narrow_[at] : wide_[at];
  }
  void prefetch(RowIndex row, std::size_t feature) const {
    const std::size_t at = std::size_t{row} * stride_ + feature;
    if (wide_.empty()) {
      __builtin_prefetch(narrow_.data() + at);
    } else {
      __builtin_prefetch(wide_.data() + at);
    }
  }
  // Calls f with the matrix as `const std::uint8_t*` or, when some bin needs it,
  // `const std::uint16_t*`.
  template <class F>
  decltype(auto) visit(F&& f) const {
    return wide_.empty() ? f(narrow_.data()) : f(wide_.data());
  }
  std::size_t row_count() const {
    return stride_ == 0 ? 0 : (wide_.empty() ? narrow_.size() : wide_.size()) / stride_;
  }

 private:
  std::size_t stride_ = 0;
  std::vector<std::uint8_t> narrow_;
  std::vector<std::uint16_t> wide_;
};

}  // namespace arborvane::core::second_order
