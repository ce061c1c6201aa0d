#pragma once

#include <cstdint>
#include <vector>

#include "data/table_access.hpp"

namespace arborvane::core {

// The rows `rows` (repeats allowed) of `base`, without copying any column: row-addressed
// operations translate the row through the list, everything else is the base's.
class SampledTable final : public data::TableAccess {
 public:
  SampledTable(const data::TableAccess& base, std::vector<std::uint64_t> rows);

  std::uint64_t n_rows() const override { return rows_.size(); }
  std::uint64_t n_features() const override { return base_.n_features(); }
  std::uint64_t canaries() const override { return base_.canaries(); }
  std::uint64_t numeric_bin_cap() const override { return base_.numeric_bin_cap(); }
  std::uint64_t binned_feature_count() const override { return base_.binned_feature_count(); }
  double feature_value(std::uint64_t feature, std::uint64_t row) const override;
  bool is_binary_feature(std::uint64_t feature) const override {
    return base_.is_binary_feature(feature);
  }
  std::uint16_t binned_value(std::uint64_t binned_feature, std::uint64_t row) const override;
  std::optional<bool> binned_boolean_value(std::uint64_t binned_feature,
                                           std::uint64_t row) const override;
  data::BinnedColumnKind binned_column_kind(std::uint64_t binned_feature) const override {
    return base_.binned_column_kind(binned_feature);
  }
  bool is_binary_binned_feature(std::uint64_t binned_feature) const override {
    return base_.is_binary_binned_feature(binned_feature);
  }
  double target_value(std::uint64_t row) const override;
  data::BinnedColumnView binned_column_view(std::uint64_t binned_feature) const override;
  data::NumericBins numeric_bins() const override { return base_.numeric_bins(); }
  std::vector<data::FeaturePreprocessing> feature_preprocessing() const override {
    return base_.feature_preprocessing();
  }

  const std::vector<std::uint64_t>& rows() const { return rows_; }

 private:
  std::uint64_t base_row(std::uint64_t row) const;

  const data::TableAccess& base_;
  std::vector<std::uint64_t> rows_;
  // Storage rows of the base's columns for each of our rows, when the base is itself a view.
  std::vector<std::uint64_t> storage_rows_;
};

// `base` with its canary columns hidden: they lie past the real binned features, so reporting
// n_features binned features leaves them out of range.
class NoCanaryTable final : public data::TableAccess {
 public:
  explicit NoCanaryTable(const data::TableAccess& base) : base_(base) {}

  std::uint64_t n_rows() const override { return base_.n_rows(); }
  std::uint64_t n_features() const override { return base_.n_features(); }
  std::uint64_t canaries() const override { return 0; }
  std::uint64_t numeric_bin_cap() const override { return base_.numeric_bin_cap(); }
  std::uint64_t binned_feature_count() const override {
    return base_.binned_feature_count() - base_.n_features() * base_.canaries();
  }
  double feature_value(std::uint64_t feature, std::uint64_t row) const override {
    return base_.feature_value(feature, row);
  }
  bool is_binary_feature(std::uint64_t feature) const override {
    return base_.is_binary_feature(feature);
  }
  std::uint16_t binned_value(std::uint64_t binned_feature, std::uint64_t row) const override;
  std::optional<bool> binned_boolean_value(std::uint64_t binned_feature,
                                           std::uint64_t row) const override;
  data::BinnedColumnKind binned_column_kind(std::uint64_t binned_feature) const override;
  bool is_binary_binned_feature(std::uint64_t binned_feature) const override;
  double target_value(std::uint64_t row) const override { return base_.target_value(row); }
  data::BinnedColumnView binned_column_view(std::uint64_t binned_feature) const override;
  data::NumericBins numeric_bins() const override { return base_.numeric_bins(); }
  std::vector<data::FeaturePreprocessing> feature_preprocessing() const override {
    return base_.feature_preprocessing();
  }

 private:
  void check_binned_feature(std::uint64_t binned_feature) const;

  const data::TableAccess& base_;
};

}  // namespace arborvane::core
