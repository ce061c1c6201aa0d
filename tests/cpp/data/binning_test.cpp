#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/lib/inference_table.hpp"
#include "data/binning.hpp"

namespace arborvane::data {
namespace {

std::vector<std::uint16_t> bins_of(const BinnedFeatureColumn& column) {
  std::vector<std::uint16_t> out;
  for (std::size_t row = 0; row < column.size(); ++row) out.push_back(column.value(row));
  return out;
}

struct BinningCase {
  const char* name;
  std::vector<double> values;
  NumericBins bins;
  std::vector<std::uint16_t> expected_bins;
  std::vector<NumericBinBoundary> expected_boundaries;
};

TEST(Binning, RankBinsAndBoundariesFollowTheRules) {
  const std::vector<double> one_to_eight{1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<BinningCase> cases{
      {"ties never straddle bins", {3, 1, 2, 2}, NumericBins::automatic(), {1, 0, 0, 0},
       {{0, 2.0}, {1, 3.0}}},
      {"auto uses a power of two of at most n/2 bins", one_to_eight, NumericBins::automatic(),
       {0, 0, 1, 1, 2, 2, 3, 3}, {{0, 2}, {1, 4}, {2, 6}, {3, 8}}},
      {"fixed bins wider than the distinct count", one_to_eight, NumericBins::fixed(128),
       {0, 1, 2, 3, 4, 5, 6, 7},
       {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}}},
      {"fixed bins spread ranks linearly", one_to_eight, NumericBins::fixed(4),
       {0, 0, 0, 1, 1, 2, 2, 3}, {{0, 3}, {1, 5}, {2, 7}, {3, 8}}},
      {"constant column, auto", {5, 5, 5}, NumericBins::automatic(), {0, 0, 0}, {{0, 5}}},
      {"constant column, fixed", {5, 5, 5}, NumericBins::fixed(16), {0, 0, 0}, {{0, 5}}},
      {"signed zeros are distinct values", {-0.0, 0.0, 2.0, -0.0}, NumericBins::fixed(8),
       {0, 1, 2, 0}, {{0, -0.0}, {1, 0.0}, {2, 2.0}}},
      {"one value", {7.5}, NumericBins::automatic(), {0}, {{0, 7.5}}},
      {"infinities and NaN sort by total order", {NAN, -INFINITY, 1.0, INFINITY},
       NumericBins::fixed(4), {3, 0, 1, 2}, {{0, -INFINITY}, {1, 1.0}, {2, INFINITY}, {3, NAN}}},
  };
  for (const BinningCase& c : cases) {
    SCOPED_TRACE(c.name);
    const BinnedFeatureColumn column = build_binned_feature_column(c.values, c.bins);
    EXPECT_EQ(column.kind, BinnedFeatureColumn::Kind::U8);
    EXPECT_EQ(bins_of(column), c.expected_bins);
    EXPECT_EQ(numeric_bin_boundaries(c.values, c.bins), c.expected_boundaries);
    const NumericBinning both = bin_numeric_column(c.values, c.bins);
    EXPECT_EQ(both.column, column);
    EXPECT_EQ(both.boundaries, c.expected_boundaries);
  }
}

TEST(Binning, ZerosAndOnesStayBooleanUntilAnotherValueAppears) {
  const BinnedFeatureColumn binary = build_binned_feature_column(std::vector<double>{0.0, 1.0, 1.0}, NumericBins::automatic());
  ASSERT_EQ(binary.kind, BinnedFeatureColumn::Kind::Binary);
  EXPECT_EQ(bins_of(binary), (std::vector<std::uint16_t>{0, 1, 1}));
  EXPECT_EQ(build_binned_feature_column({}, NumericBins::automatic()).kind,
            BinnedFeatureColumn::Kind::Binary);

  const BinnedFeatureColumn numeric =
      build_binned_feature_column(std::vector<double>{0.0, 1.0, 1.0, 2.0}, NumericBins::fixed(8));
  EXPECT_EQ(numeric.kind, BinnedFeatureColumn::Kind::U8);
  EXPECT_EQ(bins_of(numeric), (std::vector<std::uint16_t>{0, 1, 1, 2}));
  EXPECT_EQ(build_binned_feature_column(std::vector<double>{-0.0, 1.0}, NumericBins::automatic()).kind,
            BinnedFeatureColumn::Kind::U8);
  EXPECT_TRUE(numeric_bin_boundaries({}, NumericBins::automatic()).empty());
}

TEST(Binning, MoreThan256BinsAreStoredIn16Bits) {
  std::vector<double> values(600);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(599 - i);
  const BinnedFeatureColumn column = build_binned_feature_column(values, NumericBins::fixed(300));
  ASSERT_EQ(column.kind, BinnedFeatureColumn::Kind::U16);
  EXPECT_EQ(column.value(0), 299);  // the largest value
  EXPECT_EQ(column.value(599), 0);
  // A request beyond what 16 bits can number keeps the most that can be numbered.
  std::vector<double> many(70000);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<double>(i);
  const BinnedFeatureColumn wide = build_binned_feature_column(many, NumericBins::fixed(70000));
  EXPECT_EQ(wide.value(0), 0);
  EXPECT_EQ(wide.value(69999), 65535);
  EXPECT_EQ(wide.value(35000), 35000 * 65535ULL / 69999);
}

// Mapping every training value through the boundaries gives back its training bin: what makes
// inference bins equal training bins. (Not for -0.0 beside +0.0 in another bin: inference
// compares with IEEE equality, under which the two zeros are one value.)
TEST(Binning, BoundariesReproduceTrainingBins) {
  std::mt19937_64 random(7);
  for (const NumericBins bins : {NumericBins::automatic(), NumericBins::fixed(5),
                                 NumericBins::fixed(128), NumericBins::fixed(1000)}) {
    for (const std::size_t n : {2UL, 9UL, 300UL, 5000UL}) {
      std::vector<double> values(n);
      std::uniform_int_distribution<int> pick(0, 40);
      for (double& v : values) {
        const int k = pick(random);
        v = k == 0 ? std::numeric_limits<double>::quiet_NaN()
            : k == 1 ? INFINITY
            : k == 2 ? -INFINITY
            : std::ldexp(static_cast<double>(random() % 1000) - 500.0, static_cast<int>(random() % 8));
      }
      SCOPED_TRACE(n);
      const NumericBinning binning = bin_numeric_column(values, bins);
      for (std::size_t row = 0; row < n; ++row) {
        ASSERT_EQ(core::bin_for_value(binning.boundaries, values[row]), binning.column.value(row))
            << "value " << values[row];
      }
      for (std::size_t i = 1; i < binning.boundaries.size(); ++i) {
        ASSERT_LT(binning.boundaries[i - 1].bin, binning.boundaries[i].bin);
      }
    }
  }
}

}  // namespace
}  // namespace arborvane::data
