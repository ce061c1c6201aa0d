// The fast paths of boosting against their straightforward versions: score updates from packed
// records against tree prediction, gathered bins against packing a view, the parallel gradient
// order against a stable sort, each compared bit for bit with and without a pool.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <compare>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/boosting/goss.hpp"
#include "core/boosting/score_update.hpp"
#include "core/forest/table_views.hpp"
#include "core/tree/second_order.hpp"
#include "core/tree/second_order_bins.hpp"
#include "data/table.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {
namespace {

using second_order::PackedBins;

platform::ThreadPool* const no_pool = nullptr;

std::unique_ptr<platform::ThreadPool> make_pool(std::size_t threads) {
  auto pool = platform::ThreadPool::create(threads);
  EXPECT_TRUE(pool.has_value());
  return std::move(*pool);
}

// Normal features, one 0/1 feature and one with few values; one canary per feature.
data::Table mixed_table(std::size_t rows, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<std::vector<double>> x(rows);
  std::vector<double> y(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t f = 0; f < 4; ++f) x[r].push_back(normal(rng));
    x[r].push_back(static_cast<double>(rng() % 2));
    x[r].push_back(static_cast<double>(rng() % 5));
    y[r] = 2.0 * x[r][0] + x[r][1] * x[r][4] + 0.3 * normal(rng);
  }
  return *data::Table::with_options(std::move(x), std::move(y), 1,
                                    data::NumericBins::automatic());
}

std::vector<std::uint64_t> random_rows(std::size_t count, std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint64_t> rows(count);
  for (std::uint64_t& row : rows) row = rng() % n;
  return rows;
}

struct Derivatives {
  std::vector<double> gradients;
  std::vector<double> hessians;
};

Derivatives random_derivatives(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  Derivatives d;
  for (std::size_t r = 0; r < n; ++r) {
    d.gradients.push_back(normal(rng));
    d.hessians.push_back(std::fabs(normal(rng)) + 0.01);
  }
  return d;
}

SecondOrderTreeOptions tree_options(std::uint64_t depth) {
  return SecondOrderTreeOptions{.max_features = 3,
                                .max_depth = depth,
                                .min_samples_split = 2,
                                .min_samples_leaf = 1,
                                .seed = 17,
                                .l2_regularization = 1.0,
                                .min_sum_hessian_in_leaf = 0.001,
                                .min_gain_to_split = 0.0};
}

class BoostingKernels : public ::testing::TestWithParam<TreeType> {};

TEST_P(BoostingKernels, ScoreUpdateEqualsAddingTreePredictions) {
  const data::Table table = mixed_table(40000, 3);
  const PackedBins packed =
      PackedBins::pack(table, second_order::describe_features(table), nullptr);
  const auto pool = make_pool(2);
  for (const std::uint64_t depth : {0, 1, 6}) {
    const Derivatives d = random_derivatives(table.n_rows(), 5 + depth);
    const auto grown = train_second_order_regressor(table, d.gradients, d.hessians, GetParam(),
                                                    nullptr, tree_options(depth));
    ASSERT_TRUE(grown.has_value());
    const std::vector<double> predictions = grown->tree.predict_table(table);
    std::vector<double> expected(table.n_rows());
    for (std::size_t r = 0; r < expected.size(); ++r) {
      expected[r] = 0.25 * static_cast<double>(r % 7);
      expected[r] += 0.1 * predictions[r];
    }
    for (platform::ThreadPool* workers : {no_pool, pool.get()}) {
      std::vector<double> raw(table.n_rows());
      for (std::size_t r = 0; r < raw.size(); ++r) raw[r] = 0.25 * static_cast<double>(r % 7);
      add_tree_scores(grown->tree, packed, 0.1, raw, workers);
      EXPECT_EQ(raw, expected) << "depth " << depth << (workers ? " with pool" : "");
    }
  }
}

