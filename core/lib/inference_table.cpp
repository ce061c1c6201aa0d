#include "core/lib/inference_table.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <span>

#include "platform/check.hpp"
#include "platform/str_cat.hpp"

namespace arborvane::core {

namespace {

using data::FeaturePreprocessing;
using data::NumericBinBoundary;

std::string feature_name(std::uint64_t index) { return platform::str_cat("f", index); }

// "f" followed by an unsigned decimal number (a leading "+" allowed) below `n_features`.
bool names_model_feature(const std::string& name, std::uint64_t n_features) {
  if (name.size() < 2 || name[0] != 'f') return false;
  const char* first = name.data() + 1;
  const char* last = name.data() + name.size();
  if (*first == '+') ++first;
  if (first == last || *first < '0' || *first > '9') return false;
  std::uint64_t index = 0;
  const auto [end, error] = std::from_chars(first, last, index);
  return error == std::errc() && end == last && index < n_features;
}

// Bins values of one numeric feature. With no NaN among the upper bounds, "first bound not
// below the value" is monotone over the ascending list, so a branch-free binary search over a
// flat array of bounds finds it; a list with a NaN bound is scanned in order.
class FeatureBinner {
 public:
  explicit FeatureBinner(const std::vector<NumericBinBoundary>& boundaries)
      : boundaries_(boundaries),
        searchable_(std::none_of(boundaries.begin(), boundaries.end(),
                                 [](const NumericBinBoundary& b) { return std::isnan(b.upper_bound); })) {
    if (!searchable_) return;
    bounds_.reserve(boundaries.size());
    for (const NumericBinBoundary& b : boundaries) bounds_.push_back(b.upper_bound);
  }

  // Bins of a whole column. Searches run in lockstep over blocks of values: every search over
  // the same bounds takes the same steps, so the blocks' independent compare chains overlap
  // instead of each search waiting on its own loads.
  void bin_column(std::span<const double> values, std::span<std::uint16_t> bins) const {
    constexpr std::size_t kBlock = 16;
    std::size_t row = 0;
    if (searchable_ && bounds_.size() > 1) {
      const double* bounds = bounds_.data();
      const std::size_t n_bounds = bounds_.size();
      for (; row + kBlock <= values.size(); row += kBlock) {
        std::size_t position[kBlock] = {};
        for (std::size_t length = n_bounds; length > 1;) {
          const std::size_t half = length / 2;
          for (std::size_t k = 0; k < kBlock; ++k) {
            position[k] += bounds[position[k] + half - 1] < values[row + k] ? half : 0;
          }
          length -= half;
        }
        for (std::size_t k = 0; k < kBlock; ++k) {
          const double value = values[row + k];
          const std::size_t index = position[k] + (bounds[position[k]] < value);
          bins[row + k] = std::isnan(value) || index == n_bounds ? boundaries_.back().bin
                                                                 : boundaries_[index].bin;
        }
      }
    }
    for (; row < values.size(); ++row) bins[row] = bin(values[row]);
  }

  std::uint16_t bin(double value) const {
    if (boundaries_.empty()) return 0;
    if (searchable_) {
      if (std::isnan(value)) return boundaries_.back().bin;
      const double* first = bounds_.data();
      std::size_t length = bounds_.size();
      while (length > 1) {
        const std::size_t half = length / 2;
        first = first[half - 1] < value ? first + half : first;
        length -= half;
      }
      const std::size_t index = static_cast<std::size_t>(first - bounds_.data()) + (*first < value);
      return index == bounds_.size() ? boundaries_.back().bin : boundaries_[index].bin;
    }
    for (const NumericBinBoundary& b : boundaries_) {
      if (b.upper_bound >= value) return b.bin;
    }
    return boundaries_.back().bin;
  }

