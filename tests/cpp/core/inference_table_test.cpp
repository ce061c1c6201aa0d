#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/lib/inference_table.hpp"

namespace arborvane::core {
namespace {

using data::FeaturePreprocessing;
using Preprocessing = std::vector<FeaturePreprocessing>;

const Preprocessing kMixed{FeaturePreprocessing::binary(),
                           FeaturePreprocessing::numeric({{0, 2.0}, {1, 5.0}}),
                           FeaturePreprocessing::binary()};

std::string error_text(const std::expected<InferenceTable, PredictError>& result) {
  EXPECT_FALSE(result.has_value());
  return result.has_value() ? "" : result.error().to_string();
}

TEST(InferenceTable, NumericValuesTakeTheFirstBoundaryNotBelowThem) {
  const std::vector<data::NumericBinBoundary> boundaries{{0, 2.0}, {1, 5.0}};
  EXPECT_EQ(bin_for_value(boundaries, 2.0), 0);
  EXPECT_EQ(bin_for_value(boundaries, -100.0), 0);
  EXPECT_EQ(bin_for_value(boundaries, 2.5), 1);
  EXPECT_EQ(bin_for_value(boundaries, 5.0), 1);
  EXPECT_EQ(bin_for_value(boundaries, 7.0), 1);
  EXPECT_EQ(bin_for_value(boundaries, NAN), 1);
  EXPECT_EQ(bin_for_value(boundaries, INFINITY), 1);
  EXPECT_EQ(bin_for_value({}, 3.0), 0);
  // A NaN bound makes the list unsearchable; the in-order rule still holds.
  const std::vector<data::NumericBinBoundary> with_nan{{0, 1.0}, {3, 4.0}, {5, NAN}};
  EXPECT_EQ(bin_for_value(with_nan, 3.0), 3);
  EXPECT_EQ(bin_for_value(with_nan, 9.0), 5);
  EXPECT_EQ(bin_for_value(with_nan, NAN), 5);
}

TEST(InferenceTable, RowsBecomeBinnedColumns) {
  auto table = InferenceTable::from_rows({{1, 2.5, 0}, {0, 9, 1}}, kMixed, 3);
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->n_rows(), 2U);
  EXPECT_EQ(table->n_features(), 3U);
  EXPECT_EQ(table->binned_feature_count(), 3U);
  EXPECT_EQ(table->canaries(), 0U);
  EXPECT_EQ(table->numeric_bin_cap(), 128U);
  EXPECT_EQ(table->binned_value(1, 0), 1);
  EXPECT_EQ(table->feature_value(1, 1), 9.0);
  EXPECT_EQ(table->binned_boolean_value(0, 0), std::optional<bool>(true));
  EXPECT_EQ(table->binned_boolean_value(1, 0), std::nullopt);
  EXPECT_EQ(table->feature_value(2, 1), 1.0);
  EXPECT_EQ(table->target_value(1), 0.0);
  EXPECT_EQ(table->binned_column_kind(2), data::BinnedColumnKind::real(2));
  EXPECT_FALSE(table->is_canary_binned_feature(2));
  for (std::uint64_t f = 0; f < 3; ++f) {
    const data::BinnedColumnView view = table->binned_column_view(f);
    for (std::uint64_t row = 0; row < 2; ++row) EXPECT_EQ(view.value(row), table->binned_value(f, row));
  }

  auto empty = InferenceTable::from_rows({}, kMixed, 3);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->n_rows(), 0U);
}

