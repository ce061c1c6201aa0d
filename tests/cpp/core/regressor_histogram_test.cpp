#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <ostream>
#include <string>

#include "core/tree/learner.hpp"
#include "core/tree/regression_growth.hpp"
#include "core/tree/regression_histogram.hpp"
#include "core/tree/regression_split.hpp"
#include "core/tree/regressor.hpp"
#include "tests/cpp/core/regressor_test_tables.hpp"

namespace arborvane::core {
namespace {

using testing::random_table;

std::vector<data::BinnedColumnView> views_of(const data::TableAccess& table) {
  std::vector<data::BinnedColumnView> views;
  for (std::uint64_t f = 0; f < table.binned_feature_count(); ++f) {
    views.push_back(table.binned_column_view(f));
  }
  return views;
}

std::vector<double> targets_of(const data::TableAccess& table, std::span<const RowIndex> rows) {
  std::vector<double> targets;
  for (const RowIndex row : rows) targets.push_back(table.target_value(row));
  return targets;
}

void expect_close(double actual, double expected, const std::string& what) {
  EXPECT_NEAR(actual, expected, 1e-9 * std::max(1.0, std::abs(expected))) << what;
}

// The larger child's histograms obtained by subtraction count exactly what direct counting
// does, and lead to the same split choice for every feature.
TEST(RegressionHistogram, SubtractionMatchesDirectCounting) {
  const data::Table table = random_table(3000, 6, 2, 1, 17);
  const std::vector<data::BinnedColumnView> views = views_of(table);
  const auto layout = RegressionHistogramLayout::for_table(table);
  std::vector<RowIndex> rows = all_rows(table);

  RegressionHistograms parent(layout);
  build_regression_histograms(views, rows, targets_of(table, rows), parent, nullptr);
  auto pool = platform::ThreadPool::create(3);
  ASSERT_TRUE(pool.has_value());
  RegressionHistograms parallel(layout);
  build_regression_histograms(views, rows, targets_of(table, rows), parallel, pool->get());
  EXPECT_EQ(parallel, parent);

  const std::size_t left_count = partition_rows(rows, views[1], 40);
  const std::span<const RowIndex> left = std::span<const RowIndex>(rows).first(left_count);
  const std::span<const RowIndex> right = std::span<const RowIndex>(rows).subspan(left_count);
  ASSERT_GT(left.size(), 100U);
  ASSERT_GT(right.size(), 100U);

  RegressionHistograms small(layout);
  build_regression_histograms(views, left, targets_of(table, left), small, nullptr);
  RegressionHistograms direct(layout);
  const std::vector<double> right_targets = targets_of(table, right);
  build_regression_histograms(views, right, right_targets, direct, nullptr);
  RegressionHistograms subtracted = parent;
  subtract_regression_histograms(subtracted, small, nullptr);

  const RegressionNodeScore node{.rows = right,
                                 .targets = right_targets,
                                 .sums = TargetSums::of(right_targets),
                                 .loss = 0.0,
                                 .min_samples_leaf = 5};
  for (std::uint64_t f = 0; f < layout.feature_count(); ++f) {
    SCOPED_TRACE("feature " + std::to_string(f));
    const auto d = direct.feature(f);
    const auto s = subtracted.feature(f);
    for (std::size_t b = 0; b < d.size(); ++b) {
      ASSERT_EQ(s[b].count, d[b].count) << "bin " << b;
      expect_close(s[b].sum, d[b].sum, "sum");
      expect_close(s[b].sum_sq, d[b].sum_sq, "sum of squares");
    }
    EXPECT_EQ(observed_bins(s), observed_bins(d));
    for (const TreeType type : {TreeType::Cart, TreeType::Randomized}) {
      const auto from_direct = score_mean_split(d, layout.is_binary(f), f, type, node);
      const auto from_subtracted = score_mean_split(s, layout.is_binary(f), f, type, node);
      ASSERT_EQ(from_direct.has_value(), from_subtracted.has_value());
      if (!from_direct) continue;
      EXPECT_EQ(from_subtracted->threshold_bin, from_direct->threshold_bin);
      expect_close(from_subtracted->gain, from_direct->gain, "gain");
    }
  }
}

TEST(RegressionHistogram, MismatchedShapesAreRefused) {
  const data::Table wide = random_table(20, 3, 0, 0, 1);
  const data::Table narrow = random_table(20, 2, 0, 0, 1);
  const auto wide_layout = RegressionHistogramLayout::for_table(wide);
  const auto narrow_layout = RegressionHistogramLayout::for_table(narrow);
  RegressionHistograms a(wide_layout);
  const RegressionHistograms b(narrow_layout);
  try {
    subtract_regression_histograms(a, b, nullptr);
    FAIL() << "no failure";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "histogram shapes must match");
  }
}

// A deliberately plain grower: per-value table reads, sums straight from rows, every threshold
// tried. The learner must build the same tree (same arena order, splits and counts).
struct NaiveNode {
  bool leaf = true;
  std::uint64_t feature = 0;
  std::uint16_t threshold = 0;
  std::uint64_t left = 0;
  std::uint64_t right = 0;
  std::uint64_t count = 0;
  double value = 0.0;  // leaves
  double gain = 0.0;   // splits
};

class NaiveGrower {
 public:
  NaiveGrower(const data::TableAccess& table, TreeType type, Criterion criterion,
              const DecisionTreeOptions& options)
      : table_(table), type_(type), criterion_(criterion), options_(options) {
    for (std::uint64_t r = 0; r < table.n_rows(); ++r) targets_.push_back(table.target_value(r));
  }

