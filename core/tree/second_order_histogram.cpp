#include "core/tree/second_order_histogram.hpp"

#include <algorithm>

#include "platform/check.hpp"

namespace arborvane::core::second_order {

namespace {

// Below this many cell updates (a few tenths of a millisecond) waking the pool's workers costs
// more than sharing the pass saves.
constexpr std::size_t kParallelCells = std::size_t{1} << 18;

// How many rows ahead a count fetches records: a row's updates are too many for the processor
// to reach the next rows' records on its own.
constexpr std::size_t kRecordsAhead = 6;

platform::ThreadPool* pool_for(platform::ThreadPool* pool, std::size_t cells) {
  return cells >= kParallelCells ? pool : nullptr;
}

// One task's share: every row once, each of the block's features updated from the row's
// record. Features of one row go to different histograms, so their updates overlap. With
// `Contiguous` the block is the features first, first + 1, ... and needs no feature list.
template <bool Contiguous, class Bin>
void count_block(const Bin* packed, std::size_t stride, std::span<const std::uint64_t> features,
                 std::span<const std::size_t> offsets, std::span<const RowIndex> rows,
                 std::span<const GradientPair> pairs, GradientBin* histograms) {
  const std::size_t width = features.size();
  if (width == 0) return;
  const std::uint64_t* feature = features.data();
  const std::size_t* offset = offsets.data();
  // The part of a record this block reads.
  const auto [lowest, highest] = std::minmax_element(features.begin(), features.end());
  const std::size_t first = *lowest;
  const std::size_t span_bytes = (*highest - first + 1) * sizeof(Bin);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i + kRecordsAhead < rows.size()) {
      const char* ahead = reinterpret_cast<const char*>(
          packed + std::size_t{rows[i + kRecordsAhead]} * stride + first);
      for (std::size_t line = 0; line < span_bytes; line += 64) __builtin_prefetch(ahead + line);
    }
    const Bin* record = packed + std::size_t{rows[i]} * stride;
    const GradientPair pair = pairs[i];
    for (std::size_t j = 0; j < width; ++j) {
      const std::size_t bin = Contiguous ? record[first + j] : record[feature[j]];
      GradientBin& slot = histograms[offset[j] + bin];
      slot.gradient += pair.gradient;
      slot.hessian += pair.hessian;
      ++slot.count;
    }
  }
}

bool contiguous(std::span<const std::uint64_t> features) {
  for (std::size_t j = 1; j < features.size(); ++j) {
    if (features[j] != features[0] + j) return false;
  }
  return true;
}

}  // namespace

HistogramLayout::HistogramLayout(std::span<const FeatureInfo> features) {
  offsets_.reserve(features.size() + 1);
  for (const FeatureInfo& feature : features) offsets_.push_back(offsets_.back() + feature.slots);
}

void count_histograms(const PackedBins& bins, std::span<const std::uint64_t> features,
                      std::span<const RowIndex> rows, std::span<const GradientPair> pairs,
                      Histograms& out, platform::ThreadPool* pool) {
  const HistogramLayout& layout = out.layout();
  AV_CHECK(rows.size() == pairs.size(), "one gradient pair per row");
  AV_CHECK(bins.feature_count() == layout.feature_count(), "histogram shapes must match");
  std::vector<std::size_t> offsets(features.size());
  for (std::size_t j = 0; j < features.size(); ++j) {
    AV_CHECK(features[j] < layout.feature_count(), "feature index within the histograms");
    offsets[j] = layout.offset(features[j]);
    const std::span<GradientBin> histogram = out.feature(features[j]);
    std::fill(histogram.begin(), histogram.end(), GradientBin{});
  }
  // One block of features per worker: each walks the rows once.
  platform::ThreadPool* workers = pool_for(pool, rows.size() * features.size());
  const std::size_t blocks =
      std::max<std::size_t>(1, std::min(features.size(), workers ? workers->thread_count() : 1));
  platform::parallel_for(workers, blocks, [&](std::size_t b) {
    const std::size_t begin = b * features.size() / blocks;
    const std::size_t end = (b + 1) * features.size() / blocks;
    const std::span<const std::uint64_t> block = features.subspan(begin, end - begin);
    const std::span<const std::size_t> block_offsets =
        std::span<const std::size_t>(offsets).subspan(begin, end - begin);
    bins.visit([&](const auto* packed) {
      if (contiguous(block)) {
        count_block<true>(packed, bins.feature_count(), block, block_offsets, rows, pairs,
                          out.data());
      } else {
        count_block<false>(packed, bins.feature_count(), block, block_offsets, rows, pairs,
                           out.data());
      }
    });
  });
}

void subtract_histograms(Histograms& parent, const Histograms& child, platform::ThreadPool* pool) {
  AV_CHECK(&parent.layout() == &child.layout(), "histogram shapes must match");
  const HistogramLayout& layout = parent.layout();
  platform::parallel_for(pool_for(pool, layout.total_bins()), layout.feature_count(),
                         [&](std::size_t f) {
                           const std::span<GradientBin> p = parent.feature(f);
                           const std::span<const GradientBin> c = child.feature(f);
                           for (std::size_t b = 0; b < p.size(); ++b) {
                             p[b].gradient -= c[b].gradient;
                             p[b].hessian -= c[b].hessian;
                             p[b].count -= c[b].count;
                           }
                         });
}

}  // namespace arborvane::core::second_order
