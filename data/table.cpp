#include "data/table.hpp"

#include <algorithm>
#include <memory>

#include "data/canary.hpp"
#include "platform/check.hpp"
#include "platform/cores.hpp"
#include "platform/parallel.hpp"
#include "platform/str_cat.hpp"

namespace arborvane::data {

std::string DenseTableError::to_string() const {
  struct Text {
    std::string operator()(const MismatchedLengths& e) const {
      return platform::str_cat("Mismatched lengths: X has ", e.x_rows, " rows while y has ",
                               e.y_values, " values.");
    }
    std::string operator()(const RaggedRow& e) const {
      return platform::str_cat("Ragged row at index ", e.row, ": expected ", e.expected,
                               " columns, found ", e.found, ".");
    }
    std::string operator()(const NonBinarySparseColumn& e) const {
      return platform::str_cat("SparseTable requires binary features, but column ", e.column,
                               " contains non-binary values.");
    }
    std::string operator()(const InvalidBins& e) const {
      return platform::str_cat("Invalid bins value ", e.value,
                               ". Expected 'auto' or an integer between 1 and ", e.max, ".");
    }
  };
  return std::visit(Text{}, error);
}

std::expected<std::vector<std::vector<double>>, DenseTableError> preprocess_rows(
    std::vector<std::vector<double>> rows, std::uint64_t n_targets) {
  if (rows.size() != n_targets) {
    return std::unexpected(DenseTableError{DenseTableError::MismatchedLengths{rows.size(), n_targets}});
  }
  const std::size_t n_features = rows.empty() ? 0 : rows.front().size();
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (rows[r].size() != n_features) {
      return std::unexpected(
          DenseTableError{DenseTableError::RaggedRow{r, n_features, rows[r].size()}});
    }
  }
  std::vector<std::vector<double>> columns(n_features, std::vector<double>(rows.size()));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t f = 0; f < n_features; ++f) columns[f][r] = rows[r][f];
    std::vector<double>().swap(rows[r]);  // release as we go: peak memory stays near one copy
  }
  return columns;
}

FeatureColumn build_feature_column(std::vector<double> values) {
  FeatureColumn column;
  if (std::all_of(values.begin(), values.end(), is_binary_value)) {
    column.kind = FeatureColumn::Kind::Binary;
    column.bits = BitVector(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) column.bits.set(i, values[i] == 1.0);
  } else {
    column.kind = FeatureColumn::Kind::Numeric;
    column.values = std::move(values);
  }
  return column;
}

namespace {

// Below this many cells a pool costs more than it saves.
constexpr std::uint64_t kParallelConstructionCells = std::uint64_t{1} << 20;

// Workers for building a large table: one per physical core; none for small tables, one core,
// or when threads cannot be started (construction then runs on the calling thread).
std::unique_ptr<platform::ThreadPool> construction_pool(std::uint64_t cells) {
  const std::size_t cores = platform::physical_core_count();
  if (cells < kParallelConstructionCells || cores < 2) return nullptr;
  auto pool = platform::ThreadPool::create(cores);
  return pool ? std::move(*pool) : nullptr;
}

bool every_value_binary(const std::vector<std::vector<double>>& columns) {
  return std::all_of(columns.begin(), columns.end(), [](const std::vector<double>& column) {
    return std::all_of(column.begin(), column.end(), is_binary_value);
  });
}

std::vector<BinnedColumnKind> binned_kinds(std::uint64_t n_features, std::uint64_t canaries) {
  if (n_features == 0) return {};  // no copies to make, however many were asked for
  std::vector<BinnedColumnKind> kinds;
  kinds.reserve(n_features * (1 + canaries));
  for (std::uint64_t f = 0; f < n_features; ++f) kinds.push_back(BinnedColumnKind::real(f));
  for (std::uint64_t c = 0; c < canaries; ++c) {
    for (std::uint64_t f = 0; f < n_features; ++f) kinds.push_back(BinnedColumnKind::canary(f, c));
  }
  return kinds;
}

std::expected<Table, DenseTableError> table_from_valid_columns(
    std::vector<std::vector<double>> columns, std::uint64_t n_rows, std::vector<double> targets,
    std::uint64_t canaries, NumericBins bins) {
  if (every_value_binary(columns)) {
    return SparseTable::from_columns(columns, n_rows, std::move(targets), canaries, bins);
  }
  return DenseTable::from_columns(std::move(columns), n_rows, std::move(targets), canaries, bins);
}

}  // namespace

