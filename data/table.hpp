#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "data/binning.hpp"
#include "data/columns.hpp"
#include "data/table_access.hpp"

namespace arborvane::data {

// Why a training table could not be built. The display text reaches Python unchanged.
struct DenseTableError {
  struct MismatchedLengths {
    std::uint64_t x_rows;
    std::uint64_t y_values;
  };
  struct RaggedRow {
    std::uint64_t row;
    std::uint64_t expected;
    std::uint64_t found;
  };
  struct NonBinarySparseColumn {
    std::uint64_t column;
  };
  // Raised by the bins parser of the Python layer, which reuses this type for its message.
  struct InvalidBins {
    std::uint64_t value;
    std::uint64_t max;
  };

  std::variant<MismatchedLengths, RaggedRow, NonBinarySparseColumn, InvalidBins> error;

  std::string to_string() const;
};

// The training table: raw columns, binned columns (real features, then canary copies copy by
// copy), targets. Dense tables hold numeric or bit-packed binary columns; sparse tables, built
// when every value is 0 or 1, hold each feature as the ascending list of rows that hold 1.
// Immutable once built; share it through std::shared_ptr<const Table> to clone cheaply.
class Table final : public TableAccess {
 public:
  enum class Kind : std::uint8_t { Dense, Sparse };

  // From rows of raw values (one per feature) and one target per row. Builds a sparse table
  // when every value is +0.0 or 1.0 (and when there are no features), else a dense one.
  static std::expected<Table, DenseTableError> with_options(std::vector<std::vector<double>> rows,
                                                            std::vector<double> targets,
                                                            std::uint64_t canaries,
                                                            NumericBins bins);

  // The same table as `with_options` on the transposed input, for callers that already hold
  // one column per feature (every column has `n_rows` values). Never materialises rows.
  static std::expected<Table, DenseTableError> from_feature_columns_with_options(
      std::vector<std::vector<double>> columns, std::uint64_t n_rows, std::vector<double> targets,
      std::uint64_t canaries, NumericBins bins);

  Kind kind() const { return kind_; }
  NumericBins bins() const { return bins_; }
  const std::vector<double>& targets() const { return targets_; }
  const std::vector<BinnedColumnKind>& binned_column_kinds() const { return kinds_; }
  // Dense tables only.
  const std::vector<FeatureColumn>& dense_columns() const { return dense_columns_; }
  const std::vector<BinnedFeatureColumn>& dense_binned_columns() const { return dense_binned_; }
  // Sparse tables only: binned features in binned order; the first n_features are the raw ones.
  const std::vector<SparseBinaryColumn>& sparse_binned_columns() const { return sparse_binned_; }

  // TableAccess
  std::uint64_t n_rows() const override { return n_rows_; }
  std::uint64_t n_features() const override { return n_features_; }
  std::uint64_t canaries() const override { return canaries_; }
  std::uint64_t numeric_bin_cap() const override { return bins_.cap(); }
  std::uint64_t binned_feature_count() const override { return kinds_.size(); }
  double feature_value(std::uint64_t feature, std::uint64_t row) const override;
  bool is_binary_feature(std::uint64_t feature) const override;
  std::uint16_t binned_value(std::uint64_t binned_feature, std::uint64_t row) const override;
  std::optional<bool> binned_boolean_value(std::uint64_t binned_feature,
                                           std::uint64_t row) const override;
  BinnedColumnKind binned_column_kind(std::uint64_t binned_feature) const override;
  bool is_binary_binned_feature(std::uint64_t binned_feature) const override;
  double target_value(std::uint64_t row) const override;
  BinnedColumnView binned_column_view(std::uint64_t binned_feature) const override;
  NumericBins numeric_bins() const override { return bins_; }
  std::vector<FeaturePreprocessing> feature_preprocessing() const override {
    return preprocessing_;
  }

 private:
  friend struct DenseTable;
  friend struct SparseTable;
  Table() = default;

  void check_row(std::uint64_t row) const;
  void check_feature(std::uint64_t feature) const;
  void check_binned_feature(std::uint64_t binned_feature) const;

  Kind kind_ = Kind::Dense;
  NumericBins bins_;
  std::vector<FeatureColumn> dense_columns_;
  std::vector<BinnedFeatureColumn> dense_binned_;
  std::vector<SparseBinaryColumn> sparse_binned_;
  std::vector<BinnedColumnKind> kinds_;
  std::vector<double> targets_;
  std::uint64_t n_rows_ = 0;
  std::uint64_t n_features_ = 0;
  std::uint64_t canaries_ = 0;
  std::vector<FeaturePreprocessing> preprocessing_;
};

// Validates rows against the targets and transposes them into one column per feature.
std::expected<std::vector<std::vector<double>>, DenseTableError> preprocess_rows(
    std::vector<std::vector<double>> rows, std::uint64_t n_targets);

// A raw column: `Binary` when every value passes the binary test, else `Numeric`.
FeatureColumn build_feature_column(std::vector<double> values);

struct DenseTable {
  // Bins every column, adds the canary copies; the columns are already validated.
  static Table from_columns(std::vector<std::vector<double>> columns, std::uint64_t n_rows,
                            std::vector<double> targets, std::uint64_t canaries,
                            NumericBins bins);
};

struct SparseTable {
  // Every value of every column is +0.0 or 1.0; keeps the rows holding 1.0.
  static Table from_columns(const std::vector<std::vector<double>>& columns, std::uint64_t n_rows,
                            std::vector<double> targets, std::uint64_t canaries,
                            NumericBins bins);

  // From the rows holding 1 in each feature; positions are sorted and deduplicated.
  static std::expected<Table, DenseTableError> from_sparse_binary_columns_with_options(
      std::uint64_t n_rows, std::uint64_t n_features,
      std::vector<std::vector<std::uint64_t>> columns, std::vector<double> targets,
      std::uint64_t canaries, NumericBins bins);

  // Builds the table from columns whose positions are already valid.
  static Table from_sparse_columns(std::vector<SparseBinaryColumn> columns, std::uint64_t n_rows,
                                   std::vector<double> targets, std::uint64_t canaries,
                                   NumericBins bins);
};

}  // namespace arborvane::data