 private:
  const std::vector<NumericBinBoundary>& boundaries_;
  bool searchable_;
  std::vector<double> bounds_;
};

}  // namespace

std::uint16_t bin_for_value(const std::vector<NumericBinBoundary>& boundaries, double value) {
  return FeatureBinner(boundaries).bin(value);
}

std::expected<InferenceTable, PredictError> InferenceTable::from_columns(
    std::vector<std::vector<double>> columns, const Preprocessing& preprocessing,
    std::uint64_t n_features) {
  if (columns.size() != n_features) {
    return std::unexpected(PredictError{PredictError::FeatureCountMismatch{n_features, columns.size()}});
  }
  AV_CHECK(preprocessing.size() == n_features, "validated feature count");
  const std::uint64_t n_rows = columns.empty() ? 0 : columns.front().size();

  InferenceTable table;
  table.n_rows_ = n_rows;
  table.is_binary_.resize(n_features);
  table.raw_.resize(n_features);
  table.booleans_.resize(n_features);
  table.bins_.resize(n_features);
  for (std::uint64_t j = 0; j < n_features; ++j) {
    std::vector<double>& values = columns[j];
    if (values.size() != n_rows) {
      return std::unexpected(
          PredictError{PredictError::ColumnLengthMismatch{feature_name(j), n_rows, values.size()}});
    }
    const FeaturePreprocessing& feature = preprocessing[j];
    switch (feature.kind) {
      case FeaturePreprocessing::Kind::Binary: {
        std::vector<std::uint8_t> booleans(n_rows);
        for (std::uint64_t row = 0; row < n_rows; ++row) {
          if (!data::is_binary_value(values[row])) {
            return std::unexpected(
                PredictError{PredictError::InvalidBinaryValue{j, row, values[row]}});
          }
          booleans[row] = values[row] == 1.0 ? 1 : 0;
        }
        table.is_binary_[j] = true;
        table.booleans_[j] = std::move(booleans);
        break;
      }
      case FeaturePreprocessing::Kind::Numeric: {
        const FeatureBinner binner(feature.boundaries);
        std::vector<std::uint16_t> bins(n_rows);
        binner.bin_column(values, bins);
        table.bins_[j] = std::move(bins);
        table.raw_[j] = std::move(values);
        break;
      }
    }
  }
  return table;
}

std::expected<InferenceTable, PredictError> InferenceTable::from_rows(
    std::vector<std::vector<double>> rows, const Preprocessing& preprocessing,
    std::uint64_t n_features) {
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (rows[r].size() != n_features) {
      return std::unexpected(PredictError{PredictError::RaggedRows{r, n_features, rows[r].size()}});
    }
  }
  std::vector<std::vector<double>> columns(n_features, std::vector<double>(rows.size()));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::uint64_t j = 0; j < n_features; ++j) columns[j][r] = rows[r][j];
    std::vector<double>().swap(rows[r]);
  }
  return from_columns(std::move(columns), preprocessing, n_features);
}

std::expected<InferenceTable, PredictError> InferenceTable::from_row_major_matrix_columns(
    std::vector<std::vector<double>> columns, std::uint64_t n_rows,
    const Preprocessing& preprocessing, std::uint64_t n_features) {
  if (n_rows == 0) return from_rows({}, preprocessing, n_features);
  if (columns.size() != n_features) {
    return std::unexpected(PredictError{PredictError::RaggedRows{0, n_features, columns.size()}});
  }
  for (const auto& column : columns) {
    AV_CHECK(column.size() == n_rows, "matrix columns hold one value per row");
  }
  return from_columns(std::move(columns), preprocessing, n_features);
}

std::expected<InferenceTable, PredictError> InferenceTable::from_named_columns(
    std::map<std::string, std::vector<double>> columns, const Preprocessing& preprocessing,
    std::uint64_t n_features) {
  if (columns.size() != n_features) {
    for (std::uint64_t j = 0; j < n_features; ++j) {
      if (!columns.contains(feature_name(j))) {
        return std::unexpected(PredictError{PredictError::MissingFeature{feature_name(j)}});
      }
    }
    for (const auto& [name, values] : columns) {
      if (!names_model_feature(name, n_features)) {
        return std::unexpected(PredictError{PredictError::UnexpectedFeature{name}});
      }
    }
  }
  const std::uint64_t expected_rows = columns.empty() ? 0 : columns.begin()->second.size();
  std::vector<std::vector<double>> ordered(n_features);
  for (std::uint64_t j = 0; j < n_features; ++j) {
    const std::string name = feature_name(j);
    const auto it = columns.find(name);
    if (it == columns.end()) {
      return std::unexpected(PredictError{PredictError::MissingFeature{name}});
    }
    if (it->second.size() != expected_rows) {
      return std::unexpected(
          PredictError{PredictError::ColumnLengthMismatch{name, expected_rows, it->second.size()}});
    }
    ordered[j] = std::move(it->second);
  }
  return from_columns(std::move(ordered), preprocessing, n_features);
}