std::expected<Table, DenseTableError> Table::with_options(std::vector<std::vector<double>> rows,
                                                          std::vector<double> targets,
                                                          std::uint64_t canaries,
                                                          NumericBins bins) {
  const std::uint64_t n_rows = rows.size();
  auto columns = preprocess_rows(std::move(rows), targets.size());
  if (!columns) return std::unexpected(columns.error());
  return table_from_valid_columns(std::move(*columns), n_rows, std::move(targets), canaries, bins);
}

std::expected<Table, DenseTableError> Table::from_feature_columns_with_options(
    std::vector<std::vector<double>> columns, std::uint64_t n_rows, std::vector<double> targets,
    std::uint64_t canaries, NumericBins bins) {
  if (n_rows != targets.size()) {
    return std::unexpected(
        DenseTableError{DenseTableError::MismatchedLengths{n_rows, targets.size()}});
  }
  for (const auto& column : columns) {
    AV_CHECK(column.size() == n_rows, "feature columns hold one value per row");
  }
  // Without rows there is no first row to take a feature count from.
  if (n_rows == 0) columns.clear();
  return table_from_valid_columns(std::move(columns), n_rows, std::move(targets), canaries, bins);
}

Table DenseTable::from_columns(std::vector<std::vector<double>> columns, std::uint64_t n_rows,
                               std::vector<double> targets, std::uint64_t canaries,
                               NumericBins bins) {
  Table table;
  table.kind_ = Table::Kind::Dense;
  table.bins_ = bins;
  table.n_rows_ = n_rows;
  table.n_features_ = columns.size();
  table.canaries_ = canaries;
  table.targets_ = std::move(targets);
  table.kinds_ = binned_kinds(table.n_features_, canaries);
  const std::size_t n_features = columns.size();
  table.dense_columns_.resize(n_features);
  table.dense_binned_.resize(table.kinds_.size());
  table.preprocessing_.resize(n_features);

  // Columns are independent: each is binned (and each canary shuffled) by one task, so the
  // table is the same whatever the number of threads.
  const std::unique_ptr<platform::ThreadPool> pool = construction_pool(n_rows * n_features);
  platform::parallel_for(pool.get(), n_features, [&](std::size_t f) {
    FeatureColumn raw = build_feature_column(std::move(columns[f]));
    if (raw.kind == FeatureColumn::Kind::Binary) {
      BinnedFeatureColumn binned;
      binned.kind = BinnedFeatureColumn::Kind::Binary;
      binned.bits = raw.bits;
      table.dense_binned_[f] = std::move(binned);
      table.preprocessing_[f] = FeaturePreprocessing::binary();
    } else {
      NumericBinning binning = bin_numeric_column(raw.values, bins);
      table.dense_binned_[f] = std::move(binning.column);
      table.preprocessing_[f] = FeaturePreprocessing::numeric(std::move(binning.boundaries));
    }
    table.dense_columns_[f] = std::move(raw);
  });
  const std::size_t n_canary_columns = table.kinds_.size() - n_features;
  platform::parallel_for(pool.get(), n_canary_columns, [&](std::size_t i) {
    const std::uint64_t c = i / n_features;
    const std::uint64_t f = i % n_features;
    table.dense_binned_[n_features + i] = shuffle_canary_column(table.dense_binned_[f], c, f);
  });
  return table;
}

Table SparseTable::from_columns(const std::vector<std::vector<double>>& columns,
                                std::uint64_t n_rows, std::vector<double> targets,
                                std::uint64_t canaries, NumericBins bins) {
  std::vector<SparseBinaryColumn> sparse(columns.size());
  for (std::size_t f = 0; f < columns.size(); ++f) {
    for (std::size_t row = 0; row < columns[f].size(); ++row) {
      if (columns[f][row] == 1.0) sparse[f].positions.push_back(row);
    }
  }
  return from_sparse_columns(std::move(sparse), n_rows, std::move(targets), canaries, bins);
}

std::expected<Table, DenseTableError> SparseTable::from_sparse_binary_columns_with_options(
    std::uint64_t n_rows, std::uint64_t n_features,
    std::vector<std::vector<std::uint64_t>> columns, std::vector<double> targets,
    std::uint64_t canaries, NumericBins bins) {
  if (n_rows != targets.size()) {
    return std::unexpected(
        DenseTableError{DenseTableError::MismatchedLengths{n_rows, targets.size()}});
  }
  if (columns.size() != n_features) {
    return std::unexpected(
        DenseTableError{DenseTableError::RaggedRow{columns.size(), n_features, columns.size()}});
  }
  std::vector<SparseBinaryColumn> sparse(columns.size());
  for (std::size_t f = 0; f < columns.size(); ++f) {
    auto& positions = columns[f];
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    if (!positions.empty() && positions.back() >= n_rows) {
      return std::unexpected(DenseTableError{DenseTableError::NonBinarySparseColumn{f}});
    }
    sparse[f].positions = std::move(positions);
  }
  return from_sparse_columns(std::move(sparse), n_rows, std::move(targets), canaries, bins);
}

