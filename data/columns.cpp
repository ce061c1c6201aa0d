#include "data/columns.hpp"

#include <algorithm>
#include <bit>

#include "platform/check.hpp"

namespace arborvane::data {

std::size_t BitVector::count_ones() const {
  std::size_t total = 0;
  for (const std::uint64_t word : words_) total += static_cast<std::size_t>(std::popcount(word));
  return total;
}

bool SparseBinaryColumn::contains(std::uint64_t row) const {
  return std::binary_search(positions.begin(), positions.end(), row);
}

std::size_t BinnedFeatureColumn::size() const {
  switch (kind) {
    case Kind::U8:
      return u8.size();
    case Kind::U16:
      return u16.size();
    case Kind::Binary:
      return bits.size();
  }
  internal_failure("unknown binned column kind");
}

std::uint16_t BinnedFeatureColumn::value(std::size_t row) const {
  switch (kind) {
    case Kind::U8:
      return u8[row];
    case Kind::U16:
      return u16[row];
    case Kind::Binary:
      return bits.get(row) ? 1 : 0;
  }
  internal_failure("unknown binned column kind");
}

bool is_binary_value(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return bits == std::bit_cast<std::uint64_t>(0.0) || bits == std::bit_cast<std::uint64_t>(1.0);
}

}  // namespace arborvane::data
