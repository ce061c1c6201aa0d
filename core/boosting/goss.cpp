#include "core/boosting/goss.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "platform/check.hpp"
#include "platform/parallel.hpp"
#include "platform/rng.hpp"

namespace arborvane::core {

namespace {

constexpr std::uint64_t kShuffleSalt = 0x5D1781ED3ECB4F0FULL;

// Sort keys: the bits of |gradient| inverted, so ascending keys are descending magnitudes
// (non-negative doubles order like their bit patterns, NaN included).
std::uint64_t descending_key(double gradient) {
  return ~std::bit_cast<std::uint64_t>(std::fabs(gradient));
}

constexpr unsigned kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr unsigned kKeyPasses = 3;  // the 32 high key bits

// Items are (high 32 key bits << 32) | row: one word per candidate keeps the passes light.
std::uint32_t high_key(std::uint64_t item) { return static_cast<std::uint32_t>(item >> 32); }
std::uint32_t item_row(std::uint64_t item) { return static_cast<std::uint32_t>(item); }

// Items are cut into this many fixed slices for the parallel passes. Every slice keeps its own
// bucket positions, so the scatter is the same stable sort whoever runs which slice.
constexpr std::size_t kSlices = 8;
// Below this many items the passes run on the calling thread.
constexpr std::size_t kParallelItems = std::size_t{1} << 16;

std::size_t slice_begin(std::size_t slice, std::size_t n) { return slice * n / kSlices; }

using DigitCounts = std::array<std::size_t, kBuckets>;

// Stable least-significant-digit radix sort of the items by their high key bits. A digit all
// items share is skipped. Each scatter is preceded by its slices' counts over the current order.
void sort_by_high_key(std::vector<std::uint64_t>& items, std::vector<std::uint64_t>& scratch,
                      platform::ThreadPool* pool) {
  const std::size_t n = items.size();
  platform::ThreadPool* workers = n >= kParallelItems ? pool : nullptr;
  // The digits of every item, for the skipping decision: the order does not matter here.
  std::array<DigitCounts, kKeyPasses> totals{};
  for (const std::uint64_t item : items) {
    const std::uint32_t key = high_key(item);
    for (unsigned pass = 0; pass < kKeyPasses; ++pass) {
      ++totals[pass][(key >> (pass * kDigitBits)) & (kBuckets - 1)];
    }
  }
  std::vector<DigitCounts> offsets(kSlices);  // per slice, then per bucket
  scratch.resize(n);
  for (unsigned pass = 0; pass < kKeyPasses; ++pass) {
    if (std::find(totals[pass].begin(), totals[pass].end(), n) != totals[pass].end()) continue;
    const unsigned shift = pass * kDigitBits;
    platform::parallel_for(workers, kSlices, [&](std::size_t slice) {
      DigitCounts& mine = offsets[slice];
      mine.fill(0);
      for (std::size_t i = slice_begin(slice, n); i < slice_begin(slice + 1, n); ++i) {
        ++mine[(high_key(items[i]) >> shift) & (kBuckets - 1)];
      }
    });
    // Bucket by bucket, each slice's items go after the earlier slices' items of that bucket.
    std::size_t position = 0;
    for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
      for (std::size_t slice = 0; slice < kSlices; ++slice) {
        position += std::exchange(offsets[slice][bucket], position);
      }
    }
    platform::parallel_for(workers, kSlices, [&](std::size_t slice) {
      DigitCounts& next = offsets[slice];
      for (std::size_t i = slice_begin(slice, n); i < slice_begin(slice + 1, n); ++i) {
        const std::uint64_t item = items[i];
        scratch[next[(high_key(item) >> shift) & (kBuckets - 1)]++] = item;
      }
    });
    items.swap(scratch);
  }
}

// Items sharing their high key bits are in row order; put each such run in full key order,
// keeping row order among equal keys. Runs are short unless many gradients are equal, and
// then they are usually in order already. Slices start at run starts, so no run is split.
void order_runs_by_full_key(std::vector<std::uint64_t>& items, std::span<const double> gradients,
                            platform::ThreadPool* pool) {
  auto before = [&](std::uint64_t a, std::uint64_t b) {
    const std::uint64_t key_a = descending_key(gradients[item_row(a)]);
    const std::uint64_t key_b = descending_key(gradients[item_row(b)]);
    return key_a != key_b ? key_a < key_b : item_row(a) < item_row(b);
  };
  const std::size_t n = items.size();
  auto run_start_at_or_after = [&](std::size_t i) {
    while (i > 0 && i < n && high_key(items[i]) == high_key(items[i - 1])) ++i;
    return i;
  };
  platform::parallel_for(n >= kParallelItems ? pool : nullptr, kSlices, [&](std::size_t slice) {
    std::size_t begin = run_start_at_or_after(slice_begin(slice, n));
    const std::size_t stop = run_start_at_or_after(slice_begin(slice + 1, n));
    while (begin < stop) {
      std::size_t end = begin + 1;
      while (end < n && high_key(items[end]) == high_key(items[begin])) ++end;
      if (end - begin > 1 &&
          !std::is_sorted(items.begin() + begin, items.begin() + end, before)) {
        std::sort(items.begin() + begin, items.begin() + end, before);
      }
      begin = end;
    }
  });
}

// The candidates ascending by row (a counting sort: bootstrap draws arrive in draw order).
std::vector<std::uint64_t> ascending_rows(std::span<const std::uint64_t> candidates,
                                          std::size_t row_count) {
  std::vector<std::uint64_t> rows(candidates.begin(), candidates.end());
  std::vector<std::size_t> starts(row_count + 1, 0);
  for (const std::uint64_t row : candidates) ++starts[row + 1];
  std::partial_sum(starts.begin(), starts.end(), starts.begin());
  for (const std::uint64_t row : candidates) rows[starts[row]++] = row;
  return rows;
}

// buffers.ordered = the candidates in sampling order.
void order_into(std::span<const std::uint64_t> candidates, std::span<const double> gradients,
                GossBuffers& buffers, platform::ThreadPool* pool) {
  AV_CHECK(gradients.size() <= std::numeric_limits<std::uint32_t>::max(),
           "row count fits the sampling order");
  for (const std::uint64_t row : candidates) {
    AV_CHECK(row < gradients.size(), "candidate row within the gradients");
  }
  // Radix sorting is stable: rows ascending first, then by key.
  std::vector<std::uint64_t> sorted_copy;
  std::span<const std::uint64_t> rows = candidates;
  if (!std::is_sorted(candidates.begin(), candidates.end())) {
    sorted_copy = ascending_rows(candidates, gradients.size());
    rows = sorted_copy;
  }
  std::vector<std::uint64_t>& items = buffers.items;
  items.resize(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    items[i] = (descending_key(gradients[rows[i]]) & ~std::uint64_t{0xFFFFFFFF}) | rows[i];
  }
  sort_by_high_key(items, buffers.scratch, pool);
  order_runs_by_full_key(items, gradients, pool);

  buffers.ordered.resize(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) buffers.ordered[i] = item_row(items[i]);
}

}  // namespace

