#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/binning.hpp"
#include "data/columns.hpp"

namespace arborvane::data {

// A binned column resolved to its storage, so hot loops stream memory instead of paying a
// virtual call per value. View row r reads storage row `rows[r]`, or row r itself when `rows`
// is null (a table as opposed to a row-sampling view over it).
struct BinnedColumnView {
  enum class Layout : std::uint8_t {
    U8,      // `u8`: one byte per row (a binary column of an inference table holds 0/1 here)
    U16,     // `u16`
    Bits,    // `bits`: bit-packed booleans
    Sparse,  // `positions`: ascending storage rows that hold 1
  };

  Layout layout = Layout::U8;
  const std::uint8_t* u8 = nullptr;
  const std::uint16_t* u16 = nullptr;
  const std::uint64_t* bits = nullptr;
  std::span<const std::uint64_t> positions;
  const std::uint64_t* rows = nullptr;
  std::uint64_t n_rows = 0;

  std::uint64_t storage_row(std::uint64_t row) const { return rows == nullptr ? row : rows[row]; }

  // The value at view row `row`, exactly as `TableAccess::binned_value` reports it. Meant for
  // oracles and cold paths; hot loops switch on `layout` once and read the arrays directly.
  std::uint16_t value(std::uint64_t row) const;
};

// The read interface of every training table, table view and inference table. Feature indices
// come before row indices. An index out of range is a contract violation (InternalError).
class TableAccess {
 public:
  virtual ~TableAccess() = default;

  virtual std::uint64_t n_rows() const = 0;
  virtual std::uint64_t n_features() const = 0;
  virtual std::uint64_t canaries() const = 0;
  virtual std::uint64_t numeric_bin_cap() const = 0;
  virtual std::uint64_t binned_feature_count() const = 0;
  virtual double feature_value(std::uint64_t feature, std::uint64_t row) const = 0;
  virtual bool is_binary_feature(std::uint64_t feature) const = 0;
  virtual std::uint16_t binned_value(std::uint64_t binned_feature, std::uint64_t row) const = 0;
  virtual std::optional<bool> binned_boolean_value(std::uint64_t binned_feature,
                                                   std::uint64_t row) const = 0;
  virtual BinnedColumnKind binned_column_kind(std::uint64_t binned_feature) const = 0;
  virtual bool is_binary_binned_feature(std::uint64_t binned_feature) const = 0;
  virtual double target_value(std::uint64_t row) const = 0;
  bool is_canary_binned_feature(std::uint64_t binned_feature) const {
    return binned_column_kind(binned_feature).is_canary();
  }

  // Beyond the thirteen operations: what fast learners and views need.

  // The resolved storage of a binned feature, with this table's row mapping.
  virtual BinnedColumnView binned_column_view(std::uint64_t binned_feature) const = 0;

  // The binning setting of the table at the bottom of any view stack.
  virtual NumericBins numeric_bins() const = 0;

  // One record per real feature: `Binary` for binary features, otherwise the numeric bin
  // boundaries of the feature's raw values under `numeric_bins()`. Training tables answer from
  // what they computed at construction; the default recomputes from `feature_value`.
  virtual std::vector<FeaturePreprocessing> feature_preprocessing() const;

  // The reference computation behind `feature_preprocessing`, through the per-value operations.
  std::vector<FeaturePreprocessing> compute_feature_preprocessing() const;
};

}  // namespace arborvane::data
