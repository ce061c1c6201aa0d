#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "data/canary.hpp"
#include "data/table.hpp"
#include "platform/check.hpp"
#include "platform/rng.hpp"

namespace arborvane::data {
namespace {

using Rows = std::vector<std::vector<double>>;

Table build(Rows rows, std::uint64_t canaries = 0, NumericBins bins = NumericBins::automatic()) {
  std::vector<double> targets(rows.size(), 0.0);
  auto table = Table::with_options(std::move(rows), std::move(targets), canaries, bins);
  EXPECT_TRUE(table.has_value());
  return std::move(*table);
}

TEST(Table, ZerosAndOnesEverywhereMakeASparseTable) {
  const Table sparse = build({{0, 1}, {1, 0}, {1, 1}});
  EXPECT_EQ(sparse.kind(), Table::Kind::Sparse);
  EXPECT_EQ(sparse.sparse_binned_columns()[0].positions, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_TRUE(sparse.is_binary_feature(0));
  EXPECT_EQ(sparse.feature_value(0, 0), 0.0);
  EXPECT_EQ(sparse.feature_value(1, 0), 1.0);

  const Table dense = build({{0, 1}, {1, 0.5}, {1, 1}});
  EXPECT_EQ(dense.kind(), Table::Kind::Dense);
  EXPECT_TRUE(dense.is_binary_feature(0));
  EXPECT_FALSE(dense.is_binary_feature(1));
  EXPECT_TRUE(dense.is_binary_binned_feature(0));
  EXPECT_FALSE(dense.is_binary_binned_feature(1));
  EXPECT_EQ(dense.feature_value(1, 1), 0.5);
  EXPECT_EQ(dense.binned_boolean_value(0, 1), std::optional<bool>(true));
  EXPECT_EQ(dense.binned_boolean_value(1, 1), std::nullopt);

  EXPECT_EQ(build({{-0.0}, {1.0}}).kind(), Table::Kind::Dense);
  EXPECT_EQ(build({{0.0}, {1.0}}).kind(), Table::Kind::Sparse);

  const Table empty = build({});
  EXPECT_EQ(empty.kind(), Table::Kind::Sparse);
  EXPECT_EQ(empty.n_rows(), 0U);
  EXPECT_EQ(empty.n_features(), 0U);
}

TEST(Table, ConstructionErrorsCarryTheirTexts) {
  struct Case {
    std::expected<Table, DenseTableError> result;
    std::string text;
  };
  std::vector<Case> cases;
  cases.push_back({Table::with_options({{1}, {2}, {3}}, {1, 2}, 0, NumericBins::automatic()),
                   "Mismatched lengths: X has 3 rows while y has 2 values."});
  cases.push_back({Table::with_options({{1, 2}, {3, 4}, {5, 6, 7}}, {1, 2, 3}, 0,
                                       NumericBins::automatic()),
                   "Ragged row at index 2: expected 2 columns, found 3."});
  cases.push_back({SparseTable::from_sparse_binary_columns_with_options(
                       5, 5, {{}, {}, {}, {}, {1, 5}}, {0, 0, 0, 0, 0}, 0, NumericBins::automatic()),
                   "SparseTable requires binary features, but column 4 contains non-binary values."});
  cases.push_back({SparseTable::from_sparse_binary_columns_with_options(
                       2, 3, {{0}, {1}}, {0, 0}, 0, NumericBins::automatic()),
                   "Ragged row at index 2: expected 3 columns, found 2."});
  cases.push_back({SparseTable::from_sparse_binary_columns_with_options(
                       2, 1, {{0}}, {0}, 0, NumericBins::automatic()),
                   "Mismatched lengths: X has 2 rows while y has 1 values."});
  cases.push_back({Table::from_feature_columns_with_options({{1, 2}}, 2, {0}, 0,
                                                            NumericBins::automatic()),
                   "Mismatched lengths: X has 2 rows while y has 1 values."});
  for (const Case& c : cases) {
    ASSERT_FALSE(c.result.has_value()) << c.text;
    EXPECT_EQ(c.result.error().to_string(), c.text);
  }
  EXPECT_EQ((DenseTableError{DenseTableError::InvalidBins{129, 128}}.to_string()),
            "Invalid bins value 129. Expected 'auto' or an integer between 1 and 128.");
}

TEST(Table, SparseColumnsAreSortedAndDeduplicated) {
  auto table = SparseTable::from_sparse_binary_columns_with_options(
      6, 2, {{4, 1, 4, 0}, {}}, std::vector<double>(6, 0.0), 1, NumericBins::automatic());
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->sparse_binned_columns()[0].positions, (std::vector<std::uint64_t>{0, 1, 4}));
  EXPECT_EQ(table->binned_value(0, 4), 1);
  EXPECT_EQ(table->binned_value(0, 3), 0);
  // A canary lists as many rows as its source.
  EXPECT_EQ(table->sparse_binned_columns()[2].positions.size(), 3U);
  EXPECT_TRUE(table->sparse_binned_columns()[3].positions.empty());
}

TEST(Table, BinnedFeatureLayoutPutsCanariesCopyByCopy) {
  const Table table = build({{1, 2, 3}, {4, 5, 6}, {7, 8, 9.5}, {0, 1, 0}}, 2);
  EXPECT_EQ(table.binned_feature_count(), 9U);
  EXPECT_EQ(table.canaries(), 2U);
  EXPECT_EQ(table.binned_column_kind(7), BinnedColumnKind::canary(1, 1));
  EXPECT_EQ(table.binned_column_kind(2), BinnedColumnKind::real(2));
  for (std::uint64_t i = 0; i < 9; ++i) EXPECT_EQ(table.is_canary_binned_feature(i), i >= 3) << i;
  EXPECT_EQ(table.numeric_bin_cap(), 128U);
  EXPECT_EQ(build({{1}, {2}}, 0, NumericBins::fixed(16)).numeric_bin_cap(), 16U);
  EXPECT_THROW(table.binned_value(9, 0), InternalError);
  EXPECT_THROW(table.feature_value(0, 4), InternalError);
  EXPECT_THROW(table.is_binary_feature(3), InternalError);
}

TEST(Table, CanariesAreSeededShufflesOfTheirSourceColumn) {
  Rows rows;
  for (int r = 0; r < 50; ++r) rows.push_back({r % 2 == 0 ? 1.0 : 0.0, r * 0.5, double(r % 7)});
  const Table first = build(rows, 2);
  const Table second = build(rows, 2);
  EXPECT_EQ(first.dense_binned_columns(), second.dense_binned_columns());

  const std::uint64_t n = 50;
  EXPECT_EQ(canary_seed(2, 1, n), 2ULL ^ (1ULL << 32) ^ 0xA11CE5EEDULL ^ (n << 16));
  // Position 3 + 1*3 + 2 = 8 is copy 1 of feature 2: Fisher-Yates from the last position down.
  std::vector<std::uint8_t> expected = first.dense_binned_columns()[2].u8;
  platform::ChaCha12Rng rng(canary_seed(2, 1, n));
  for (std::size_t i = expected.size() - 1; i >= 1; --i) {
    std::swap(expected[i], expected[rng.uniform_below(i + 1)]);
  }
  EXPECT_EQ(first.dense_binned_columns()[8].u8, expected);

  // A boolean feature's canary is boolean with as many true values.
  const BinnedFeatureColumn& boolean_canary = first.dense_binned_columns()[3];
  ASSERT_EQ(boolean_canary.kind, BinnedFeatureColumn::Kind::Binary);
  EXPECT_EQ(boolean_canary.bits.count_ones(), first.dense_binned_columns()[0].bits.count_ones());
  EXPECT_NE(boolean_canary.bits, first.dense_binned_columns()[0].bits);
}

// The same data given as rows or as columns gives the same table.
TEST(Table, ColumnsAndRowsBuildTheSameTable) {
  const Rows rows{{1, 0, 3}, {2, 1, 3}, {0.5, 1, 3}};
  auto from_rows = Table::with_options(rows, {1, 2, 3}, 1, NumericBins::fixed(4));
  auto from_columns = Table::from_feature_columns_with_options(
      {{1, 2, 0.5}, {0, 1, 1}, {3, 3, 3}}, 3, {1, 2, 3}, 1, NumericBins::fixed(4));
  ASSERT_TRUE(from_rows && from_columns);
  EXPECT_EQ(from_rows->dense_binned_columns(), from_columns->dense_binned_columns());
  EXPECT_EQ(from_rows->feature_preprocessing(), from_columns->feature_preprocessing());
  EXPECT_EQ(from_rows->targets(), from_columns->targets());

  auto no_rows = Table::from_feature_columns_with_options({{}, {}}, 0, {}, 2, NumericBins::automatic());
  ASSERT_TRUE(no_rows);
  EXPECT_EQ(no_rows->n_features(), 0U);
}

// Hot loops read resolved columns; they must agree with the per-value operations everywhere.
TEST(Table, ColumnViewsAgreeWithPerValueReads) {
  Rows dense_rows;
  for (int r = 0; r < 300; ++r) {
    dense_rows.push_back({double(r % 2), double(r) * 1.5, double((r * 7) % 13)});
  }
  Rows sparse_rows;
  for (int r = 0; r < 40; ++r) sparse_rows.push_back({double(r % 3 == 0), double(r % 5 == 1)});
  std::vector<Table> tables;
  tables.push_back(build(dense_rows, 2));
  tables.push_back(build(dense_rows, 1, NumericBins::fixed(400)));
  tables.push_back(build(sparse_rows, 2));
  ASSERT_EQ(tables[1].dense_binned_columns()[1].kind, BinnedFeatureColumn::Kind::U16);
  for (const Table& table : tables) {
    for (std::uint64_t f = 0; f < table.binned_feature_count(); ++f) {
      const BinnedColumnView view = table.binned_column_view(f);
      ASSERT_EQ(view.n_rows, table.n_rows());
      for (std::uint64_t row = 0; row < table.n_rows(); ++row) {
        ASSERT_EQ(view.value(row), table.binned_value(f, row)) << f << " " << row;
        const auto boolean = table.binned_boolean_value(f, row);
        ASSERT_EQ(boolean.has_value(), table.is_binary_binned_feature(f));
        if (boolean) {
          ASSERT_EQ(*boolean, view.value(row) == 1);
        }
      }
    }
  }
}

TEST(Table, PreprocessingComputedAtConstructionEqualsRecomputation) {
  Rows rows;
  for (int r = 0; r < 300; ++r) {
    rows.push_back({double(r % 2), double((r * 37) % 101) - 50.0, r % 3 == 0 ? -0.0 : 0.0,
                    double(r % 4 == 0)});
  }
  for (const NumericBins bins : {NumericBins::automatic(), NumericBins::fixed(3)}) {
    const Table table = build(rows, 1, bins);
    const auto preprocessing = table.feature_preprocessing();
    EXPECT_EQ(preprocessing, table.compute_feature_preprocessing());
    ASSERT_EQ(preprocessing.size(), 4U);
    EXPECT_EQ(preprocessing[0].kind, FeaturePreprocessing::Kind::Binary);
    EXPECT_EQ(preprocessing[1].kind, FeaturePreprocessing::Kind::Numeric);
  }
  const Table sparse = build({{1, 0}, {0, 0}});
  EXPECT_EQ(sparse.feature_preprocessing(), sparse.compute_feature_preprocessing());
  EXPECT_EQ(sparse.feature_preprocessing(),
            (std::vector<FeaturePreprocessing>{FeaturePreprocessing::binary(),
                                               FeaturePreprocessing::binary()}));
}

}  // namespace
}  // namespace arborvane::data

