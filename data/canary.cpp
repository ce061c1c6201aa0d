#include "data/canary.hpp"

#include <span>
#include <vector>

#include "platform/rng.hpp"

namespace arborvane::data {

std::uint64_t canary_seed(std::uint64_t source_index, std::uint64_t copy_index,
                          std::uint64_t n_rows) {
  return source_index ^ (copy_index << 32) ^ 0xA11CE5EEDULL ^ (n_rows << 16);
}

namespace {

template <class T>
std::vector<T> shuffled(std::vector<T> values, std::uint64_t seed) {
  platform::ChaCha12Rng rng(seed);
  rng.shuffle(std::span<T>(values));
  return values;
}

// Booleans are shuffled one byte each: a permutation of a bit-packed array would cost a
// read-modify-write per swap for nothing.
std::vector<std::uint8_t> expand_bits(const BitVector& bits) {
  std::vector<std::uint8_t> bytes(bits.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = bits.get(i) ? 1 : 0;
  return bytes;
}

}  // namespace

BinnedFeatureColumn shuffle_canary_column(const BinnedFeatureColumn& binned_column,
                                          std::uint64_t copy_index, std::uint64_t source_index) {
  const std::uint64_t seed = canary_seed(source_index, copy_index, binned_column.size());
  BinnedFeatureColumn canary;
  canary.kind = binned_column.kind;
  switch (binned_column.kind) {
    case BinnedFeatureColumn::Kind::U8:
      canary.u8 = shuffled(binned_column.u8, seed);
      break;
    case BinnedFeatureColumn::Kind::U16:
      canary.u16 = shuffled(binned_column.u16, seed);
      break;
    case BinnedFeatureColumn::Kind::Binary: {
      const std::vector<std::uint8_t> bytes = shuffled(expand_bits(binned_column.bits), seed);
      canary.bits = BitVector(bytes.size());
      for (std::size_t i = 0; i < bytes.size(); ++i) canary.bits.set(i, bytes[i] != 0);
      break;
    }
  }
  return canary;
}

SparseBinaryColumn shuffle_sparse_binary_column(const SparseBinaryColumn& column,
                                                std::uint64_t n_rows, std::uint64_t copy_index,
                                                std::uint64_t source_index) {
  std::vector<std::uint8_t> bytes(n_rows, 0);
  for (const std::uint64_t row : column.positions) bytes[row] = 1;
  bytes = shuffled(std::move(bytes), canary_seed(source_index, copy_index, n_rows));
  SparseBinaryColumn canary;
  canary.positions.reserve(column.positions.size());
  for (std::uint64_t row = 0; row < n_rows; ++row) {
    if (bytes[row] != 0) canary.positions.push_back(row);
  }
  return canary;
}

}  // namespace arborvane::data
