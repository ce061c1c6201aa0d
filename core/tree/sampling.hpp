#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace arborvane::core {

// Rows of the table a learner sees, as positions into that table. 32 bits keep the row buffer
// and its gathers compact; learners refuse tables beyond that (an invariant, not a user error).
using RowIndex = std::uint32_t;

namespace seed_salt {
inline constexpr std::uint64_t kRegressionNode = 0xA11CE5E1ULL;
inline constexpr std::uint64_t kClassificationNode = 0xC1A55EEDULL;
inline constexpr std::uint64_t kObliviousLevel = 0xB11A10CULL;
inline constexpr std::uint64_t kRegressionThreshold = 0xA11CE551ULL;
inline constexpr std::uint64_t kClassificationThreshold = 0xC1A551F1ULL;
}  // namespace seed_salt

// The first k of a seeded shuffle of 0..count-1, or all of them in order when k >= count.
std::vector<std::uint64_t> sample_feature_subset(std::uint64_t count, std::uint64_t k,
                                                 std::uint64_t seed);

// Seed of a node's feature sample: mixes the depth, the training seed, the learner's salt and
// the node's rows in their current buffer order.
std::uint64_t node_seed(std::uint64_t depth, std::uint64_t seed, std::uint64_t salt,
                        std::span<const RowIndex> rows);

// Seed of an oblivious level's feature sample.
std::uint64_t level_seed(std::uint64_t level, std::uint64_t seed);

// Candidate features of a node: all binned features in order, or a seeded sample of them.
std::vector<std::uint64_t> candidate_features(std::uint64_t binned_feature_count,
                                              std::optional<std::uint64_t> max_features,
                                              std::uint64_t sample_seed);

// A threshold drawn from the ascending candidate bins; depends only on the feature and the
// node's rows (in buffer order), never on the training seed.
std::optional<std::uint16_t> choose_random_threshold(std::span<const std::uint16_t> candidates,
                                                     std::uint64_t feature_index,
                                                     std::span<const RowIndex> rows,
                                                     std::uint64_t salt);

}  // namespace arborvane::core
