#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "core/tree/classifier.hpp"
#include "data/table.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core::testing {

using Rows = std::vector<std::vector<double>>;

// A training table whose numeric features get one bin per distinct value, in value order.
inline data::Table make_table(Rows rows, std::vector<double> targets, std::uint64_t canaries = 0) {
  auto table = data::Table::with_options(std::move(rows), std::move(targets), canaries,
                                         data::NumericBins::fixed(128));
  EXPECT_TRUE(table.has_value());
  return std::move(*table);
}

// A table given directly by its bins, for shaping a node exactly: any bin pattern, any binned
// feature marked as a canary, and a binary feature that can be made to hide its booleans.
class BinnedTable final : public data::TableAccess {
 public:
  struct Column {
    std::vector<std::uint8_t> bins;
    bool binary = false;
    bool canary = false;
  };

  BinnedTable(std::vector<Column> columns, std::vector<double> targets, std::uint64_t cap = 8)
      : columns_(std::move(columns)), targets_(std::move(targets)), cap_(cap) {}

  void hide_booleans() { booleans_hidden_ = true; }

  std::uint64_t n_rows() const override { return targets_.size(); }
  std::uint64_t n_features() const override { return columns_.size(); }
  std::uint64_t canaries() const override { return 0; }
  std::uint64_t numeric_bin_cap() const override { return cap_; }
  std::uint64_t binned_feature_count() const override { return columns_.size(); }
  double feature_value(std::uint64_t feature, std::uint64_t row) const override {
    return columns_.at(feature).bins.at(row);
  }
  bool is_binary_feature(std::uint64_t feature) const override {
    return columns_.at(feature).binary;
  }
  std::uint16_t binned_value(std::uint64_t feature, std::uint64_t row) const override {
    return columns_.at(feature).bins.at(row);
  }
  std::optional<bool> binned_boolean_value(std::uint64_t feature,
                                           std::uint64_t row) const override {
    if (!columns_.at(feature).binary || booleans_hidden_) return std::nullopt;
    return columns_[feature].bins.at(row) != 0;
  }
  data::BinnedColumnKind binned_column_kind(std::uint64_t feature) const override {
    return columns_.at(feature).canary ? data::BinnedColumnKind::canary(feature, 0)
                                       : data::BinnedColumnKind::real(feature);
  }
  bool is_binary_binned_feature(std::uint64_t feature) const override {
    return columns_.at(feature).binary;
  }
  double target_value(std::uint64_t row) const override { return targets_.at(row); }
  data::BinnedColumnView binned_column_view(std::uint64_t feature) const override {
    data::BinnedColumnView view;
    view.layout = data::BinnedColumnView::Layout::U8;
    view.u8 = columns_.at(feature).bins.data();
    view.n_rows = targets_.size();
    return view;
  }
  data::NumericBins numeric_bins() const override { return data::NumericBins::fixed(cap_); }

 private:
  std::vector<Column> columns_;
  std::vector<double> targets_;
  std::uint64_t cap_;
  bool booleans_hidden_ = false;
};

inline BinnedTable::Column numeric(std::vector<std::uint8_t> bins) {
  return {std::move(bins), false, false};
}
inline BinnedTable::Column binary(std::vector<std::uint8_t> bins) {
  return {std::move(bins), true, false};
}
inline BinnedTable::Column as_canary(BinnedTable::Column column) {
  column.canary = true;
  return column;
}

inline DecisionTreeOptions tree_options(std::uint64_t max_depth = 8,
                                        std::uint64_t min_samples_leaf = 1,
                                        std::uint64_t min_samples_split = 2) {
  DecisionTreeOptions options;
  options.max_depth = max_depth;
  options.min_samples_leaf = min_samples_leaf;
  options.min_samples_split = min_samples_split;
  return options;
}

inline DecisionTreeClassifier train(const data::TableAccess& table, TreeType type,
                                    Criterion criterion = Criterion::Gini,
                                    const DecisionTreeOptions& options = tree_options(),
                                    platform::ThreadPool* pool = nullptr) {
  auto model = train_classifier(table, type, criterion, pool, options);
  if (!model) ADD_FAILURE() << "training failed";
  return model ? std::move(*model) : DecisionTreeClassifier{};
}

inline const StandardClassificationTree& standard(const DecisionTreeClassifier& model) {
  return std::get<StandardClassificationTree>(model.structure);
}
inline const ObliviousClassificationTree& oblivious(const DecisionTreeClassifier& model) {
  return std::get<ObliviousClassificationTree>(model.structure);
}

// The root node as the given kind; fails the test when it is another kind.
template <class Node>
const Node& root_as(const DecisionTreeClassifier& model) {
  const StandardClassificationTree& tree = standard(model);
  const Node* node = std::get_if<Node>(&tree.nodes.at(tree.root));
  if (node == nullptr) {
    ADD_FAILURE() << "root has another node kind";
    static const Node empty{};
    return empty;
  }
  return *node;
}

inline std::unique_ptr<platform::ThreadPool> make_pool(std::size_t threads) {
  auto pool = platform::ThreadPool::create(threads);
  EXPECT_TRUE(pool.has_value());
  return std::move(*pool);
}

}  // namespace arborvane::core::testing
