#pragma once

#include <cstdint>

#include "data/columns.hpp"

namespace arborvane::data {

// Seed of the shuffle that makes canary copy `copy_index` of feature `source_index` over
// `n_rows` rows. Canaries depend only on the data, never on the training seed.
std::uint64_t canary_seed(std::uint64_t source_index, std::uint64_t copy_index,
                          std::uint64_t n_rows);

// A seeded permutation of the column's values, of the same kind (U8, U16 or Binary).
BinnedFeatureColumn shuffle_canary_column(const BinnedFeatureColumn& binned_column,
                                          std::uint64_t copy_index, std::uint64_t source_index);

// The same permutation applied to the expanded booleans of a sparse column.
SparseBinaryColumn shuffle_sparse_binary_column(const SparseBinaryColumn& column,
                                                std::uint64_t n_rows, std::uint64_t copy_index,
                                                std::uint64_t source_index);

}  // namespace arborvane::data
