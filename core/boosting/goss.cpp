#include "core/boosting/goss.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "platform/check.hpp"
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

// Stable least-significant-digit radix sort of the items by their high key bits. Every
// digit's counts come from one read; a digit all items share is skipped.
void sort_by_high_key(std::vector<std::uint64_t>& items) {
  std::vector<std::array<std::size_t, kBuckets>> counts(kKeyPasses);
  for (auto& digit : counts) digit.fill(0);
  for (const std::uint64_t item : items) {
    const std::uint32_t key = high_key(item);
    for (unsigned pass = 0; pass < kKeyPasses; ++pass) {
      ++counts[pass][(key >> (pass * kDigitBits)) & (kBuckets - 1)];
    }
  }
  std::vector<std::uint64_t> scratch(items.size());
  for (unsigned pass = 0; pass < kKeyPasses; ++pass) {
    std::array<std::size_t, kBuckets>& offsets = counts[pass];
    if (std::find(offsets.begin(), offsets.end(), items.size()) != offsets.end()) continue;
    std::size_t position = 0;
    for (std::size_t& count : offsets) position += std::exchange(count, position);
    const unsigned shift = pass * kDigitBits;
    for (const std::uint64_t item : items) {
      scratch[offsets[(high_key(item) >> shift) & (kBuckets - 1)]++] = item;
    }
    items.swap(scratch);
  }
}

// Items sharing their high key bits are in row order; put each such run in full key order,
// keeping row order among equal keys. Runs are short unless many gradients are equal, and
// then they are usually in order already.
void order_runs_by_full_key(std::vector<std::uint64_t>& items, std::span<const double> gradients) {
  auto before = [&](std::uint64_t a, std::uint64_t b) {
    const std::uint64_t key_a = descending_key(gradients[item_row(a)]);
    const std::uint64_t key_b = descending_key(gradients[item_row(b)]);
    return key_a != key_b ? key_a < key_b : item_row(a) < item_row(b);
  };
  std::size_t begin = 0;
  while (begin < items.size()) {
    std::size_t end = begin + 1;
    while (end < items.size() && high_key(items[end]) == high_key(items[begin])) ++end;
    if (end - begin > 1 && !std::is_sorted(items.begin() + begin, items.begin() + end, before)) {
      std::sort(items.begin() + begin, items.begin() + end, before);
    }
    begin = end;
  }
}

// The candidates ascending by row (a counting sort: bootstrap draws arrive in draw order).
std::vector<std::uint64_t> ascending_rows(std::span<const std::uint64_t> candidates,
                                          std::size_t row_count) {
  std::vector<std::uint64_t> rows(candidates.begin(), candidates.end());
  if (std::is_sorted(rows.begin(), rows.end())) return rows;
  std::vector<std::size_t> starts(row_count + 1, 0);
  for (const std::uint64_t row : candidates) ++starts[row + 1];
  std::partial_sum(starts.begin(), starts.end(), starts.begin());
  for (const std::uint64_t row : candidates) rows[starts[row]++] = row;
  return rows;
}

}  // namespace

std::vector<std::uint64_t> order_by_absolute_gradient(std::span<const std::uint64_t> candidates,
                                                      std::span<const double> gradients) {
  AV_CHECK(gradients.size() <= std::numeric_limits<std::uint32_t>::max(),
           "row count fits the sampling order");
  for (const std::uint64_t row : candidates) {
    AV_CHECK(row < gradients.size(), "candidate row within the gradients");
  }
  // Radix sorting is stable: rows ascending first, then by key.
  const std::vector<std::uint64_t> rows = ascending_rows(candidates, gradients.size());
  std::vector<std::uint64_t> items(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    items[i] = (descending_key(gradients[rows[i]]) & ~std::uint64_t{0xFFFFFFFF}) | rows[i];
  }
  sort_by_high_key(items);
  order_runs_by_full_key(items, gradients);

  std::vector<std::uint64_t> ordered(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) ordered[i] = item_row(items[i]);
  return ordered;
}

GossSample select_goss_rows(std::span<const std::uint64_t> candidates,
                            std::span<const double> gradients, GossFractions fractions,
                            std::uint64_t tree_seed) {
  std::vector<std::uint64_t> ordered = order_by_absolute_gradient(candidates, gradients);
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
  ordered.resize(top_count + other_count);
  sample.rows = std::move(ordered);
  return sample;
}

}  // namespace arborvane::core
