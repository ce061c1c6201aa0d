#pragma once

#include <bit>
#include <cstdint>

namespace arborvane::platform {

// An unsigned key whose natural order is the IEEE-754 total order of doubles
// (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN). Equal keys mean identical bits.
inline std::uint64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return (bits >> 63) != 0 ? ~bits : (bits | (std::uint64_t{1} << 63));
}

inline bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

inline bool total_order_greater(double a, double b) {
  return total_order_key(a) > total_order_key(b);
}

// Equal in the total order: the same bits (so -0.0 differs from +0.0 and NaNs by payload).
inline bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace arborvane::platform
