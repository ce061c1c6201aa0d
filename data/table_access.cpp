#include "data/table_access.hpp"

#include <algorithm>

#include "platform/check.hpp"

namespace arborvane::data {

std::uint16_t BinnedColumnView::value(std::uint64_t row) const {
  AV_CHECK(row < n_rows, "row index within the table");
  const std::uint64_t at = storage_row(row);
  switch (layout) {
    case Layout::U8:
      return u8[at];
    case Layout::U16:
      return u16[at];
    case Layout::Bits:
      return static_cast<std::uint16_t>((bits[at >> 6] >> (at & 63)) & 1U);
    case Layout::Sparse:
      return std::binary_search(positions.begin(), positions.end(), at) ? 1 : 0;
  }
  internal_failure("unknown binned column layout");
}

std::vector<FeaturePreprocessing> TableAccess::feature_preprocessing() const {
  return compute_feature_preprocessing();
}

std::vector<FeaturePreprocessing> TableAccess::compute_feature_preprocessing() const {
  const std::uint64_t features = n_features();
  const std::uint64_t rows = n_rows();
  std::vector<FeaturePreprocessing> result;
  result.reserve(features);
  std::vector<double> values(rows);
  for (std::uint64_t f = 0; f < features; ++f) {
    if (is_binary_feature(f)) {
      result.push_back(FeaturePreprocessing::binary());
      continue;
    }
    for (std::uint64_t row = 0; row < rows; ++row) values[row] = feature_value(f, row);
    result.push_back(FeaturePreprocessing::numeric(numeric_bin_boundaries(values, numeric_bins())));
  }
  return result;
}

}  // namespace arborvane::data
