#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/tree/classification_histogram.hpp"
#include "core/tree/classifier.hpp"
#include "core/tree/classifier_binary.hpp"
#include "core/tree/classifier_context.hpp"
#include "core/tree/classifier_oblivious.hpp"
#include "core/tree/learner.hpp"
#include "core/tree/multiway.hpp"
#include "platform/rng.hpp"
#include "tests/cpp/core/classifier_test_support.hpp"

// Optimized paths against plain ones: subtracted against counted histograms, pools against
// the calling thread, whole-table prediction against row-by-row prediction.
namespace arborvane::core {
namespace {

using namespace testing;  // NOLINT: the test helpers
using classification::ClassIndex;
using classification::NodeHistograms;

struct Shape {
  bool all_binary = false;  // five binary features instead of five numeric and one binary
  std::uint64_t canaries = 1;
  bool two_classes = false;
};

// Rows whose class follows a few features, with some noise: five numeric features of
// different widths, then a binary one (or five binary features), and canary copies.
data::Table random_table(std::uint64_t seed, std::size_t n_rows, Shape shape = {}) {
  platform::ChaCha12Rng rng(seed);
  Rows rows;
  std::vector<double> targets;
  const auto draw = [&](std::uint64_t below) {
    return static_cast<double>(rng.uniform_below(below));
  };
  for (std::size_t i = 0; i < n_rows; ++i) {
    std::vector<double> row;
    if (shape.all_binary) {
      for (int f = 0; f < 5; ++f) row.push_back(draw(2));
    } else {
      row = {draw(40), draw(7), draw(12), draw(3) * 0.5, draw(20), draw(2)};
    }
    const double signal = row[0] + 5.0 * row[1] + 10.0 * row.back();
    const double target = std::floor((signal + draw(4)) / (shape.all_binary ? 5.0 : 20.0));
    targets.push_back(shape.two_classes ? std::fmod(target, 2.0) : target);
    rows.push_back(std::move(row));
  }
  return make_table(std::move(rows), std::move(targets), shape.canaries);
}

// A row-sampling view: view row r is row `rows[r]` of the table (repeats allowed), and its
// resolved columns carry that mapping.
class MappedRows final : public data::TableAccess {
 public:
  MappedRows(const data::Table& table, std::vector<std::uint64_t> rows)
      : table_(table), rows_(std::move(rows)) {}

  std::uint64_t n_rows() const override { return rows_.size(); }
  std::uint64_t n_features() const override { return table_.n_features(); }
  std::uint64_t canaries() const override { return table_.canaries(); }
  std::uint64_t numeric_bin_cap() const override { return table_.numeric_bin_cap(); }
  std::uint64_t binned_feature_count() const override { return table_.binned_feature_count(); }
  double feature_value(std::uint64_t feature, std::uint64_t row) const override {
    return table_.feature_value(feature, rows_.at(row));
  }
  bool is_binary_feature(std::uint64_t feature) const override {
    return table_.is_binary_feature(feature);
  }
  std::uint16_t binned_value(std::uint64_t feature, std::uint64_t row) const override {
    return table_.binned_value(feature, rows_.at(row));
  }
  std::optional<bool> binned_boolean_value(std::uint64_t feature,
                                           std::uint64_t row) const override {
    return table_.binned_boolean_value(feature, rows_.at(row));
  }
  data::BinnedColumnKind binned_column_kind(std::uint64_t feature) const override {
    return table_.binned_column_kind(feature);
  }
  bool is_binary_binned_feature(std::uint64_t feature) const override {
    return table_.is_binary_binned_feature(feature);
  }
  double target_value(std::uint64_t row) const override {
    return table_.target_value(rows_.at(row));
  }
  data::BinnedColumnView binned_column_view(std::uint64_t feature) const override {
    data::BinnedColumnView view = table_.binned_column_view(feature);
    view.rows = rows_.data();
    view.n_rows = rows_.size();
    return view;
  }
  data::NumericBins numeric_bins() const override { return table_.numeric_bins(); }

