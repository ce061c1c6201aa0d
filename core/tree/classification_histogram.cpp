#include "core/tree/classification_histogram.hpp"

#include <algorithm>
#include <array>

#include "core/tree/learner.hpp"
#include "platform/check.hpp"

namespace arborvane::core::classification {

NodeHistograms::NodeHistograms(std::size_t feature_count, std::size_t bins_per_feature,
                               std::size_t class_count)
    : bins_per_feature_(bins_per_feature),
      class_count_(class_count),
      counts_(feature_count * bins_per_feature * class_count, 0),
      observed_(feature_count * bins_per_feature, 0),
      observed_sizes_(feature_count, 0) {}

std::uint64_t NodeHistograms::bin_total(std::size_t f, std::size_t bin) const {
  const BinCount* counts = bin_counts(f, bin);
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < class_count_; ++k) total += counts[k];
  return total;
}

void NodeHistograms::clear_feature(std::size_t f) {
  // Only observed bins hold counts, so clearing them clears the feature: a small node does not
  // pay for every bin of the previous, perhaps larger, one.
  BinCount* block = counts_.data() + f * bins_per_feature_ * class_count_;
  for (const std::uint16_t bin : observed_bins(f)) {
    std::fill(block + bin * class_count_, block + (bin + 1) * class_count_, BinCount{0});
  }
  observed_sizes_[f] = 0;
}

void NodeHistograms::count_feature(std::size_t f, const data::BinnedColumnView& column,
                                   std::span<const RowIndex> rows,
                                   std::span<const ClassIndex> classes) {
  AV_CHECK(rows.size() == classes.size(), "one class per counted row");
  clear_feature(f);
  const std::size_t width = class_count_;
  BinCount* block = counts_.data() + f * bins_per_feature_ * width;
  const ClassIndex* cls = classes.data();
  if (few_rows(rows.size())) {
    // Note each bin as a row first reaches it instead of scanning every bin afterwards.
    std::uint16_t* observed = observed_.data() + f * bins_per_feature_;
    std::uint32_t size = 0;
    for_each_bin(column, rows, [&](std::size_t i, std::uint16_t bin) {
      BinCount* cell = block + bin * width;
      if (std::all_of(cell, cell + width, [](BinCount count) { return count == 0; })) {
        observed[size++] = bin;
      }
      ++cell[cls[i]];
    });
    std::sort(observed, observed + size);
    observed_sizes_[f] = size;
    return;
  }
  // Two classes are the common case; a constant stride lets the compiler fold the multiply.
  if (width == 2) {
    for_each_bin(column, rows,
                 [block, cls](std::size_t i, std::uint16_t bin) { ++block[bin * 2 + cls[i]]; });
  } else {
    for_each_bin(column, rows, [block, cls, width](std::size_t i, std::uint16_t bin) {
      ++block[bin * width + cls[i]];
    });
  }
  refresh_observed(f);
}

namespace {

constexpr std::size_t kGroupWidth = 4;

// Counts four byte columns in one pass over the rows: each row's position and class are read
// once for all four, and the four increments do not wait on each other.
template <std::size_t Classes, bool Mapped>
void count_byte_columns(const std::array<const std::uint8_t*, kGroupWidth>& bins,
                        const std::uint64_t* map, std::span<const RowIndex> rows,
                        const ClassIndex* cls, std::size_t class_count,
                        const std::array<BinCount*, kGroupWidth>& blocks) {
  const std::size_t stride = Classes != 0 ? Classes : class_count;
  const std::uint8_t* b0 = bins[0];
  const std::uint8_t* b1 = bins[1];
  const std::uint8_t* b2 = bins[2];
  const std::uint8_t* b3 = bins[3];
  BinCount* h0 = blocks[0];
  BinCount* h1 = blocks[1];
  BinCount* h2 = blocks[2];
  BinCount* h3 = blocks[3];
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::uint64_t at = rows[i];
    if constexpr (Mapped) at = map[at];
    const std::size_t k = cls[i];
    ++h0[b0[at] * stride + k];
    ++h1[b1[at] * stride + k];
    ++h2[b2[at] * stride + k];
    ++h3[b3[at] * stride + k];
  }
}

}  // namespace

