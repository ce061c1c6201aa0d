#pragma once

// A table given directly by its bins, for the second-order learner's and boosting's tests:
// any bin pattern, any binned feature marked as a canary, optionally seen through a row
// mapping the way a sampling view is.

#include <cstdint>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "data/table_access.hpp"

namespace arborvane::core::second_order_testing {

class ColumnTable final : public data::TableAccess {
 public:
  struct Column {
    std::vector<std::uint16_t> bins;  // per storage row; 0/1 for a binary column
    bool binary = false;
    bool canary = false;
  };

  // Real columns must come before canary columns, as in every training table.
  ColumnTable(std::vector<Column> columns, std::vector<double> targets, std::uint64_t bin_cap = 8)
      : columns_(std::move(columns)), targets_(std::move(targets)), bin_cap_(bin_cap) {
    for (const Column& column : columns_) {
      bytes_.emplace_back(column.bins.begin(), column.bins.end());
      std::vector<std::uint64_t> words((column.bins.size() + 63) / 64, 0);
      for (std::size_t r = 0; r < column.bins.size(); ++r) {
        if (column.bins[r] != 0) words[r >> 6] |= std::uint64_t{1} << (r & 63);
      }
      words_.push_back(std::move(words));
    }
  }

  // Rows are read through `mapping` from now on (view row r is storage row mapping[r]).
  void map_rows(std::vector<std::uint64_t> mapping) { mapping_ = std::move(mapping); }
  void set_targets(std::vector<double> targets) { targets_ = std::move(targets); }
  // Binary columns answer `binned_boolean_value` with nothing, which no table may do.
  void hide_booleans() { hide_booleans_ = true; }

  std::uint64_t n_rows() const override {
    return mapping_ ? mapping_->size() : targets_.size();
  }
  std::uint64_t n_features() const override {
    std::uint64_t real = 0;
    for (const Column& column : columns_) real += column.canary ? 0 : 1;
    return real;
  }
  std::uint64_t canaries() const override { return n_features() == columns_.size() ? 0 : 1; }
  std::uint64_t numeric_bin_cap() const override { return bin_cap_; }
  std::uint64_t binned_feature_count() const override { return columns_.size(); }
  double feature_value(std::uint64_t feature, std::uint64_t row) const override {
    return binned_value(feature, row);
  }
  bool is_binary_feature(std::uint64_t feature) const override {
    return columns_.at(feature).binary;
  }
  std::uint16_t binned_value(std::uint64_t feature, std::uint64_t row) const override {
    return columns_.at(feature).bins.at(storage(row));
  }
  std::optional<bool> binned_boolean_value(std::uint64_t feature,
                                           std::uint64_t row) const override {
    if (!columns_.at(feature).binary || hide_booleans_) return std::nullopt;
    return binned_value(feature, row) != 0;
  }
  data::BinnedColumnKind binned_column_kind(std::uint64_t feature) const override {
    return columns_.at(feature).canary ? data::BinnedColumnKind::canary(feature, 0)
                                       : data::BinnedColumnKind::real(feature);
  }
  bool is_binary_binned_feature(std::uint64_t feature) const override {
    return columns_.at(feature).binary;
  }
  double target_value(std::uint64_t row) const override { return targets_.at(storage(row)); }
  data::BinnedColumnView binned_column_view(std::uint64_t feature) const override {
    data::BinnedColumnView view;
    view.n_rows = n_rows();
    view.rows = mapping_ ? mapping_->data() : nullptr;
    if (columns_.at(feature).binary) {
      view.layout = data::BinnedColumnView::Layout::Bits;
      view.bits = words_[feature].data();
    } else {
      view.layout = data::BinnedColumnView::Layout::U8;
      view.u8 = bytes_[feature].data();
    }
    return view;
  }
  data::NumericBins numeric_bins() const override { return data::NumericBins::fixed(bin_cap_); }
  std::vector<data::FeaturePreprocessing> feature_preprocessing() const override {
    return std::vector<data::FeaturePreprocessing>(n_features(),
                                                   data::FeaturePreprocessing::binary());
  }

 private:
  std::uint64_t storage(std::uint64_t row) const { return mapping_ ? mapping_->at(row) : row; }

  std::vector<Column> columns_;
  std::vector<double> targets_;
  std::uint64_t bin_cap_;
  std::optional<std::vector<std::uint64_t>> mapping_;
  std::vector<std::vector<std::uint8_t>> bytes_;
  std::vector<std::vector<std::uint64_t>> words_;
  bool hide_booleans_ = false;
};

inline ColumnTable::Column numeric(std::vector<std::uint16_t> bins) { return {std::move(bins)}; }
inline ColumnTable::Column binary(std::vector<std::uint16_t> bins) {
  return {std::move(bins), true, false};
}
inline ColumnTable::Column canary(std::vector<std::uint16_t> bins) {
  return {std::move(bins), false, true};
}

// `rows` rows of `numeric` random numeric columns (bins below `bin_cap`), `binary` random
// binary columns and `canaries` random numeric canary columns; targets are 0.
inline ColumnTable random_column_table(std::size_t rows, std::size_t numeric_columns,
                                       std::size_t binary_columns, std::size_t canary_columns,
                                       std::uint64_t bin_cap, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> bin(0, static_cast<int>(bin_cap) - 1);
  std::bernoulli_distribution coin(0.4);
  auto draw = [&](bool is_binary) {
    std::vector<std::uint16_t> bins(rows);
    for (auto& b : bins) b = static_cast<std::uint16_t>(is_binary ? coin(rng) : bin(rng));
    return bins;
  };
  std::vector<ColumnTable::Column> columns;
  for (std::size_t f = 0; f < numeric_columns; ++f) columns.push_back(numeric(draw(false)));
  for (std::size_t f = 0; f < binary_columns; ++f) columns.push_back(binary(draw(true)));
  for (std::size_t f = 0; f < canary_columns; ++f) columns.push_back(canary(draw(false)));
  return ColumnTable(std::move(columns), std::vector<double>(rows, 0.0), bin_cap);
}

}  // namespace arborvane::core::second_order_testing
