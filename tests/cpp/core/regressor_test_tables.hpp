#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "data/table.hpp"
#include "data/table_access.hpp"

namespace arborvane::core::testing {

// A table given directly by its bins, so a test decides every bin, which binned features are
// binary or canaries, and whether rows go through a row mapping (as a sampling view's do).
class BinTable final : public data::TableAccess {
 public:
  struct Column {
    std::vector<std::uint16_t> bins;  // per storage row; 0/1 for a binary column
    bool binary = false;
    bool canary = false;
  };

  BinTable(std::vector<Column> columns, std::vector<double> targets, std::uint64_t bin_cap = 8,
           std::vector<std::uint64_t> mapping = {})
      : columns_(std::move(columns)),
        targets_(std::move(targets)),
        bin_cap_(bin_cap),
        mapping_(std::move(mapping)) {
    for (const Column& column : columns_) {
      bytes_.emplace_back(column.bins.begin(), column.bins.end());
      std::vector<std::uint64_t> words((column.bins.size() + 63) / 64, 0);
      for (std::size_t r = 0; r < column.bins.size(); ++r) {
        if (column.bins[r] != 0) words[r >> 6] |= std::uint64_t{1} << (r & 63);
      }
      words_.push_back(std::move(words));
    }
  }

  // Binary columns answer `binned_boolean_value` with nothing, which no table may do.
  void hide_booleans() { hide_booleans_ = true; }

  std::uint64_t n_rows() const override {
    return mapping_.empty() ? targets_.size() : mapping_.size();
  }
  std::uint64_t n_features() const override {
    return static_cast<std::uint64_t>(
        std::count_if(columns_.begin(), columns_.end(), [](const Column& c) { return !c.canary; }));
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
    view.rows = mapping_.empty() ? nullptr : mapping_.data();
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
  std::uint64_t storage(std::uint64_t row) const {
    return mapping_.empty() ? row : mapping_.at(row);
  }

  std::vector<Column> columns_;
  std::vector<double> targets_;
  std::uint64_t bin_cap_;
  std::vector<std::uint64_t> mapping_;
  std::vector<std::vector<std::uint8_t>> bytes_;
  std::vector<std::vector<std::uint64_t>> words_;
  bool hide_booleans_ = false;
};

inline BinTable::Column numeric(std::vector<std::uint16_t> bins) { return {std::move(bins)}; }
inline BinTable::Column binary(std::vector<std::uint16_t> bins) {
  return {std::move(bins), true, false};
}
inline BinTable::Column canary(std::vector<std::uint16_t> bins) {
  return {std::move(bins), false, true};
}

// A real training table of random rows: `numeric` continuous features, then `binary` 0/1
// features; targets depend on a few features plus noise.
inline data::Table random_table(std::size_t rows, std::size_t numeric, std::size_t binary,
                                std::uint64_t canaries, std::uint32_t seed,
                                data::NumericBins bins = data::NumericBins::automatic()) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::bernoulli_distribution coin(0.4);
  std::vector<std::vector<double>> x(rows);
  std::vector<double> y(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t f = 0; f < numeric; ++f) x[r].push_back(normal(rng));
    for (std::size_t f = 0; f < binary; ++f) x[r].push_back(coin(rng) ? 1.0 : 0.0);
    double target = normal(rng);
    if (numeric > 0) target += 2.0 * x[r][0];
    if (numeric > 1) target += x[r][1] * x[r][1];
    if (binary > 0) target += 1.5 * x[r][numeric];
    y[r] = target;
  }
  return *data::Table::with_options(std::move(x), std::move(y), canaries, bins);
}

}  // namespace arborvane::core::testing