 private:
  const data::Table& table_;
  std::vector<std::uint64_t> rows_;
};

// Every other row of the table, each twice.
std::vector<std::uint64_t> doubled_half(std::uint64_t n_rows) {
  std::vector<std::uint64_t> rows;
  for (std::uint64_t row = 0; row < n_rows; row += 2) rows.insert(rows.end(), {row, row});
  return rows;
}

// Compares `histograms` with counts taken one value at a time through the table's own
// operations, and its observed bins with the bins those counts hold rows in.
void expect_counts_of(const NodeHistograms& histograms, const data::TableAccess& table,
                      std::span<const RowIndex> rows, std::span<const ClassIndex> class_of_row) {
  const std::size_t classes = histograms.class_count();
  const std::size_t bins = histograms.bins_per_feature();
  ASSERT_EQ(histograms.feature_count(), table.binned_feature_count());
  for (std::size_t f = 0; f < histograms.feature_count(); ++f) {
    std::vector<std::uint64_t> counts(bins * classes, 0);
    for (const RowIndex row : rows) {
      ++counts[table.binned_value(f, row) * classes + class_of_row[row]];
    }
    std::vector<std::uint16_t> observed;
    for (std::size_t bin = 0; bin < bins; ++bin) {
      std::uint64_t total = 0;
      for (std::size_t k = 0; k < classes; ++k) {
        ASSERT_EQ(histograms.bin_counts(f, bin)[k], counts[bin * classes + k])
            << "feature " << f << ", bin " << bin << ", class " << k;
        total += counts[bin * classes + k];
      }
      EXPECT_EQ(histograms.bin_total(f, bin), total);
      if (total != 0) observed.push_back(static_cast<std::uint16_t>(bin));
    }
    const auto actual = histograms.observed_bins(f);
    EXPECT_EQ(std::vector<std::uint16_t>(actual.begin(), actual.end()), observed)
        << "feature " << f;
  }
}

TEST(ClassificationHistogram, CountingAndSubtractionMatchCountingValueByValue) {
  const data::Table dense = random_table(17, 301);
  const data::Table two_classes = random_table(19, 299, {.two_classes = true});
  const data::Table sparse = random_table(18, 257, {.all_binary = true});
  const MappedRows mapped(dense, doubled_half(dense.n_rows()));
  const MappedRows mapped_two(two_classes, doubled_half(two_classes.n_rows()));
  for (const data::TableAccess* table :
       std::initializer_list<const data::TableAccess*>{&dense, &two_classes, &sparse, &mapped,
                                                       &mapped_two}) {
    std::vector<double> targets;
    for (std::uint64_t row = 0; row < table->n_rows(); ++row) {
      targets.push_back(table->target_value(row));
    }
    const auto vocabulary = classification::build_class_vocabulary(targets);
    const std::size_t classes = vocabulary.labels.size();
    const auto context = classification::TreeContext::create(
        *table, vocabulary.classes, classes, TreeType::Cart, Criterion::Gini, {}, nullptr);
    const auto pool = make_pool(3);
    std::vector<RowIndex> rows = all_rows(*table);

    const auto count = [&](std::span<const RowIndex> part, platform::ThreadPool* used) {
      std::vector<ClassIndex> part_classes(part.size());
      context.gather_classes(part, part_classes);
      NodeHistograms out(context.feature_count(), context.bins_per_feature, classes);
      classification::build_classification_node_histograms(context.columns, part, part_classes,
                                                           out, used);
      return out;
    };
    NodeHistograms parent = count(rows, nullptr);
    expect_counts_of(parent, *table, rows, vocabulary.classes);
    ASSERT_EQ(count(rows, pool.get()), parent);

    // Split on the first feature, as a node would.
    const std::size_t n_left = partition_rows(rows, context.columns[0], 0);
    ASSERT_GT(n_left, 0U);
    ASSERT_LT(n_left, rows.size());
    const std::span<const RowIndex> left = std::span<const RowIndex>(rows).first(n_left);
    const std::span<const RowIndex> right = std::span<const RowIndex>(rows).subspan(n_left);
    const NodeHistograms counted_left = count(left, nullptr);
    const NodeHistograms counted_right = count(right, nullptr);
    expect_counts_of(counted_right, *table, right, vocabulary.classes);

    NodeHistograms minus_left = parent;
    classification::subtract_classification_histograms(minus_left, counted_left, pool.get());
    EXPECT_EQ(minus_left, counted_right);
    NodeHistograms minus_right = parent;
    classification::subtract_classification_histograms(minus_right, counted_right, nullptr);
    EXPECT_EQ(minus_right, counted_left);

    // Buffers are reused from node to node: a few rows counted over a full node's counts (and
    // the full node again over those) must leave no trace of the previous node.
    const std::span<const RowIndex> few = right.first(std::min<std::size_t>(right.size(), 9));
    std::vector<ClassIndex> few_classes(few.size());
    context.gather_classes(few, few_classes);
    NodeHistograms reused = parent;
    classification::build_classification_node_histograms(context.columns, few, few_classes,
                                                         reused, nullptr);
    expect_counts_of(reused, *table, few, vocabulary.classes);
    std::vector<ClassIndex> all_classes(rows.size());
    context.gather_classes(rows, all_classes);
    classification::build_classification_node_histograms(context.columns, rows, all_classes,
                                                         reused, pool.get());
    EXPECT_EQ(reused, parent);
  }
}

const std::vector<TreeType> kTreeTypes = {TreeType::Id3, TreeType::C45, TreeType::Cart,
                                          TreeType::Randomized, TreeType::Oblivious};

std::size_t size_of(const TreeStructure& structure) {
  if (const auto* tree = std::get_if<StandardClassificationTree>(&structure)) {
    return tree->nodes.size();
  }
  return std::get<ObliviousClassificationTree>(structure).levels.size();
}

TEST(ClassifierThreads, PoolsOfAnySizeGrowTheSameTree) {
  // No canaries here, so every tree type grows several levels deep.
  const data::Table table = random_table(99, 400, {.canaries = 0});
  const auto vocabulary = classification::build_class_vocabulary(table.targets());
  const auto two = make_pool(2);
  const auto four = make_pool(4);
  DecisionTreeOptions options = tree_options(6);
  options.max_features = 6;
  options.seed = 7;
  for (const TreeType type : kTreeTypes) {
    for (const Criterion criterion : {Criterion::Gini, Criterion::Entropy}) {
      std::vector<TreeStructure> trees;
      for (platform::ThreadPool* pool : {static_cast<platform::ThreadPool*>(nullptr), two.get(),
                                         four.get()}) {
        auto context = classification::TreeContext::create(
            table, vocabulary.classes, vocabulary.labels.size(), type, criterion, options, pool);
        context.min_parallel_work = 0;  // every job goes to the pool, however small
        std::vector<RowIndex> rows = all_rows(table);
        switch (type) {
          case TreeType::Cart:
          case TreeType::Randomized:
            trees.emplace_back(classification::build_binary_tree(context, rows));
            break;
          case TreeType::Id3:
          case TreeType::C45:
            trees.emplace_back(classification::build_multiway_tree(context, rows));
            break;
          case TreeType::Oblivious:
            trees.emplace_back(classification::build_oblivious_tree(context, rows));
            break;
        }
      }
      const std::string name =
          std::string(tree_type_name(type)) + " / " + std::string(criterion_name(criterion));
      EXPECT_GT(size_of(trees[0]), 2U) << name;
      EXPECT_EQ(trees[1], trees[0]) << name;
      EXPECT_EQ(trees[2], trees[0]) << name;
    }
  }

  // The whole entry point, with its own choice of what to run on the pool.
  const data::Table larger = random_table(5, 3000);
  for (const TreeType type : kTreeTypes) {
    const auto alone = train(larger, type, Criterion::Entropy, options);
    EXPECT_EQ(train(larger, type, Criterion::Entropy, options, two.get()), alone)
        << tree_type_name(type);
  }
}

void expect_table_prediction_matches_rows(const DecisionTreeClassifier& model,
                                          const data::TableAccess& table,
                                          const std::string& name) {
  const std::vector<double> labels = model.predict_table(table);
  const std::vector<double> probabilities = model.predict_proba_table(table);
  const std::size_t width = model.class_labels.size();
  ASSERT_EQ(labels.size(), table.n_rows()) << name;
  ASSERT_EQ(probabilities.size(), table.n_rows() * width) << name;
  for (std::uint64_t row = 0; row < table.n_rows(); ++row) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(labels[row]),
              std::bit_cast<std::uint64_t>(model.predict_row(table, row)))
        << name << ", row " << row;
    const std::vector<double> expected = model.predict_proba_row(table, row);
    const std::span<const double> actual =
        std::span<const double>(probabilities).subspan(row * width, width);
    ASSERT_EQ(std::vector<double>(actual.begin(), actual.end()), expected)
        << name << ", row " << row;
  }
}

TEST(ClassifierPrediction, WholeTableEqualsRowByRow) {
  DecisionTreeOptions options = tree_options(5);
  options.max_features = 5;
  for (const bool all_binary : {false, true}) {
    const data::Table table = random_table(23, 250, {.all_binary = all_binary});
    // Another table of the same shape: bins the training rows never had at some nodes.
    const data::Table other = random_table(24, 180, {.all_binary = all_binary});
    const MappedRows mapped(other, doubled_half(other.n_rows()));
    for (const TreeType type : kTreeTypes) {
      const auto model = train(table, type, Criterion::Gini, options);
      const std::string name = std::string(tree_type_name(type)) + (all_binary ? " sparse" : "");
      expect_table_prediction_matches_rows(model, table, name + " on its table");
      expect_table_prediction_matches_rows(model, other, name + " on another table");
      expect_table_prediction_matches_rows(model, mapped, name + " on a row-mapped view");
    }
  }
}

}  // namespace
}  // namespace arborvane::core