void NodeHistograms::count_features(std::size_t first,
                                    std::span<const data::BinnedColumnView> columns,
                                    std::span<const RowIndex> rows,
                                    std::span<const ClassIndex> classes) {
  const bool byte_group =
      columns.size() == kGroupWidth && !few_rows(rows.size()) &&
      std::all_of(columns.begin(), columns.end(), [&](const data::BinnedColumnView& column) {
        return column.layout == data::BinnedColumnView::Layout::U8 &&
               column.rows == columns.front().rows;
      });
  if (!byte_group) {
    for (std::size_t j = 0; j < columns.size(); ++j) {
      count_feature(first + j, columns[j], rows, classes);
    }
    return;
  }
  AV_CHECK(rows.size() == classes.size(), "one class per counted row");
  const std::size_t cells = bins_per_feature_ * class_count_;
  std::array<const std::uint8_t*, kGroupWidth> bins{};
  std::array<BinCount*, kGroupWidth> blocks{};
  for (std::size_t j = 0; j < kGroupWidth; ++j) {
    clear_feature(first + j);
    bins[j] = columns[j].u8;
    blocks[j] = counts_.data() + (first + j) * cells;
  }
  const std::uint64_t* map = columns.front().rows;
  const ClassIndex* cls = classes.data();
  if (class_count_ == 2) {
    if (map == nullptr) {
      count_byte_columns<2, false>(bins, map, rows, cls, class_count_, blocks);
    } else {
      count_byte_columns<2, true>(bins, map, rows, cls, class_count_, blocks);
    }
  } else if (map == nullptr) {
    count_byte_columns<0, false>(bins, map, rows, cls, class_count_, blocks);
  } else {
    count_byte_columns<0, true>(bins, map, rows, cls, class_count_, blocks);
  }
  for (std::size_t j = 0; j < kGroupWidth; ++j) refresh_observed(first + j);
}

void NodeHistograms::subtract_feature(std::size_t f, const NodeHistograms& part) {
  AV_CHECK(part.bins_per_feature_ == bins_per_feature_ && part.class_count_ == class_count_ &&
               part.feature_count() == feature_count(),
           "histogram shapes must match");
  const std::size_t cells = bins_per_feature_ * class_count_;
  BinCount* mine = counts_.data() + f * cells;
  const BinCount* theirs = part.counts_.data() + f * cells;
  for (std::size_t i = 0; i < cells; ++i) mine[i] -= theirs[i];
  refresh_observed(f);
}

bool operator==(const NodeHistograms& a, const NodeHistograms& b) {
  if (a.bins_per_feature_ != b.bins_per_feature_ || a.class_count_ != b.class_count_ ||
      a.counts_ != b.counts_ || a.observed_sizes_ != b.observed_sizes_) {
    return false;
  }
  for (std::size_t f = 0; f < a.feature_count(); ++f) {
    const auto mine = a.observed_bins(f);
    const auto theirs = b.observed_bins(f);
    if (!std::equal(mine.begin(), mine.end(), theirs.begin(), theirs.end())) return false;
  }
  return true;
}

void NodeHistograms::refresh_observed(std::size_t f) {
  std::uint16_t* out = observed_.data() + f * bins_per_feature_;
  std::uint32_t size = 0;
  for (std::size_t bin = 0; bin < bins_per_feature_; ++bin) {
    if (bin_total(f, bin) != 0) out[size++] = static_cast<std::uint16_t>(bin);
  }
  observed_sizes_[f] = size;
}

std::size_t histogram_bins_per_feature(const data::TableAccess& table) {
  // Bin numbers are 16-bit, so a larger cap (a fixed bin count above that) cannot be reached.
  constexpr std::uint64_t kBinLimit = std::uint64_t{1} << 16;
  const std::uint64_t cap = std::min(table.numeric_bin_cap(), kBinLimit);
  return std::max<std::size_t>(static_cast<std::size_t>(cap), 2);
}

void build_classification_node_histograms(std::span<const data::BinnedColumnView> columns,
                                          std::span<const RowIndex> rows,
                                          std::span<const ClassIndex> classes,
                                          NodeHistograms& out, platform::ThreadPool* pool) {
  AV_CHECK(columns.size() == out.feature_count(), "one resolved column per histogram feature");
  // Each task owns a group of consecutive features.
  const std::size_t groups = (columns.size() + kGroupWidth - 1) / kGroupWidth;
  platform::parallel_for(pool, groups, [&](std::size_t g) {
    const std::size_t first = g * kGroupWidth;
    const std::size_t width = std::min(kGroupWidth, columns.size() - first);
    out.count_features(first, columns.subspan(first, width), rows, classes);
  });
}

void subtract_classification_histograms(NodeHistograms& parent, const NodeHistograms& part,
                                        platform::ThreadPool* pool) {
  AV_CHECK(part.feature_count() == parent.feature_count(), "histogram shapes must match");
  platform::parallel_for(pool, parent.feature_count(),
                         [&](std::size_t f) { parent.subtract_feature(f, part); });
}

}  // namespace arborvane::core::classification
