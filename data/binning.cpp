#include "data/binning.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <numeric>

#include "platform/total_order.hpp"

namespace arborvane::data {

bool operator==(const NumericBinBoundary& a, const NumericBinBoundary& b) {
  return a.bin == b.bin &&
         std::bit_cast<std::uint64_t>(a.upper_bound) == std::bit_cast<std::uint64_t>(b.upper_bound);
}

namespace {

using platform::total_order_key;

// Row positions sorted by total-order key, equal keys in row order. LSD radix sort over
// bytes: stable by construction, and byte positions where all keys agree are skipped.
template <class Index>
void sort_rows_by_key(std::span<const double> values, std::vector<std::uint64_t>& keys,
                      std::vector<Index>& rows) {
  const std::size_t n = values.size();
  keys.resize(n);
  rows.resize(n);
  if (n == 0) return;
  std::array<std::array<std::size_t, 256>, 8> counts{};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = total_order_key(values[i]);
    keys[i] = key;
    rows[i] = static_cast<Index>(i);
    for (int pass = 0; pass < 8; ++pass) ++counts[pass][(key >> (8 * pass)) & 0xFF];
  }
  std::vector<std::uint64_t> keys_out(n);
  std::vector<Index> rows_out(n);
  for (int pass = 0; pass < 8; ++pass) {
    auto& count = counts[pass];
    const int shift = 8 * pass;
    if (count[(keys[0] >> shift) & 0xFF] == n) continue;  // every key has this byte
    std::size_t offset = 0;
    for (std::size_t& c : count) {
      const std::size_t here = c;
      c = offset;
      offset += here;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t slot = count[(keys[i] >> shift) & 0xFF]++;
      keys_out[slot] = keys[i];
      rows_out[slot] = rows[i];
    }
    keys.swap(keys_out);
    rows.swap(rows_out);
  }
}

// Chooses the bin of each group of equal values along the sorted order.
class GroupBinner {
 public:
  GroupBinner(std::uint64_t n, std::uint64_t distinct, NumericBins bins) : n_(n), distinct_(distinct) {
    if (bins.kind == NumericBins::Kind::Auto) {
      const std::uint64_t m =
          std::min({distinct, std::max<std::uint64_t>(1, n / 2), NumericBins::kAutoCap});
      auto_bins_ = m < 2 ? 1 : std::bit_floor(m);
    } else {
      const std::uint64_t b = std::max<std::uint64_t>(1, std::min(bins.count, distinct));
      // More than 65536 bins cannot be numbered in 16 bits: keep the most that can.
      fixed_top_ = std::min<std::uint64_t>(b - 1, std::numeric_limits<std::uint16_t>::max());
      fixed_ = true;
    }
  }

  // `first_position`: sorted position of the group's first element; `group`: its number.
  std::uint16_t bin(std::uint64_t first_position, std::uint64_t group) const {
    if (!fixed_) return static_cast<std::uint16_t>(first_position * auto_bins_ / n_);
    if (distinct_ == 1) return 0;
    return static_cast<std::uint16_t>(group * fixed_top_ / (distinct_ - 1));
  }

 private:
  std::uint64_t n_;
  std::uint64_t distinct_;
  bool fixed_ = false;
  std::uint64_t auto_bins_ = 1;
  std::uint64_t fixed_top_ = 0;
};

std::uint64_t count_groups(const std::vector<std::uint64_t>& sorted_keys) {
  std::uint64_t groups = sorted_keys.empty() ? 0 : 1;
  for (std::size_t i = 1; i < sorted_keys.size(); ++i) groups += sorted_keys[i] != sorted_keys[i - 1];
  return groups;
}

template <class Index>
NumericBinning bin_sorted(std::span<const double> values, NumericBins bins, bool want_column) {
  std::vector<std::uint64_t> keys;
  std::vector<Index> rows;
  sort_rows_by_key(values, keys, rows);
  const std::uint64_t n = values.size();
  const GroupBinner binner(n, count_groups(keys), bins);

  NumericBinning result;
  std::vector<std::uint16_t> row_bins;
  if (want_column) row_bins.resize(n);
  std::uint16_t max_bin = 0;
  std::uint64_t group = 0;
  for (std::size_t start = 0; start < n; ++group) {
    std::size_t end = start + 1;
    while (end < n && keys[end] == keys[start]) ++end;
    const std::uint16_t bin = binner.bin(start, group);
    const double value = values[rows[start]];
    if (!result.boundaries.empty() && result.boundaries.back().bin == bin) {
      result.boundaries.back().upper_bound = value;
    } else {
      result.boundaries.push_back({bin, value});
    }
    if (want_column) {
      for (std::size_t i = start; i < end; ++i) row_bins[rows[i]] = bin;
    }
    max_bin = std::max(max_bin, bin);
    start = end;
  }
  if (!want_column) return result;

  if (max_bin > std::numeric_limits<std::uint8_t>::max()) {
    result.column.kind = BinnedFeatureColumn::Kind::U16;
    result.column.u16 = std::move(row_bins);
  } else {
    result.column.kind = BinnedFeatureColumn::Kind::U8;
    result.column.u8.assign(row_bins.begin(), row_bins.end());
  }
  return result;
}

NumericBinning bin_values(std::span<const double> values, NumericBins bins, bool want_column) {
  if (values.size() <= std::numeric_limits<std::uint32_t>::max()) {
    return bin_sorted<std::uint32_t>(values, bins, want_column);
  }
  return bin_sorted<std::uint64_t>(values, bins, want_column);
}

bool all_binary(std::span<const double> values) {
  return std::all_of(values.begin(), values.end(), is_binary_value);
}

BinnedFeatureColumn binary_column(std::span<const double> values) {
  BinnedFeatureColumn column;
  column.kind = BinnedFeatureColumn::Kind::Binary;
  column.bits = BitVector(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) column.bits.set(i, values[i] == 1.0);
  return column;
}

}  // namespace

BinnedFeatureColumn build_binned_feature_column(std::span<const double> values, NumericBins bins) {
  if (all_binary(values)) return binary_column(values);
  return bin_values(values, bins, true).column;
}

std::vector<NumericBinBoundary> numeric_bin_boundaries(std::span<const double> values,
                                                       NumericBins bins) {
  return bin_values(values, bins, false).boundaries;
}

NumericBinning bin_numeric_column(std::span<const double> values, NumericBins bins) {
  return bin_values(values, bins, true);
}

}  // namespace arborvane::data