namespace arborvane::data {
namespace {

// Large tables bin their columns on several threads; each column must come out exactly as
// binning it alone would.
TEST(Table, LargeTablesEqualColumnByColumnConstruction) {
  const std::size_t n_rows = 40000;
  const std::size_t n_features = 30;
  std::vector<std::vector<double>> columns(n_features, std::vector<double>(n_rows));
  std::uint64_t state = 12345;
  for (std::size_t f = 0; f < n_features; ++f) {
    for (double& value : columns[f]) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      value = f % 5 == 0 ? double((state >> 40) & 1) : double(state >> 44) / 7.0;
    }
  }
  auto table = Table::from_feature_columns_with_options(columns, n_rows,
                                                        std::vector<double>(n_rows, 0.0), 2,
                                                        NumericBins::automatic());
  ASSERT_TRUE(table.has_value());
  for (std::size_t f = 0; f < n_features; ++f) {
    const BinnedFeatureColumn expected = build_binned_feature_column(columns[f], NumericBins::automatic());
    ASSERT_EQ(table->dense_binned_columns()[f], expected) << f;
    for (std::uint64_t c = 0; c < 2; ++c) {
      ASSERT_EQ(table->dense_binned_columns()[n_features * (1 + c) + f],
                shuffle_canary_column(expected, c, f))
          << f << " copy " << c;
    }
  }
  EXPECT_EQ(table->feature_preprocessing(), table->compute_feature_preprocessing());
}

}  // namespace
}  // namespace arborvane::data