  std::vector<NaiveNode> grow() {
    std::vector<RowIndex> rows = all_rows(table_);
    grow(rows, 0);
    return nodes_;
  }

 private:
  struct Choice {
    std::uint64_t feature;
    std::uint16_t threshold;
    double gain;
  };

  std::uint64_t grow(std::span<RowIndex> rows, std::uint64_t depth) {
    const std::uint64_t n = rows.size();
    bool constant = true;
    for (const RowIndex r : rows) constant = constant && targets_[r] == targets_[rows[0]];
    std::optional<Choice> best;
    if (depth < options_.max_depth && n >= options_.min_samples_split && !constant) {
      std::vector<std::uint64_t> candidates(table_.binned_feature_count());
      std::iota(candidates.begin(), candidates.end(), 0);
      if (options_.max_features) {
        candidates = sample_feature_subset(
            candidates.size(), *options_.max_features,
            node_seed(depth, options_.seed, seed_salt::kRegressionNode, rows));
      }
      for (const std::uint64_t f : candidates) {
        const std::optional<Choice> choice = score(rows, f);
        if (choice && (!best || choice->gain >= best->gain)) best = choice;
      }
    }
    if (!best || table_.is_canary_binned_feature(best->feature) || !(best->gain > 0.0)) {
      NaiveNode leaf;
      leaf.count = n;
      leaf.value = criterion_ == Criterion::Mean ? sums(rows).mean() : median(rows, targets_);
      nodes_.push_back(leaf);
      return nodes_.size() - 1;
    }
    // The learner's documented partition: left rows keep their order, right rows get swapped.
    std::size_t left = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (bin(best->feature, rows[i]) <= best->threshold) std::swap(rows[left++], rows[i]);
    }
    NaiveNode split;
    split.leaf = false;
    split.feature = best->feature;
    split.threshold = best->threshold;
    split.count = n;
    split.gain = best->gain;
    split.left = grow(rows.first(left), depth + 1);
    split.right = grow(rows.subspan(left), depth + 1);
    nodes_.push_back(split);
    return nodes_.size() - 1;
  }

  std::uint16_t bin(std::uint64_t f, RowIndex r) const {
    if (table_.is_binary_binned_feature(f)) return *table_.binned_boolean_value(f, r) ? 1 : 0;
    return table_.binned_value(f, r);
  }

  TargetSums sums(std::span<const RowIndex> rows) const {
    TargetSums s;
    for (const RowIndex r : rows) {
      s.sum += targets_[r];
      s.sum_sq += targets_[r] * targets_[r];
      ++s.count;
    }
    return s;
  }

  // Gain of splitting rows at bin <= t, or nothing when a side is too small.
  std::optional<double> gain_at(std::span<const RowIndex> rows, std::uint64_t f,
                                std::uint16_t t) const {
    std::vector<RowIndex> copy(rows.begin(), rows.end());
    std::size_t left = 0;
    for (std::size_t i = 0; i < copy.size(); ++i) {
      if (bin(f, copy[i]) <= t) std::swap(copy[left++], copy[i]);
    }
    const std::span<const RowIndex> l = std::span<const RowIndex>(copy).first(left);
    const std::span<const RowIndex> r = std::span<const RowIndex>(copy).subspan(left);
    if (l.size() < options_.min_samples_leaf || r.size() < options_.min_samples_leaf) {
      return std::nullopt;
    }
    if (criterion_ == Criterion::Mean) {
      return sums(rows).sse() - (sums(l).sse() + sums(r).sse());
    }
    return regression_loss(rows, targets_, Criterion::Median) -
           (regression_loss(l, targets_, Criterion::Median) +
            regression_loss(r, targets_, Criterion::Median));
  }

  std::optional<Choice> score(std::span<const RowIndex> rows, std::uint64_t f) const {
    std::vector<std::uint16_t> present;
    for (const RowIndex r : rows) present.push_back(bin(f, r));
    std::sort(present.begin(), present.end());
    present.erase(std::unique(present.begin(), present.end()), present.end());
    if (table_.is_binary_binned_feature(f)) {
      // Both sides must exist; the threshold is 0 whatever the rows hold.
      const auto gain = gain_at(rows, f, 0);
      if (!gain) return std::nullopt;
      return Choice{f, 0, *gain};
    }
    if (type_ == TreeType::Randomized) {
      const auto t = choose_random_threshold(present, f, rows, seed_salt::kRegressionThreshold);
      if (!t) return std::nullopt;
      const auto gain = gain_at(rows, f, *t);
      if (!gain) return std::nullopt;
      return Choice{f, *t, *gain};
    }
    std::optional<Choice> best;
    for (const std::uint16_t t : present) {
      const auto gain = gain_at(rows, f, t);
      if (!gain) continue;
      const bool better = criterion_ == Criterion::Mean ? (!best || *gain > best->gain)
                                                        : (!best || *gain >= best->gain);
      if (better) best = Choice{f, t, *gain};
    }
    return best;
  }