TEST_P(BoostingKernels, PrepackedViewGrowsTheSameTree) {
  const data::Table table = mixed_table(40000, 4);
  const PackedBins packed =
      PackedBins::pack(table, second_order::describe_features(table), nullptr);
  const auto pool = make_pool(2);
  const std::vector<std::uint64_t> rows = random_rows(30000, table.n_rows(), 9);
  const SampledTable view(table, rows);
  const Derivatives d = random_derivatives(rows.size(), 11);
  const auto expected = train_second_order_regressor(view, d.gradients, d.hessians, GetParam(),
                                                     nullptr, tree_options(8));
  ASSERT_TRUE(expected.has_value());
  for (platform::ThreadPool* workers : {static_cast<platform::ThreadPool*>(nullptr), pool.get()}) {
    const auto grown =
        train_second_order_regressor(view, d.gradients, d.hessians, GetParam(), workers,
                                     tree_options(8), PrepackedRows{&packed, view.rows()});
    ASSERT_TRUE(grown.has_value());
    EXPECT_EQ(grown->tree, expected->tree);
    EXPECT_EQ(grown->root_canary, expected->root_canary);
  }
}

INSTANTIATE_TEST_SUITE_P(TreeTypes, BoostingKernels,
                         ::testing::Values(TreeType::Cart, TreeType::Randomized,
                                           TreeType::Oblivious));

TEST(BoostingKernelBins, GatherEqualsPackingTheView) {
  const data::Table table = mixed_table(5000, 6);
  const auto features = second_order::describe_features(table);
  const PackedBins base = PackedBins::pack(table, features, nullptr);
  const std::vector<std::uint64_t> rows = random_rows(3000, table.n_rows(), 2);
  const PackedBins expected = PackedBins::pack(SampledTable(table, rows), features, nullptr);
  const auto pool = make_pool(2);
  for (platform::ThreadPool* workers : {static_cast<platform::ThreadPool*>(nullptr), pool.get()}) {
    const PackedBins gathered = PackedBins::gather(base, rows, workers);
    ASSERT_EQ(gathered.row_count(), rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      for (std::size_t f = 0; f < features.size(); ++f) {
        ASSERT_EQ(gathered.bin(static_cast<RowIndex>(r), f),
                  expected.bin(static_cast<RowIndex>(r), f))
            << r << " " << f;
      }
    }
  }
}

// Large enough for the parallel passes; few distinct magnitudes make long runs of equal keys,
// near-equal ones make runs that share their high key bits only.
TEST(BoostingKernelGoss, ParallelOrderMatchesAStableSortOracle) {
  const auto pool = make_pool(2);
  std::mt19937 rng(21);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const bool few_values : {true, false}) {
    const std::size_t n = 150000;
    std::vector<double> gradients(n);
    for (double& g : gradients) {
      g = few_values ? static_cast<double>(static_cast<int>(rng() % 9) - 4) * 0.125
                     : 0.5 + normal(rng) * 1e-9;
    }
    std::vector<std::uint64_t> candidates(n);
    for (std::size_t i = 0; i < n; ++i) candidates[i] = i;
    std::vector<std::uint64_t> expected = candidates;
    std::stable_sort(expected.begin(), expected.end(), [&](std::uint64_t a, std::uint64_t b) {
      return std::strong_order(std::fabs(gradients[a]), std::fabs(gradients[b])) > 0;
    });
    const GossFractions fractions{0.2, 0.1};
    const GossSample serial = select_goss_rows(candidates, gradients, fractions, 77);
    GossBuffers buffers;
    const GossSample parallel =
        select_goss_rows(candidates, gradients, fractions, 77, buffers, pool.get());
    EXPECT_EQ(parallel.rows, serial.rows);
    EXPECT_EQ(parallel.top_count, serial.top_count);
    ASSERT_GE(serial.rows.size(), serial.top_count);
    EXPECT_TRUE(std::equal(serial.rows.begin(),
                           serial.rows.begin() + static_cast<std::ptrdiff_t>(serial.top_count),
                           expected.begin()));
    // With every row on top the sample is the whole order.
    EXPECT_EQ(select_goss_rows(candidates, gradients, GossFractions{1.0, 0.0}, 77, buffers,
                               pool.get())
                  .rows,
              expected);
    // The buffers carry nothing over from one call to the next.
    const GossSample again =
        select_goss_rows(candidates, gradients, fractions, 77, buffers, pool.get());
    EXPECT_EQ(again.rows, serial.rows);
  }
}

}  // namespace
}  // namespace arborvane::core
