#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "data/columns.hpp"

namespace arborvane::data {

// One bin of a numeric feature: its number and the largest training value that fell into it.
struct NumericBinBoundary {
  std::uint16_t bin = 0;
  double upper_bound = 0.0;

  friend bool operator==(const NumericBinBoundary& a, const NumericBinBoundary& b);
};

// What inference must do to a raw value of one real feature to obtain its training bin.
struct FeaturePreprocessing {
  enum class Kind : std::uint8_t { Binary, Numeric };

  Kind kind = Kind::Binary;
  std::vector<NumericBinBoundary> boundaries;  // Numeric: ascending by bin

  static FeaturePreprocessing binary() { return {Kind::Binary, {}}; }
  static FeaturePreprocessing numeric(std::vector<NumericBinBoundary> boundaries) {
    return {Kind::Numeric, std::move(boundaries)};
  }

  friend bool operator==(const FeaturePreprocessing&, const FeaturePreprocessing&) = default;
};

// Rank bins of a column: `Binary` when every value is +0.0 or 1.0 (an empty column too),
// otherwise `U8` or `U16` rank bins under `bins`.
BinnedFeatureColumn build_binned_feature_column(std::span<const double> values, NumericBins bins);

// The boundaries that map every value of `values` back to the bin it gets from rank binning.
std::vector<NumericBinBoundary> numeric_bin_boundaries(std::span<const double> values,
                                                       NumericBins bins);

// Rank bins and boundaries of a numeric column from a single sort; what table construction uses.
struct NumericBinning {
  BinnedFeatureColumn column;
  std::vector<NumericBinBoundary> boundaries;
};
NumericBinning bin_numeric_column(std::span<const double> values, NumericBins bins);

}  // namespace arborvane::data