  const data::TableAccess& table_;
  TreeType type_;
  Criterion criterion_;
  DecisionTreeOptions options_;
  std::vector<double> targets_;
  std::vector<NaiveNode> nodes_;
};

void expect_same_tree(const StandardRegressionTree& tree, const std::vector<NaiveNode>& naive) {
  ASSERT_EQ(tree.nodes.size(), naive.size());
  EXPECT_EQ(tree.root, naive.size() - 1);
  for (std::size_t i = 0; i < naive.size(); ++i) {
    SCOPED_TRACE("node " + std::to_string(i));
    if (naive[i].leaf) {
      const auto* leaf = std::get_if<regression_node::Leaf>(&tree.nodes[i]);
      ASSERT_NE(leaf, nullptr);
      EXPECT_EQ(leaf->sample_count, naive[i].count);
      expect_close(leaf->value, naive[i].value, "value");
      continue;
    }
    const auto* split = std::get_if<regression_node::BinarySplit>(&tree.nodes[i]);
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(split->feature_index, naive[i].feature);
    EXPECT_EQ(split->threshold_bin, naive[i].threshold);
    EXPECT_EQ(split->left_child, naive[i].left);
    EXPECT_EQ(split->right_child, naive[i].right);
    EXPECT_EQ(split->sample_count, naive[i].count);
    expect_close(split->gain, naive[i].gain, "gain");
  }
}

struct OracleCase {
  TreeType type;
  Criterion criterion;
  std::size_t rows;
  std::optional<std::uint64_t> max_features;

  friend void PrintTo(const OracleCase& c, std::ostream* os) {
    *os << tree_type_name(c.type) << " " << criterion_name(c.criterion) << ", " << c.rows
        << " rows, max_features " << (c.max_features ? std::to_string(*c.max_features) : "all");
  }
};

class RegressorOracle : public ::testing::TestWithParam<OracleCase> {};

// The learner three ways (one thread, a pool, and counting every node's histograms directly
// instead of subtracting) against the plain grower.
TEST_P(RegressorOracle, MatchesThePlainGrower) {
  const OracleCase& c = GetParam();
  const data::Table table = random_table(c.rows, 5, 2, 1, 29);
  DecisionTreeOptions options;
  options.max_depth = 7;
  options.min_samples_leaf = 3;
  options.max_features = c.max_features;
  options.seed = 5;
  const std::vector<NaiveNode> naive = NaiveGrower(table, c.type, c.criterion, options).grow();
  ASSERT_GT(naive.size(), 15U);

  auto model = train_regressor(table, c.type, c.criterion, nullptr, options);
  ASSERT_TRUE(model.has_value());
  expect_same_tree(std::get<StandardRegressionTree>(model->structure), naive);

  auto pool = platform::ThreadPool::create(2);
  ASSERT_TRUE(pool.has_value());
  auto pooled = train_regressor(table, c.type, c.criterion, pool->get(), options);
  ASSERT_TRUE(pooled.has_value());
  EXPECT_EQ(pooled->structure, model->structure);

  for (const std::size_t levels : {1U, 3U}) {
    const auto problem =
        regression_growth::Problem::resolve(table, c.type, c.criterion, nullptr, options);
    regression_growth::RowBuffer buffer(targets_of(table, all_rows(table)));
    SCOPED_TRACE("histogram levels " + std::to_string(levels));
    expect_same_tree(regression_growth::grow_standard_tree(problem, buffer, levels), naive);
  }
}

INSTANTIATE_TEST_SUITE_P(
    RegressorCases, RegressorOracle,
    ::testing::Values(OracleCase{TreeType::Cart, Criterion::Mean, 3000, std::nullopt},
                      OracleCase{TreeType::Cart, Criterion::Mean, 3000, 4},
                      OracleCase{TreeType::Randomized, Criterion::Mean, 3000, std::nullopt},
                      OracleCase{TreeType::Randomized, Criterion::Mean, 3000, 4},
                      OracleCase{TreeType::Cart, Criterion::Median, 400, 5},
                      OracleCase{TreeType::Randomized, Criterion::Median, 400, std::nullopt}),
    [](const auto& info) {
      return std::string(tree_type_name(info.param.type)) + "_" +
             std::string(criterion_name(info.param.criterion)) +
             (info.param.max_features ? "_sampled" : "_all");
    });

}  // namespace
}  // namespace arborvane::core
