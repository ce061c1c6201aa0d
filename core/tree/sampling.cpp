#include "core/tree/sampling.hpp"

#include <bit>
#include <numeric>

#include "platform/rng.hpp"

namespace arborvane::core {

namespace {
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
}

std::vector<std::uint64_t> sample_feature_subset(std::uint64_t count, std::uint64_t k,
                                                 std::uint64_t seed) {
  std::vector<std::uint64_t> features(count);
  std::iota(features.begin(), features.end(), std::uint64_t{0});
  if (k >= count) return features;
  platform::ChaCha12Rng rng(seed);
  rng.shuffle(std::span<std::uint64_t>(features));
  features.resize(k);
  return features;
}

std::uint64_t node_seed(std::uint64_t depth, std::uint64_t seed, std::uint64_t salt,
                        std::span<const RowIndex> rows) {
  std::uint64_t h = std::rotl(depth * kGolden, 11) ^ seed ^ salt;
  for (const RowIndex row : rows) {
    h = (h * 0xA0761D6478BD642FULL) ^ (std::uint64_t{row} + 0xE7037ED1A0B428DBULL);
  }
  return h;
}

std::uint64_t level_seed(std::uint64_t level, std::uint64_t seed) {
  return std::rotl(level * kGolden, 11) ^ (seed ^ seed_salt::kObliviousLevel);
}

std::vector<std::uint64_t> candidate_features(std::uint64_t binned_feature_count,
                                              std::optional<std::uint64_t> max_features,
                                              std::uint64_t sample_seed) {
  if (!max_features) return sample_feature_subset(binned_feature_count, binned_feature_count, 0);
  return sample_feature_subset(binned_feature_count, *max_features, sample_seed);
}

std::optional<std::uint16_t> choose_random_threshold(std::span<const std::uint16_t> candidates,
                                                     std::uint64_t feature_index,
                                                     std::span<const RowIndex> rows,
                                                     std::uint64_t salt) {
  if (candidates.empty()) return std::nullopt;
  std::uint64_t h = std::uint64_t{rows.size()} ^ ((feature_index << 32) | salt);
  for (const RowIndex row : rows) h = h * 0x5851F42D4C957F2DULL + std::uint64_t{row} + 1;
  platform::ChaCha12Rng rng(h);
  return candidates[rng.uniform_below(candidates.size())];
}

}  // namespace arborvane::core
