#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <vector>

#include "core/lib/predict_error.hpp"
#include "data/binning.hpp"
#include "data/table_access.hpp"

namespace arborvane::core {

// Prediction input binned with a model's stored preprocessing, read by the trees through the
// same interface they were trained on. Features are named "f0", "f1", ... by position.
class InferenceTable final : public data::TableAccess {
 public:
  using Preprocessing = std::vector<data::FeaturePreprocessing>;

  static std::expected<InferenceTable, PredictError> from_rows(
      std::vector<std::vector<double>> rows, const Preprocessing& preprocessing,
      std::uint64_t n_features);

  static std::expected<InferenceTable, PredictError> from_columns(
      std::vector<std::vector<double>> columns, const Preprocessing& preprocessing,
      std::uint64_t n_features);

  // Columns keyed by feature name; std::map keeps them in byte-wise name order.
  static std::expected<InferenceTable, PredictError> from_named_columns(
      std::map<std::string, std::vector<double>> columns, const Preprocessing& preprocessing,
      std::uint64_t n_features);

  static std::expected<InferenceTable, PredictError> from_sparse_binary_columns(
      std::uint64_t n_rows, std::uint64_t n_features,
      const std::vector<std::vector<std::uint64_t>>& columns, const Preprocessing& preprocessing);

  // A rectangular matrix already held column by column (`n_rows` values each), with exactly
  // the outcome of `from_rows` on its rows: a feature count other than the model's is reported
  // as a ragged first row. Lets array input skip building per-row lists.
  static std::expected<InferenceTable, PredictError> from_row_major_matrix_columns(
      std::vector<std::vector<double>> columns, std::uint64_t n_rows,
      const Preprocessing& preprocessing, std::uint64_t n_features);

  // TableAccess
  std::uint64_t n_rows() const override { return n_rows_; }
  std::uint64_t n_features() const override { return is_binary_.size(); }
  std::uint64_t canaries() const override { return 0; }
  std::uint64_t numeric_bin_cap() const override { return data::NumericBins::kAutoCap; }
  std::uint64_t binned_feature_count() const override { return is_binary_.size(); }
  double feature_value(std::uint64_t feature, std::uint64_t row) const override;
  bool is_binary_feature(std::uint64_t feature) const override;
  std::uint16_t binned_value(std::uint64_t binned_feature, std::uint64_t row) const override;
  std::optional<bool> binned_boolean_value(std::uint64_t binned_feature,
                                           std::uint64_t row) const override;
  data::BinnedColumnKind binned_column_kind(std::uint64_t binned_feature) const override;
  bool is_binary_binned_feature(std::uint64_t binned_feature) const override;
  double target_value(std::uint64_t row) const override;
  data::BinnedColumnView binned_column_view(std::uint64_t binned_feature) const override;
  data::NumericBins numeric_bins() const override { return data::NumericBins::automatic(); }

 private:
  InferenceTable() = default;
  void check_cell(std::uint64_t feature, std::uint64_t row) const;

  // Per feature: raw values (numeric) or 0/1 bytes (binary), and 16-bit bins (numeric) or the
  // same 0/1 bytes (binary).
  std::vector<bool> is_binary_;
  std::vector<std::vector<double>> raw_;
  std::vector<std::vector<std::uint8_t>> booleans_;
  std::vector<std::vector<std::uint16_t>> bins_;
  std::uint64_t n_rows_ = 0;
};

// The bin of `value` under `boundaries`: the first boundary whose upper bound is not below it;
// above every bound (and NaN) the last; none at all gives 0.
std::uint16_t bin_for_value(const std::vector<data::NumericBinBoundary>& boundaries,
                            double value);

}  // namespace arborvane::core
