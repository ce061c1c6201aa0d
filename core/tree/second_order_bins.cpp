#include "core/tree/second_order_bins.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "core/tree/learner.hpp"
#include "platform/check.hpp"

namespace arborvane::core::second_order {

namespace {

using Layout = data::BinnedColumnView::Layout;

// Rows per packing task: a task's destination records stay in cache while every feature is
// written into them.
constexpr std::size_t kPackChunk = 1024;
// Below this many cells packing runs on the calling thread.
constexpr std::size_t kParallelCells = std::size_t{1} << 18;

const char* overflow_text(bool binary) {
  return binary ? "binary feature must expose boolean values"
                : "numeric bins stay below numeric_bin_cap";
}

// The table's rows ordered by the storage row they read, with those storage rows: packing
// then streams through every column instead of jumping around it.
struct StorageOrder {
  std::vector<RowIndex> rows;
  std::vector<std::uint64_t> storage;  // ascending
};

StorageOrder storage_order(const std::uint64_t* mapping, std::size_t n) {
  StorageOrder order{std::vector<RowIndex>(n), std::vector<std::uint64_t>(n)};
  if (mapping == nullptr) {
    std::iota(order.rows.begin(), order.rows.end(), RowIndex{0});
    std::iota(order.storage.begin(), order.storage.end(), std::uint64_t{0});
    return order;
  }
  const std::uint64_t largest = n == 0 ? 0 : *std::max_element(mapping, mapping + n);
  if (largest > 4 * std::uint64_t{n} + 1024) {
    // A few rows of a huge table: sorting beats counting over the whole range.
    std::iota(order.rows.begin(), order.rows.end(), RowIndex{0});
    std::stable_sort(order.rows.begin(), order.rows.end(),
                     [mapping](RowIndex a, RowIndex b) { return mapping[a] < mapping[b]; });
  } else {
    std::vector<std::size_t> starts(static_cast<std::size_t>(largest) + 2, 0);
    for (std::size_t r = 0; r < n; ++r) ++starts[mapping[r] + 1];
    std::partial_sum(starts.begin(), starts.end(), starts.begin());
    for (std::size_t r = 0; r < n; ++r) order.rows[starts[mapping[r]]++] = static_cast<RowIndex>(r);
  }
  for (std::size_t k = 0; k < n; ++k) order.storage[k] = mapping[order.rows[k]];
  return order;
}

// Reads ahead of the column stream: a chunk touches each column only briefly, too briefly for
// the hardware to pick the stream up on its own.
constexpr std::size_t kReadAhead = 64;

// Writes feature `f` of the rows `rows` (reading the ascending storage rows `storage`) into
// their records and returns the largest bin written.
template <class Bin>
std::uint16_t pack_feature(const data::BinnedColumnView& view, std::span<const RowIndex> rows,
                           std::span<const std::uint64_t> storage, std::size_t f,
                           std::size_t stride, Bin* out) {
  std::uint16_t largest = 0;
  const std::size_t n = rows.size();
  auto put = [&](std::size_t k, std::uint16_t bin) {
    out[std::size_t{rows[k]} * stride + f] = static_cast<Bin>(bin);
    largest = std::max(largest, bin);
  };
  auto stream = [&](const auto* values) {
    for (std::size_t k = 0; k < n; ++k) {
      if (k + kReadAhead < n) __builtin_prefetch(values + storage[k + kReadAhead]);
      put(k, values[storage[k]]);
    }
  };
  switch (view.layout) {
    case Layout::U8:
      stream(view.u8);
      return largest;
    case Layout::U16:
      stream(view.u16);
      return largest;
    case Layout::Bits:
      for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t at = storage[k];
        put(k, static_cast<std::uint16_t>((view.bits[at >> 6] >> (at & 63)) & 1U));
      }
      return largest;
    case Layout::Sparse: {
      // Storage rows ascend, so one cursor walks the positions alongside them.
      const std::span<const std::uint64_t> positions = view.positions;
      std::size_t cursor = 0;
      if (n > 0) {
        cursor = static_cast<std::size_t>(
            std::lower_bound(positions.begin(), positions.end(), storage[0]) - positions.begin());
      }
      for (std::size_t k = 0; k < n; ++k) {
        while (cursor < positions.size() && positions[cursor] < storage[k]) ++cursor;
        put(k, cursor < positions.size() && positions[cursor] == storage[k] ? 1 : 0);
      }
      return largest;
    }
  }
  internal_failure("unknown binned column layout");
}

// Columns with different row mappings (never the case for a table or a sampling view): each
// feature through the generic per-row reader.
template <class Bin>
void pack_by_feature(std::span<const data::BinnedColumnView> views, std::size_t n, Bin* out,
                     std::span<std::uint16_t> largest, platform::ThreadPool* pool) {
  std::vector<RowIndex> rows(n);
  std::iota(rows.begin(), rows.end(), RowIndex{0});
  const std::size_t stride = views.size();
  platform::parallel_for(n * stride >= kParallelCells ? pool : nullptr, stride,
                         [&](std::size_t f) {
                           std::uint16_t most = 0;
                           for_each_bin(views[f], rows, [&](std::size_t i, std::uint16_t bin) {
                             out[i * stride + f] = static_cast<Bin>(bin);
                             most = std::max(most, bin);
                           });
                           largest[f] = most;
                         });
}

template <class Bin>
void pack_in_storage_order(std::span<const data::BinnedColumnView> views, std::size_t n,
                           Bin* out, std::span<std::uint16_t> largest,
                           platform::ThreadPool* pool) {
  const std::size_t stride = views.size();
  const StorageOrder order = storage_order(views.front().rows, n);
  const std::size_t chunks = (n + kPackChunk - 1) / kPackChunk;
  std::vector<std::uint16_t> chunk_largest(chunks * stride, 0);
  platform::parallel_for(n * stride >= kParallelCells ? pool : nullptr, chunks,
                         [&](std::size_t chunk) {
                           const std::size_t begin = chunk * kPackChunk;
                           const std::size_t size = std::min(kPackChunk, n - begin);
                           const auto rows =
                               std::span<const RowIndex>(order.rows).subspan(begin, size);
                           const auto storage =
                               std::span<const std::uint64_t>(order.storage).subspan(begin, size);
                           for (std::size_t f = 0; f < stride; ++f) {
                             chunk_largest[chunk * stride + f] =
                                 pack_feature(views[f], rows, storage, f, stride, out);
                           }
                         });
  for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
    for (std::size_t f = 0; f < stride; ++f) {
      largest[f] = std::max(largest[f], chunk_largest[chunk * stride + f]);
    }
  }
}

}  // namespace

