#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <set>

#include "core/tree/sampling.hpp"
#include "platform/rng.hpp"

namespace arborvane::core {
namespace {

TEST(Sampling, FeatureSubsetIsAPrefixOfASeededShuffle) {
  EXPECT_EQ(sample_feature_subset(4, 4, 99), (std::vector<std::uint64_t>{0, 1, 2, 3}));
  EXPECT_EQ(sample_feature_subset(4, 9, 99), (std::vector<std::uint64_t>{0, 1, 2, 3}));
  std::vector<std::uint64_t> shuffled{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  platform::ChaCha12Rng rng(1234);
  rng.shuffle(std::span<std::uint64_t>(shuffled));
  const auto sample = sample_feature_subset(10, 3, 1234);
  EXPECT_EQ(sample, std::vector<std::uint64_t>(shuffled.begin(), shuffled.begin() + 3));
  EXPECT_EQ(sample_feature_subset(10, 3, 1234), sample);
  EXPECT_TRUE(sample_feature_subset(10, 0, 5).empty());
  EXPECT_EQ(candidate_features(3, std::nullopt, 77), (std::vector<std::uint64_t>{0, 1, 2}));
}

TEST(Sampling, NodeSeedsFoldTheRowsInBufferOrder) {
  const std::vector<RowIndex> rows{4, 1, 7};
  std::uint64_t h = std::rotl(2 * 0x9E3779B97F4A7C15ULL, 11) ^ 42 ^ 0xA11CE5E1ULL;
  for (const RowIndex r : rows) h = (h * 0xA0761D6478BD642FULL) ^ (r + 0xE7037ED1A0B428DBULL);
  EXPECT_EQ(node_seed(2, 42, seed_salt::kRegressionNode, rows), h);
  const std::vector<RowIndex> reordered{1, 4, 7};
  EXPECT_NE(node_seed(2, 42, seed_salt::kRegressionNode, reordered), h);
  EXPECT_EQ(level_seed(3, 9), std::rotl(3 * 0x9E3779B97F4A7C15ULL, 11) ^ (9 ^ 0xB11A10CULL));
}

TEST(Sampling, RandomThresholdDependsOnlyOnFeatureAndRows) {
  const std::vector<std::uint16_t> candidates{0, 3, 5, 9};
  const std::vector<RowIndex> rows{2, 0, 5};
  std::uint64_t h = 3 ^ ((std::uint64_t{6} << 32) | 0xA11CE551ULL);
  for (const RowIndex r : rows) h = h * 0x5851F42D4C957F2DULL + r + 1;
  platform::ChaCha12Rng rng(h);
  EXPECT_EQ(choose_random_threshold(candidates, 6, rows, seed_salt::kRegressionThreshold),
            candidates[rng.uniform_below(4)]);
  EXPECT_EQ(choose_random_threshold({}, 6, rows, seed_salt::kRegressionThreshold), std::nullopt);
  std::set<std::uint16_t> seen;
  for (RowIndex n = 1; n < 60; ++n) {
    std::vector<RowIndex> some(n);
    for (RowIndex i = 0; i < n; ++i) some[i] = i;
    seen.insert(*choose_random_threshold(candidates, 1, some, seed_salt::kClassificationThreshold));
  }
  EXPECT_EQ(seen.size(), candidates.size());
}

}  // namespace
}  // namespace arborvane::core