TEST(InferenceTable, MalformedInputIsReportedInOrder) {
  const std::vector<std::pair<std::expected<InferenceTable, PredictError>, std::string>> cases{
      {InferenceTable::from_rows({{0, 1, 0}, {0, 1, 0}, {0, 1}}, kMixed, 3),
       "Ragged inference row at index 2: expected 3 columns, found 2."},
      {InferenceTable::from_columns({{0}, {1}}, kMixed, 3),
       "Inference input has 2 features, but the model expects 3."},
      {InferenceTable::from_columns({{0, 0, 0, 0.5}, {1, 1, 1, 1}, {0, 0, 0, 0}}, kMixed, 3),
       "Feature 0 at row 3 must be binary for inference, found 0.5."},
      {InferenceTable::from_columns({{-0.0}, {1}, {0}}, kMixed, 3),
       "Feature 0 at row 0 must be binary for inference, found -0."},
      {InferenceTable::from_columns({{NAN}, {1}, {0}}, kMixed, 3),
       "Feature 0 at row 0 must be binary for inference, found NaN."},
      {InferenceTable::from_columns({{0, 1}, {1, 2}, {0}}, kMixed, 3),
       "Feature 'f2' has 1 values, expected 2."},
      {InferenceTable::from_named_columns({{"f0", {0}}, {"f1", {1}}}, kMixed, 3),
       "Missing required feature 'f2'."},
      {InferenceTable::from_named_columns({{"f0", {0}}, {"f1", {1}}, {"f2", {0}}, {"x", {1}}},
                                          kMixed, 3),
       "Unexpected feature 'x'."},
      {InferenceTable::from_named_columns(
           {{"f0", {0, 0, 0, 0}}, {"f1", {1, 1, 1, 1}}, {"f2", {0, 0, 0}}}, kMixed, 3),
       "Feature 'f2' has 3 values, expected 4."},
      {InferenceTable::from_sparse_binary_columns(10, 3, {{}, {1}, {}}, kMixed),
       "Feature 1 at row 0 must be binary for inference, found 1."},
      {InferenceTable::from_sparse_binary_columns(10, 3, {{10}, {}, {}}, kMixed),
       "Feature 'f0' has 11 values, expected 10."},
      {InferenceTable::from_sparse_binary_columns(10, 2, {{}, {}}, kMixed),
       "Inference input has 2 features, but the model expects 3."},
      {InferenceTable::from_row_major_matrix_columns({{1}, {2}}, 1, kMixed, 3),
       "Ragged inference row at index 0: expected 3 columns, found 2."},
  };
  for (const auto& [result, text] : cases) EXPECT_EQ(error_text(result), text);
}

TEST(InferenceTable, NamedColumnsAcceptModelNamesInAnyFormTheParserTakes) {
  // Extra names that parse as model features pass the name check; the columns used are f0..fn.
  auto table = InferenceTable::from_named_columns(
      {{"f0", {1}}, {"f1", {3}}, {"f2", {0}}, {"f+1", {7}}}, kMixed, 3);
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->feature_value(1, 0), 3.0);
  auto sparse = InferenceTable::from_sparse_binary_columns(
      3, 1, {{2, 0}}, Preprocessing{FeaturePreprocessing::binary()});
  ASSERT_TRUE(sparse.has_value());
  EXPECT_EQ(sparse->binned_value(0, 0), 1);
  EXPECT_EQ(sparse->binned_value(0, 1), 0);
  EXPECT_EQ(sparse->binned_value(0, 2), 1);
}

TEST(InferenceTable, ErrorsHaveADebugFormWithFieldNames) {
  EXPECT_EQ((PredictError{PredictError::RaggedRows{2, 3, 2}}.debug_string()),
            "RaggedRows { row: 2, expected: 3, actual: 2 }");
  EXPECT_EQ((PredictError{PredictError::InvalidBinaryValue{0, 3, 0.5}}.debug_string()),
            "InvalidBinaryValue { feature_index: 0, row_index: 3, value: 0.5 }");
  EXPECT_EQ(PredictError{PredictError::ProbabilityPredictionRequiresClassification{}}.to_string(),
            "predict_proba is only available for classification models.");
}

}  // namespace
}  // namespace arborvane::core

namespace arborvane::core {
namespace {

// Whole columns are binned in blocks; every value must land where the one-value rule says.
TEST(InferenceTable, ColumnBinningMatchesTheOneValueRule) {
  std::vector<data::NumericBinBoundary> boundaries;
  for (std::uint16_t b = 0; b < 100; ++b) boundaries.push_back({std::uint16_t(b * 2), b * 1.5 - 20.0});
  const Preprocessing preprocessing{FeaturePreprocessing::numeric(boundaries)};
  std::vector<double> values;
  for (int i = 0; i < 1000; ++i) values.push_back((i * 7919 % 400) * 0.5 - 60.0);
  values[17] = NAN;
  values[18] = INFINITY;
  values[19] = -INFINITY;
  values[20] = -0.0;
  auto table = InferenceTable::from_columns({values}, preprocessing, 1);
  ASSERT_TRUE(table.has_value());
  for (std::size_t row = 0; row < values.size(); ++row) {
    ASSERT_EQ(table->binned_value(0, row), bin_for_value(boundaries, values[row])) << row;
  }
}

}  // namespace
}  // namespace arborvane::core