std::vector<FeatureInfo> describe_features(const data::TableAccess& table) {
  const std::uint64_t count = table.binned_feature_count();
  const std::uint64_t cap = table.numeric_bin_cap();
  std::vector<FeatureInfo> features(count);
  for (std::uint64_t f = 0; f < count; ++f) {
    features[f].binary = table.is_binary_binned_feature(f);
    features[f].canary = table.is_canary_binned_feature(f);
    features[f].slots = features[f].binary ? 2 : cap;
    if (features[f].binary && table.n_rows() > 0) {
      AV_CHECK(table.binned_boolean_value(f, 0).has_value(),
               "binary feature must expose boolean values");
    }
  }
  return features;
}

PackedBins PackedBins::pack(const data::TableAccess& table, std::span<const FeatureInfo> features,
                            platform::ThreadPool* pool) {
  const std::uint64_t n = table.n_rows();
  AV_CHECK(n <= std::numeric_limits<RowIndex>::max(), "row count fits the row buffer");
  const std::size_t stride = features.size();
  std::vector<data::BinnedColumnView> views;
  views.reserve(stride);
  bool wide = false;
  bool shared_mapping = true;
  for (std::size_t f = 0; f < stride; ++f) {
    views.push_back(table.binned_column_view(f));
    wide = wide || views.back().layout == Layout::U16;
    shared_mapping = shared_mapping && views.back().rows == views.front().rows;
  }

  PackedBins packed;
  packed.stride_ = stride;
  if (stride == 0) return packed;
  std::vector<std::uint16_t> largest(stride, 0);
  auto fill = [&](auto* out) {
    if (shared_mapping) {
      pack_in_storage_order(std::span<const data::BinnedColumnView>(views), n, out, largest, pool);
    } else {
      pack_by_feature(std::span<const data::BinnedColumnView>(views), n, out, largest, pool);
    }
  };
  if (wide) {
    packed.wide_.resize(n * stride);
    fill(packed.wide_.data());
  } else {
    packed.narrow_.resize(n * stride);
    fill(packed.narrow_.data());
  }
  for (std::size_t f = 0; f < stride; ++f) {
    if (n > 0 && largest[f] >= features[f].slots) {
      internal_failure(overflow_text(features[f].binary));
    }
  }
  return packed;
}

PackedBins PackedBins::gather(const PackedBins& base, std::span<const std::uint64_t> rows,
                              platform::ThreadPool* pool) {
  const std::size_t stride = base.stride_;
  const std::size_t base_rows = base.row_count();
  AV_CHECK(rows.size() <= std::numeric_limits<RowIndex>::max(), "row count fits the row buffer");
  PackedBins packed;
  packed.stride_ = stride;
  if (stride == 0) return packed;
  auto copy = [&](const auto& from, auto& to) {
    to.resize(rows.size() * stride);
    const std::size_t chunks = (rows.size() + kPackChunk - 1) / kPackChunk;
    platform::parallel_for(rows.size() * stride >= kParallelCells ? pool : nullptr, chunks,
                           [&](std::size_t chunk) {
                             const std::size_t begin = chunk * kPackChunk;
                             const std::size_t end = std::min(rows.size(), begin + kPackChunk);
                             for (std::size_t i = begin; i < end; ++i) {
                               if (i + kReadAhead < end) {
                                 __builtin_prefetch(from.data() + rows[i + kReadAhead] * stride);
                               }
                               AV_CHECK(rows[i] < base_rows, "row within the packed table");
                               std::copy_n(from.data() + rows[i] * stride, stride,
                                           to.data() + i * stride);
                             }
                           });
  };
  if (base.wide_.empty()) {
    copy(base.narrow_, packed.narrow_);
  } else {
    copy(base.wide_, packed.wide_);
  }
  return packed;
}

}  // namespace arborvane::core::second_order