std::vector<std::uint64_t> order_by_absolute_gradient(std::span<const std::uint64_t> candidates,
                                                      std::span<const double> gradients) {
  GossBuffers buffers;
  order_into(candidates, gradients, buffers, nullptr);
  return std::move(buffers.ordered);
}

GossSample select_goss_rows(std::span<const std::uint64_t> candidates,
                            std::span<const double> gradients, GossFractions fractions,
                            std::uint64_t tree_seed) {
  GossBuffers buffers;
  return select_goss_rows(candidates, gradients, fractions, tree_seed, buffers, nullptr);
}

GossSample select_goss_rows(std::span<const std::uint64_t> candidates,
                            std::span<const double> gradients, GossFractions fractions,
                            std::uint64_t tree_seed, GossBuffers& buffers,
                            platform::ThreadPool* pool) {
  order_into(candidates, gradients, buffers, pool);
  std::vector<std::uint64_t>& ordered = buffers.ordered;
  const std::uint64_t n = ordered.size();
  const double top_share = std::ceil(fractions.top * static_cast<double>(n));
  const std::uint64_t top_count =
      std::min(n, std::max<std::uint64_t>(1, static_cast<std::uint64_t>(top_share)));

  GossSample sample;
  sample.top_count = top_count;
  const std::uint64_t m = n - top_count;
  std::uint64_t other_count = 0;
  if (fractions.other > 0.0 && m > 0) {
    const double other_share = std::ceil(fractions.other * static_cast<double>(m));
    other_count = std::min(static_cast<std::uint64_t>(other_share), m);
  }
  if (other_count > 0) {
    // The shuffle runs over the remaining rows in their sorted order.
    const std::span<std::uint64_t> rest = std::span<std::uint64_t>(ordered).subspan(top_count);
    platform::ChaCha12Rng rng(tree_seed ^ kShuffleSalt);
    rng.shuffle(rest);
    sample.other_weight = (1.0 - fractions.top) / fractions.other;
  }
  const auto kept = static_cast<std::ptrdiff_t>(top_count + other_count);
  sample.rows.assign(ordered.begin(), ordered.begin() + kept);
  return sample;
}

}  // namespace arborvane::core
