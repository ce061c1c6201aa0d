#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace arborvane::data {

// The binning setting of a table: rank bins chosen automatically (at most 128, a power of two)
// or a fixed number of bins spread over the distinct values.
struct NumericBins {
  enum class Kind : std::uint8_t { Auto, Fixed };

  Kind kind = Kind::Auto;
  std::uint64_t count = 0;  // meaningful for Fixed only

  static constexpr std::uint64_t kAutoCap = 128;

  static constexpr NumericBins automatic() { return {Kind::Auto, 0}; }
  static constexpr NumericBins fixed(std::uint64_t count) { return {Kind::Fixed, count}; }

  // Upper bound (exclusive) of every numeric bin number made with this setting.
  constexpr std::uint64_t cap() const { return kind == Kind::Auto ? kAutoCap : count; }

  friend constexpr bool operator==(const NumericBins&, const NumericBins&) = default;
};

// Bit-packed booleans, 64 to a word, least significant bit first.
class BitVector {
 public:
  BitVector() = default;
  explicit BitVector(std::size_t size) : words_((size + 63) / 64, 0), size_(size) {}

  std::size_t size() const { return size_; }
  bool get(std::size_t i) const { return (words_[i >> 6] >> (i & 63)) & 1U; }
  void set(std::size_t i, bool value) {
    const std::uint64_t mask = std::uint64_t{1} << (i & 63);
    words_[i >> 6] = value ? (words_[i >> 6] | mask) : (words_[i >> 6] & ~mask);
  }
  std::size_t count_ones() const;
  std::span<const std::uint64_t> words() const { return words_; }

  friend bool operator==(const BitVector&, const BitVector&) = default;

 private:
  std::vector<std::uint64_t> words_;
  std::size_t size_ = 0;
};

// Raw values of one real feature of a dense table.
struct FeatureColumn {
  enum class Kind : std::uint8_t { Numeric, Binary };

  Kind kind = Kind::Numeric;
  std::vector<double> values;  // Numeric
  BitVector bits;              // Binary: true for 1.0

  double value(std::size_t row) const {
    return kind == Kind::Numeric ? values[row] : (bits.get(row) ? 1.0 : 0.0);
  }
};

// Row positions holding 1 in a wholly binary feature: strictly ascending, each below n_rows.
struct SparseBinaryColumn {
  std::vector<std::uint64_t> positions;

  bool contains(std::uint64_t row) const;

  friend bool operator==(const SparseBinaryColumn&, const SparseBinaryColumn&) = default;
};

// Bins of one binned feature of a dense table: 8-bit or 16-bit rank bins for a numeric feature,
// bit-packed booleans for a binary one.
struct BinnedFeatureColumn {
  enum class Kind : std::uint8_t { U8, U16, Binary };

  Kind kind = Kind::U8;
  std::vector<std::uint8_t> u8;
  std::vector<std::uint16_t> u16;
  BitVector bits;

  std::size_t size() const;
  std::uint16_t value(std::size_t row) const;

  friend bool operator==(const BinnedFeatureColumn&, const BinnedFeatureColumn&) = default;
};

// Where a binned feature comes from: the real feature itself, or one shuffled copy of it.
struct BinnedColumnKind {
  enum class Kind : std::uint8_t { Real, Canary };

  Kind kind = Kind::Real;
  std::uint64_t source_index = 0;
  std::uint64_t copy_index = 0;  // Canary only

  static constexpr BinnedColumnKind real(std::uint64_t source) { return {Kind::Real, source, 0}; }
  static constexpr BinnedColumnKind canary(std::uint64_t source, std::uint64_t copy) {
    return {Kind::Canary, source, copy};
  }
  constexpr bool is_canary() const { return kind == Kind::Canary; }

  friend constexpr bool operator==(const BinnedColumnKind&, const BinnedColumnKind&) = default;
};

// The bit-exact binary test: +0.0 or 1.0 only (so -0.0 and NaN are not binary).
bool is_binary_value(double value);

}  // namespace arborvane::data