std::expected<InferenceTable, PredictError> InferenceTable::from_sparse_binary_columns(
    std::uint64_t n_rows, std::uint64_t n_features,
    const std::vector<std::vector<std::uint64_t>>& columns, const Preprocessing& preprocessing) {
  if (n_features != preprocessing.size()) {
    return std::unexpected(
        PredictError{PredictError::FeatureCountMismatch{preprocessing.size(), n_features}});
  }
  AV_CHECK(columns.size() <= preprocessing.size(), "validated feature count");
  std::vector<std::vector<double>> expanded(columns.size());
  for (std::uint64_t j = 0; j < columns.size(); ++j) {
    if (preprocessing[j].kind != FeaturePreprocessing::Kind::Binary) {
      return std::unexpected(PredictError{PredictError::InvalidBinaryValue{j, 0, 1.0}});
    }
    for (const std::uint64_t position : columns[j]) {
      if (position >= n_rows) {
        return std::unexpected(
            PredictError{PredictError::ColumnLengthMismatch{feature_name(j), n_rows, position + 1}});
      }
    }
    expanded[j].assign(n_rows, 0.0);
    for (const std::uint64_t position : columns[j]) expanded[j][position] = 1.0;
  }
  return from_columns(std::move(expanded), preprocessing, n_features);
}

void InferenceTable::check_cell(std::uint64_t feature, std::uint64_t row) const {
  AV_CHECK(feature < is_binary_.size(), "feature index within the table");
  AV_CHECK(row < n_rows_, "row index within the table");
}

double InferenceTable::feature_value(std::uint64_t feature, std::uint64_t row) const {
  check_cell(feature, row);
  return is_binary_[feature] ? static_cast<double>(booleans_[feature][row]) : raw_[feature][row];
}

bool InferenceTable::is_binary_feature(std::uint64_t feature) const {
  AV_CHECK(feature < is_binary_.size(), "feature index within the table");
  return is_binary_[feature];
}

std::uint16_t InferenceTable::binned_value(std::uint64_t binned_feature, std::uint64_t row) const {
  check_cell(binned_feature, row);
  return is_binary_[binned_feature] ? booleans_[binned_feature][row] : bins_[binned_feature][row];
}

std::optional<bool> InferenceTable::binned_boolean_value(std::uint64_t binned_feature,
                                                         std::uint64_t row) const {
  check_cell(binned_feature, row);
  if (!is_binary_[binned_feature]) return std::nullopt;
  return booleans_[binned_feature][row] != 0;
}

data::BinnedColumnKind InferenceTable::binned_column_kind(std::uint64_t binned_feature) const {
  AV_CHECK(binned_feature < is_binary_.size(), "binned feature index within the table");
  return data::BinnedColumnKind::real(binned_feature);
}

bool InferenceTable::is_binary_binned_feature(std::uint64_t binned_feature) const {
  return is_binary_feature(binned_feature);
}

double InferenceTable::target_value(std::uint64_t row) const {
  AV_CHECK(row < n_rows_, "row index within the table");
  return 0.0;
}

data::BinnedColumnView InferenceTable::binned_column_view(std::uint64_t binned_feature) const {
  AV_CHECK(binned_feature < is_binary_.size(), "binned feature index within the table");
  data::BinnedColumnView view;
  view.n_rows = n_rows_;
  if (is_binary_[binned_feature]) {
    view.layout = data::BinnedColumnView::Layout::U8;
    view.u8 = booleans_[binned_feature].data();
  } else {
    view.layout = data::BinnedColumnView::Layout::U16;
    view.u16 = bins_[binned_feature].data();
  }
  return view;
}

}  // namespace arborvane::core