Table SparseTable::from_sparse_columns(std::vector<SparseBinaryColumn> columns,
                                       std::uint64_t n_rows, std::vector<double> targets,
                                       std::uint64_t canaries, NumericBins bins) {
  Table table;
  table.kind_ = Table::Kind::Sparse;
  table.bins_ = bins;
  table.n_rows_ = n_rows;
  table.n_features_ = columns.size();
  table.canaries_ = canaries;
  table.targets_ = std::move(targets);
  table.kinds_ = binned_kinds(table.n_features_, canaries);
  table.preprocessing_.assign(table.n_features_, FeaturePreprocessing::binary());
  table.sparse_binned_ = std::move(columns);
  table.sparse_binned_.reserve(table.kinds_.size());
  for (std::uint64_t c = 0; table.n_features_ > 0 && c < canaries; ++c) {
    for (std::uint64_t f = 0; f < table.n_features_; ++f) {
      table.sparse_binned_.push_back(
          shuffle_sparse_binary_column(table.sparse_binned_[f], n_rows, c, f));
    }
  }
  return table;
}

void Table::check_row(std::uint64_t row) const {
  AV_CHECK(row < n_rows_, "row index within the table");
}

void Table::check_feature(std::uint64_t feature) const {
  AV_CHECK(feature < n_features_, "feature index within the table");
}

void Table::check_binned_feature(std::uint64_t binned_feature) const {
  AV_CHECK(binned_feature < kinds_.size(), "binned feature index within the table");
}

double Table::feature_value(std::uint64_t feature, std::uint64_t row) const {
  check_feature(feature);
  check_row(row);
  if (kind_ == Kind::Sparse) return sparse_binned_[feature].contains(row) ? 1.0 : 0.0;
  return dense_columns_[feature].value(row);
}

bool Table::is_binary_feature(std::uint64_t feature) const {
  check_feature(feature);
  return kind_ == Kind::Sparse || dense_columns_[feature].kind == FeatureColumn::Kind::Binary;
}

std::uint16_t Table::binned_value(std::uint64_t binned_feature, std::uint64_t row) const {
  check_binned_feature(binned_feature);
  check_row(row);
  if (kind_ == Kind::Sparse) return sparse_binned_[binned_feature].contains(row) ? 1 : 0;
  return dense_binned_[binned_feature].value(row);
}

std::optional<bool> Table::binned_boolean_value(std::uint64_t binned_feature,
                                                std::uint64_t row) const {
  check_binned_feature(binned_feature);
  check_row(row);
  if (kind_ == Kind::Sparse) return sparse_binned_[binned_feature].contains(row);
  const BinnedFeatureColumn& column = dense_binned_[binned_feature];
  if (column.kind != BinnedFeatureColumn::Kind::Binary) return std::nullopt;
  return column.bits.get(row);
}

BinnedColumnKind Table::binned_column_kind(std::uint64_t binned_feature) const {
  check_binned_feature(binned_feature);
  return kinds_[binned_feature];
}

bool Table::is_binary_binned_feature(std::uint64_t binned_feature) const {
  check_binned_feature(binned_feature);
  return kind_ == Kind::Sparse ||
         dense_binned_[binned_feature].kind == BinnedFeatureColumn::Kind::Binary;
}

double Table::target_value(std::uint64_t row) const {
  check_row(row);
  return targets_[row];
}

BinnedColumnView Table::binned_column_view(std::uint64_t binned_feature) const {
  check_binned_feature(binned_feature);
  BinnedColumnView view;
  view.n_rows = n_rows_;
  if (kind_ == Kind::Sparse) {
    view.layout = BinnedColumnView::Layout::Sparse;
    view.positions = sparse_binned_[binned_feature].positions;
    return view;
  }
  const BinnedFeatureColumn& column = dense_binned_[binned_feature];
  switch (column.kind) {
    case BinnedFeatureColumn::Kind::U8:
      view.layout = BinnedColumnView::Layout::U8;
      view.u8 = column.u8.data();
      break;
    case BinnedFeatureColumn::Kind::U16:
      view.layout = BinnedColumnView::Layout::U16;
      view.u16 = column.u16.data();
      break;
    case BinnedFeatureColumn::Kind::Binary:
      view.layout = BinnedColumnView::Layout::Bits;
      view.bits = column.bits.words().data();
      break;
  }
  return view;
}

}  // namespace arborvane::data
