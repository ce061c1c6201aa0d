#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/ir/document_json.hpp"
#include "core/ir/export.hpp"
#include "core/ir/import.hpp"
#include "core/lib/train.hpp"
#include "data/table.hpp"
#include "platform/overloaded.hpp"

namespace arborvane::core::ir {

using platform::Overloaded;

namespace {

// Feature 0 numeric, feature 1 binary, feature 2 numeric with repeated values.
std::vector<std::vector<double>> feature_rows() {
  std::vector<std::vector<double>> rows;
  for (int r = 0; r < 90; ++r) {
    rows.push_back({double((r * 37) % 90), double(r % 2), std::round(std::sin(r) * 6.0)});
  }
  return rows;
}

std::vector<double> class_targets(const std::vector<std::vector<double>>& rows, bool binary) {
  std::vector<double> targets;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const double score = rows[r][0] + 25.0 * rows[r][1] + 3.0 * rows[r][2] + double(r % 7);
    if (binary) {
      targets.push_back(score > 60.0 ? 3.0 : -1.0);
    } else {
      targets.push_back(score < 40.0 ? -1.5 : (score < 75.0 ? 2.0 : 7.0));
    }
  }
  return targets;
}

std::vector<double> regression_targets(const std::vector<std::vector<double>>& rows) {
  std::vector<double> targets;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    targets.push_back(0.5 * rows[r][0] + 3.0 * rows[r][1] - rows[r][2] + double(r % 5) * 0.25);
  }
  return targets;
}

// Training rows plus values outside every training bin.
std::vector<std::vector<double>> prediction_rows() {
  std::vector<std::vector<double>> rows = feature_rows();
  rows.push_back({-100.0, 1.0, 100.0});
  rows.push_back({1e9, 0.0, -1e9});
  rows.push_back({44.5, 1.0, 0.5});
  return rows;
}

struct TrainCase {
  const char* name;
  TrainAlgorithm algorithm;
  Task task;
  TreeType tree_type;
  Criterion criterion = Criterion::Auto;
  std::uint64_t canaries = 0;
  bool binary_classes = false;
  std::function<void(TrainConfig&)> adjust = [](TrainConfig&) {};
};

Model train_case(const TrainCase& c) {
  const std::vector<std::vector<double>> rows = feature_rows();
  std::vector<double> targets = c.task == Task::Regression
                                    ? regression_targets(rows)
                                    : class_targets(rows, c.binary_classes);
  auto table = data::Table::with_options(rows, std::move(targets), c.canaries,
                                         data::NumericBins::automatic());
  EXPECT_TRUE(table.has_value());
  TrainConfig config;
  config.algorithm = c.algorithm;
  config.task = c.task;
  config.tree_type = c.tree_type;
  config.criterion = c.criterion;
  config.physical_cores = 1;
  config.max_depth = 4;
  config.n_trees = 4;
  config.seed = 11;
  c.adjust(config);
  auto model = train(*table, config);
  EXPECT_TRUE(model.has_value()) << c.name << ": " << model.error().to_string();
  return std::move(*model);
}

const std::vector<TrainCase>& train_cases() {
  using A = TrainAlgorithm;
  using T = TreeType;
  static const std::vector<TrainCase> cases{
      {"dt_classification_cart", A::Dt, Task::Classification, T::Cart},
      {"dt_classification_randomized_entropy", A::Dt, Task::Classification, T::Randomized,
       Criterion::Entropy},
      {"dt_classification_id3", A::Dt, Task::Classification, T::Id3},
      {"dt_classification_c45", A::Dt, Task::Classification, T::C45},
      {"dt_classification_oblivious", A::Dt, Task::Classification, T::Oblivious},
      {"dt_regression_cart_canaries", A::Dt, Task::Regression, T::Cart, Criterion::Auto, 1},
      {"dt_regression_median", A::Dt, Task::Regression, T::Randomized, Criterion::Median},
      {"dt_regression_oblivious", A::Dt, Task::Regression, T::Oblivious},
      {"rf_classification_oob", A::Rf, Task::Classification, T::Cart, Criterion::Auto, 0, false,
       [](TrainConfig& c) { c.compute_oob = true; }},
      {"rf_classification_c45", A::Rf, Task::Classification, T::C45},
      {"rf_regression_oblivious", A::Rf, Task::Regression, T::Oblivious, Criterion::Auto, 0, false,
       [](TrainConfig& c) { c.compute_oob = true; }},
      {"gbm_regression_cart", A::Gbm, Task::Regression, T::Cart},
      {"gbm_regression_oblivious_bootstrap", A::Gbm, Task::Regression, T::Oblivious,
       Criterion::Auto, 0, false, [](TrainConfig& c) { c.bootstrap = true; }},
      {"gbm_classification_randomized", A::Gbm, Task::Classification, T::Randomized,
       Criterion::Auto, 0, true, [](TrainConfig& c) { c.learning_rate = 0.3; }},
      {"gbm_classification_oblivious", A::Gbm, Task::Classification, T::Oblivious,
       Criterion::Auto, 0, true},
  };
  return cases;
}

// The text around the first position where two documents differ; empty when they are equal.
std::string first_difference(const std::string& a, const std::string& b) {
  const auto [at, _] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (at == a.end() && a.size() == b.size()) return "";
  const std::size_t offset = static_cast<std::size_t>(at - a.begin());
  const std::size_t from = offset < 60 ? 0 : offset - 60;
  return a.substr(from, 120) + "\n  versus\n" + b.substr(from, 120);
}

void expect_same_predictions(const Model& expected, const Model& actual) {
  const auto want = expected.predict_rows(prediction_rows());
  const auto got = actual.predict_rows(prediction_rows());
  ASSERT_TRUE(want.has_value() && got.has_value());
  EXPECT_EQ(*got, *want);
  const auto want_proba = expected.predict_proba_rows(prediction_rows());
  const auto got_proba = actual.predict_proba_rows(prediction_rows());
  ASSERT_EQ(got_proba.has_value(), want_proba.has_value());
  if (want_proba) {
    EXPECT_EQ(got_proba->n_classes, want_proba->n_classes);
    EXPECT_EQ(got_proba->values, want_proba->values);
  } else {
    EXPECT_EQ(got_proba.error().to_string(), want_proba.error().to_string());
  }
}

std::string import_error(ModelPackageIr document) {
  auto model = model_from_ir(std::move(document));
  if (model) return "imported";
  return model.error().to_string();
}

TEST(IrImport, EveryTrainedModelRoundTripsThroughItsDocument) {
  for (const TrainCase& c : train_cases()) {
    SCOPED_TRACE(c.name);
    const Model original = train_case(c);
    const ModelPackageIr document = model_to_ir(original);
    for (const bool pretty : {false, true}) {
      const std::string text = write_ir_json(document, pretty);
      const auto read = read_ir_json(text);
      ASSERT_TRUE(read.has_value()) << read.error().description;
      EXPECT_EQ(*read, document);
      const auto imported = deserialize_model(text);
      ASSERT_TRUE(imported.has_value()) << imported.error().to_string();
      expect_same_predictions(original, *imported);
      EXPECT_EQ(imported->training_metadata(), original.training_metadata());
      // Nothing export writes is lost: the imported model writes the same document.
      EXPECT_EQ(first_difference(imported->serialize(), write_ir_json(document, false)), "");
      EXPECT_EQ(imported->class_labels(), original.class_labels());
      EXPECT_EQ(imported->tree_count(), original.tree_count());
    }
  }
}

TEST(IrImport, SingleTreesComeBackEqual) {
  // A single tree keeps everything through its document; ensemble members lose their
  // feature-sample size and seed, which documents do not carry.
  for (const TrainCase& c : train_cases()) {
    if (c.algorithm != TrainAlgorithm::Dt) continue;
    SCOPED_TRACE(c.name);
    const Model original = train_case(c);
    const auto imported = deserialize_model(original.serialize());
    ASSERT_TRUE(imported.has_value());
    EXPECT_EQ(*imported, original);
  }
}

// Hand-built models with known shapes. Feature 0 numeric with two bins, feature 1 binary,
// feature 2 numeric with four bins.
std::vector<data::FeaturePreprocessing> three_features() {
  return {data::FeaturePreprocessing::numeric({{0, 1.5}, {1, 3.0}}),
          data::FeaturePreprocessing::binary(),
          data::FeaturePreprocessing::numeric({{0, -1.0}, {1, 0.0}, {2, 1.0}, {3, 2.0}})};
}

template <class Tree>
Tree with_three_features(Tree tree) {
  tree.feature_preprocessing = three_features();
  tree.n_features = 3;
  return tree;
}

// Root 2 splits feature 0 at bin 0: left leaf -1.5, right leaf 2.
Model stump_classifier() {
  DecisionTreeClassifier tree;
  tree.class_labels = {-1.5, 2.0, 7.0};
  StandardClassificationTree nodes;
  nodes.nodes.push_back(classifier_node::Leaf{{3, 1, 0}, 0, 4});
  nodes.nodes.push_back(classifier_node::Leaf{{0, 2, 1}, 1, 3});
  nodes.nodes.push_back(classifier_node::BinarySplit{{3, 3, 1}, 0, 0, 0, 1, 7, 0.5, 0.25});
  nodes.root = 2;
  tree.structure = nodes;
  return Model(with_three_features(tree));
}

// Root 2 splits feature 2: bin 0 to a leaf of class 0 (-1.5), bin 3 to a leaf of class 2 (7),
// any other bin answers class 1 (2).
Model multiway_classifier() {
  DecisionTreeClassifier tree;
  tree.class_labels = {-1.5, 2.0, 7.0};
  tree.tree_type = TreeType::Id3;
  tree.criterion = Criterion::Entropy;
  StandardClassificationTree nodes;
  nodes.nodes.push_back(classifier_node::Leaf{{2, 0, 0}, 0, 2});
  nodes.nodes.push_back(classifier_node::Leaf{{0, 0, 3}, 2, 3});
  nodes.nodes.push_back(
      classifier_node::MultiwaySplit{{{0, 0}, {3, 1}}, {2, 4, 3}, 2, 1, 9, 0.9, 0.4});
  nodes.root = 2;
  tree.structure = nodes;
  return Model(with_three_features(tree));
}

// One level on the binary feature: false gives class 2 (7), true class 0 (-1.5).
Model oblivious_classifier() {
  DecisionTreeClassifier tree;
  tree.class_labels = {-1.5, 2.0, 7.0};
  tree.tree_type = TreeType::Oblivious;
  ObliviousClassificationTree levels;
  levels.levels.push_back(core::ObliviousLevel{1, 6, 0.6, 0.3, 0});
  levels.leaf_class_counts = {{0, 1, 2}, {3, 0, 0}};
  levels.leaf_class_indices = {2, 0};
  levels.leaf_sample_counts = {3, 3};
  tree.structure = levels;
  return Model(with_three_features(tree));
}

// Root 2 splits feature 0 at bin 0: left 10, right -4.
Model stump_regressor() {
  DecisionTreeRegressor tree;
  StandardRegressionTree nodes;
  nodes.nodes.push_back(regression_node::Leaf{10.0, 2, 0.5});
  nodes.nodes.push_back(regression_node::Leaf{-4.0, 3, std::nullopt});
  nodes.nodes.push_back(regression_node::BinarySplit{0, 0, 0, 1, 5, 2.0, 1.0, 3.5});
  nodes.root = 2;
  tree.structure = nodes;
  tree.canaries = 1;
  return Model(with_three_features(tree));
}

// One level on feature 2 at bin 1: at most bin 1 gives 0.25, above it 8.
Model oblivious_regressor() {
  DecisionTreeRegressor tree;
  tree.algorithm = TreeType::Oblivious;
  ObliviousRegressionTree levels;
  levels.levels.push_back(core::ObliviousLevel{2, 6, 1.0, 0.5, 1});
  levels.leaf_values = {0.25, 8.0};
  levels.leaf_sample_counts = {4, 2};
  levels.leaf_variances = {0.1, std::nullopt};
  tree.structure = levels;
  return Model(with_three_features(tree));
}

TEST(IrImport, RebuiltTreesPredictTheirDocuments) {
  const std::vector<std::vector<double>> rows{
      {1.0, 0.0, -3.0}, {2.0, 1.0, -0.5}, {9.0, 1.0, 2.0}, {0.0, 0.0, 7.0}};
  struct Case {
    const char* name;
    Model model;
    std::vector<double> predictions;
  };
  const std::vector<Case> cases{
      {"binary splits", stump_classifier(), {-1.5, 2.0, 2.0, -1.5}},
      {"multiway with fallback", multiway_classifier(), {-1.5, 2.0, 7.0, 7.0}},
      {"oblivious classes", oblivious_classifier(), {7.0, -1.5, -1.5, 7.0}},
      {"regression stump", stump_regressor(), {10.0, -4.0, -4.0, 10.0}},
      {"oblivious regression", oblivious_regressor(), {0.25, 0.25, 8.0, 8.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto imported = deserialize_model(c.model.serialize());
    ASSERT_TRUE(imported.has_value()) << imported.error().to_string();
    EXPECT_EQ(*imported, c.model);
    EXPECT_EQ(imported->predict_rows(rows), c.predictions);
  }
  // Probabilities come from the stored class counts, the fallback's included.
  const auto proba = deserialize_model(multiway_classifier().serialize())->predict_proba_rows(rows);
  ASSERT_TRUE(proba.has_value());
  EXPECT_EQ(proba->values, (std::vector<double>{1, 0, 0, 2.0 / 9, 4.0 / 9, 3.0 / 9, 0, 0, 1,
                                                0, 0, 1}));
}

ModelPackageIr document_of(std::string_view name) {
  if (name == "stump_classifier") return model_to_ir(stump_classifier());
  if (name == "multiway_classifier") return model_to_ir(multiway_classifier());
  if (name == "oblivious_classifier") return model_to_ir(oblivious_classifier());
  if (name == "stump_regressor") return model_to_ir(stump_regressor());
  if (name == "oblivious_regressor") return model_to_ir(oblivious_regressor());
  for (const TrainCase& c : train_cases()) {
    if (c.name == name) return model_to_ir(train_case(c));
  }
  ADD_FAILURE() << "no fixture " << name;
  return {};
}

TreeDefinition::NodeTree& node_tree(ModelPackageIr& d, std::size_t tree = 0) {
  return std::get<TreeDefinition::NodeTree>(d.model.trees.at(tree).tree);
}
TreeDefinition::ObliviousLevels& oblivious(ModelPackageIr& d) {
  return std::get<TreeDefinition::ObliviousLevels>(d.model.trees.at(0).tree);
}
// The first node of the given kind in tree 0.
template <class Kind>
Kind& first_node(ModelPackageIr& d) {
  for (NodeTreeNode& node : node_tree(d).nodes) {
    if (auto* found = std::get_if<Kind>(&node.node)) return *found;
  }
  throw std::logic_error("the fixture has no node of this kind");
}
NodeTreeNode::Leaf& first_leaf(ModelPackageIr& d) { return first_node<NodeTreeNode::Leaf>(d); }
NodeTreeNode::BinaryBranch& root_branch(ModelPackageIr& d) {
  TreeDefinition::NodeTree& tree = node_tree(d);
  return std::get<NodeTreeNode::BinaryBranch>(tree.nodes.at(tree.root_node_id).node);
}
std::uint64_t& node_id(NodeTreeNode& node) {
  return std::visit([](auto& n) -> std::uint64_t& { return n.node_id; }, node.node);
}
LeafPayload::ClassIndex& class_leaf(ModelPackageIr& d) {
  return std::get<LeafPayload::ClassIndex>(first_leaf(d).leaf.payload);
}

struct EditCase {
  const char* name;
  const char* base;
  std::function<void(ModelPackageIr&)> edit;
  std::string message;
};

TEST(IrImport, EachRejectedDocumentSaysWhy) {
  const char* cls = "stump_classifier";
  const char* reg = "stump_regressor";
  const char* id3 = "multiway_classifier";
  const char* obl_cls = "oblivious_classifier";
  const char* obl_reg = "oblivious_regressor";
  const char* rf = "rf_classification_oob";
  const char* gbm = "gbm_classification_randomized";
  const std::vector<EditCase> cases{
      {"version", cls, [](auto& d) { d.ir_version = "1.0"; }, "Unsupported IR version: 1.0."},
      {"format", cls, [](auto& d) { d.format_name = "otherlib-ir"; },
       "Unsupported IR format: otherlib-ir."},
      {"missing values", cls, [](auto& d) { d.model.supports_missing = true; },
       "Invalid inference options: missing values are not supported in IR v1."},
      {"categorical", cls, [](auto& d) { d.model.supports_categorical = true; },
       "Invalid inference options: categorical features are not supported in IR v1."},
      {"comparison", cls, [](auto& d) { d.inference_options.threshold_comparison = "lt_left"; },
       "Invalid inference options: unsupported threshold comparison 'lt_left'."},
      {"nan policy", cls, [](auto& d) { d.inference_options.nan_policy = "propagate"; },
       "Invalid inference options: unsupported nan policy 'propagate'."},
      {"algorithm", cls, [](auto& d) { d.model.algorithm = "xgb"; }, "Unsupported algorithm: xgb."},
      {"task", cls, [](auto& d) { d.model.task = "ranking"; }, "Unsupported task: ranking."},
      {"tree type", cls, [](auto& d) { d.model.tree_type = "hoeffding"; },
       "Unsupported tree type: hoeffding."},
      {"criterion", cls, [](auto& d) { d.training_metadata.criterion = "gain_ratio"; },
       "Invalid inference options: unsupported criterion 'gain_ratio'."},
      {"feature beyond the schema", cls,
       [](auto& d) {
         std::get<FeatureBinning::Binary>(d.preprocessing.numeric_binning.features[1].binning)
             .feature_index = 3;
       },
       "Input schema declares 3 features, but preprocessing declares 4."},
      {"skipped feature", cls,
       [](auto& d) {
         auto& features = d.preprocessing.numeric_binning.features;
         features.erase(features.begin() + 1);
       },
       "Invalid preprocessing section: every feature must have a preprocessing entry."},
      {"absurd feature count", cls, [](auto& d) { d.input_schema.feature_count = 1ULL << 60; },
       "Invalid preprocessing section: every feature must have a preprocessing entry."},
      {"absurd feature count with a stray index", cls,
       [](auto& d) {
         d.input_schema.feature_count = 1ULL << 60;
         std::get<FeatureBinning::Binary>(d.preprocessing.numeric_binning.features[1].binning)
             .feature_index = (1ULL << 60) + 4;
       },
       "Input schema declares 1152921504606846976 features, but preprocessing declares "
       "1152921504606846981."},
      {"bounds out of order", cls,
       [](auto& d) {
         std::get<FeatureBinning::Numeric>(d.preprocessing.numeric_binning.features[2].binning)
             .boundaries[1]
             .upper_bound = -2.0;
       },
       "Invalid preprocessing section: the boundaries of feature 2 are not in ascending order."},
      {"bin repeated", cls,
       [](auto& d) {
         std::get<FeatureBinning::Numeric>(d.preprocessing.numeric_binning.features[0].binning)
             .boundaries[1]
             .bin = 0;
       },
       "Invalid preprocessing section: the boundaries of feature 0 are not in ascending order."},
      {"two trees in a single-tree document", cls,
       [](auto& d) { d.model.trees.push_back(d.model.trees[0]); },
       "Expected exactly one tree in the IR, found 2."},
      {"no labels", cls,
       [](auto& d) {
         d.output_schema.class_order.reset();
         d.training_metadata.class_labels.reset();
       },
       "Classification IR requires explicit class labels."},
      {"regression node tree of an id3 model", reg, [](auto& d) { d.model.tree_type = "id3"; },
       "Unsupported tree representation: node_tree."},
      {"oblivious levels of a cart model", obl_reg, [](auto& d) { d.model.tree_type = "cart"; },
       "Unsupported tree representation: oblivious_levels."},
      {"classification node tree of an oblivious model", cls,
       [](auto& d) { d.model.tree_type = "oblivious"; },
       "Unsupported tree representation: node_tree."},
      {"regression leaf in a classifier", cls,
       [](auto& d) { first_leaf(d).leaf.payload = LeafPayload::RegressionValue{1.0}; },
       "Invalid leaf payload: expected class_index leaf."},
      {"class index beyond the labels", cls, [](auto& d) { class_leaf(d).class_index = 9; },
       "Invalid leaf payload: class index 9 out of bounds."},
      {"class value differs from its label", cls,
       [](auto& d) {
         d.output_schema.class_order = std::vector<double>{0.0, 1.0, 5.0};
         class_leaf(d).class_index = 1;
         class_leaf(d).class_value = 2.0;
       },
       "Invalid leaf payload: class value 2 does not match class order entry 1."},
      {"negative zero is not zero", cls,
       [](auto& d) {
         d.output_schema.class_order = std::vector<double>{0.0, 1.0, 5.0};
         class_leaf(d).class_index = 0;
         class_leaf(d).class_value = -0.0;
       },
       "Invalid leaf payload: class value -0 does not match class order entry 0."},
      {"unmatched leaf of a multiway node", id3,
       [](auto& d) {
         first_node<NodeTreeNode::MultiwayBranch>(d).unmatched_leaf.payload =
             LeafPayload::RegressionValue{0.5};
       },
       "Invalid leaf payload: expected class_index leaf."},
      {"class leaf in a regressor", reg,
       [](auto& d) { first_leaf(d).leaf.payload = LeafPayload::ClassIndex{0, 1.0}; },
       "Invalid leaf payload: regression trees require regression_value leaves."},
      {"multiway node in a regressor", reg,
       [](auto& d) {
         NodeTreeNode::MultiwayBranch branch;
         branch.node_id = node_id(node_tree(d).nodes[0]);
         node_tree(d).nodes[0].node = branch;
       },
       "Invalid tree node: regression trees do not support multiway branches."},
      {"class leaf in an oblivious regressor", obl_reg,
       [](auto& d) { oblivious(d).leaves[1].leaf.payload = LeafPayload::ClassIndex{0, 1.0}; },
       "Invalid leaf payload: regression oblivious leaves require regression_value."},
      {"duplicate node id", cls, [](auto& d) { node_id(node_tree(d).nodes[1]) = 0; },
       "Invalid tree node: duplicate node index 0."},
      {"node id beyond the list", cls,
       [](auto& d) { node_id(node_tree(d).nodes[2]) = node_tree(d).nodes.size() + 2; },
       "Invalid tree node: node index 5 is out of bounds."},
      {"duplicate oblivious leaf index", obl_cls,
       [](auto& d) { oblivious(d).leaves[0].leaf_index = 1; },
       "Invalid tree node: duplicate node index 1."},
      {"oblivious leaf index beyond the list", obl_reg,
       [](auto& d) { oblivious(d).leaves[0].leaf_index = 99; },
       "Invalid tree node: node index 99 is out of bounds."},
      // Structure that prediction depends on.
      {"root beyond the nodes", cls, [](auto& d) { node_tree(d).root_node_id = 40; },
       "Invalid tree node: root_node_id 40 names no node in a tree of 3 nodes."},
      {"child naming no node", cls, [](auto& d) { root_branch(d).children.right = 3; },
       "Invalid tree node: node 2 has child 3, which names no node in a tree of 3 nodes."},
      {"cycle through the root", cls,
       [](auto& d) { root_branch(d).children.left = node_tree(d).root_node_id; },
       "Invalid tree node: node 2 is reached more than once from the root."},
      {"child shared by both sides", cls,
       [](auto& d) { root_branch(d).children.right = root_branch(d).children.left; },
       "Invalid tree node: node 0 is reached more than once from the root."},
      {"split on a missing feature", cls,
       [](auto& d) {
         std::visit([](auto& s) { s.feature_index = 3; }, root_branch(d).split.split);
       },
       "Invalid tree node: node 2 splits on feature 3, but the model has 3 features."},
      {"splits without features", reg,
       [](auto& d) {
         d.input_schema.feature_count = 0;
         d.preprocessing.numeric_binning.features.clear();
       },
       "Invalid tree node: node 2 splits on feature 0, but the model has 0 features."},
      {"class counts of the wrong length", cls,
       [](auto& d) { first_leaf(d).stats.class_counts = {{4, 1}}; },
       "Invalid tree node: node 0 has 2 class counts for 3 classes."},
      {"multiway bins out of order", id3,
       [](auto& d) {
         auto& branches = first_node<NodeTreeNode::MultiwayBranch>(d).branches;
         std::swap(branches.front(), branches.back());
       },
       "Invalid tree node: the branch bins of node 2 are not strictly ascending."},
      {"oblivious leaves not 2^depth", obl_reg,
       [](auto& d) {
         auto& tree = oblivious(d);
         tree.leaves.push_back(tree.leaves.back());
         tree.leaves.back().leaf_index = tree.leaves.size() - 1;
       },
       "Invalid tree node: an oblivious tree of depth 1 needs 2 leaves, found 3."},
      {"oblivious tree too deep", obl_reg,
       [](auto& d) {
         auto& tree = oblivious(d);
         tree.levels.resize(64, tree.levels[0]);
       },
       "Invalid tree node: an oblivious tree of depth 64 is deeper than the supported 30."},
      {"oblivious level on a missing feature", obl_cls,
       [](auto& d) {
         std::visit([](auto& s) { s.feature_index = 7; }, oblivious(d).levels[0].split.split);
       },
       "Invalid tree node: level 0 splits on feature 7, but the model has 3 features."},
      {"oblivious class counts of the wrong length", obl_cls,
       [](auto& d) { oblivious(d).leaves[1].stats.class_counts = {{1}}; },
       "Invalid tree node: leaf 1 has 1 class counts for 3 classes."},
      {"too many class counts left to fill in", cls,
       [](auto& d) {
         d.model.algorithm = "rf";
         d.model.trees.resize(64, d.model.trees[0]);
         for (TreeDefinition& tree : d.model.trees) {
           for (NodeTreeNode& node : std::get<TreeDefinition::NodeTree>(tree.tree).nodes) {
             std::visit([](auto& n) { n.stats.class_counts.reset(); }, node.node);
           }
         }
         d.output_schema.class_order = std::vector<double>(100000, 0.0);
       },
       "Invalid tree node: 192 nodes omit class_counts for 100000 classes, more zeros than "
       "import fills in."},
      {"empty forest", rf, [](auto& d) { d.model.trees.clear(); },
       "Invalid tree node: a random forest needs at least one tree."},
      {"forest member error", rf, [](auto& d) { node_id(node_tree(d, 2).nodes[0]) = 1; },
       "Invalid tree node: duplicate node index 1."},
      {"boosting weights of the wrong length", gbm,
       [](auto& d) { d.model.aggregation.tree_weights.pop_back(); },
       "Invalid tree node: aggregation lists 3 tree weights for 4 trees."},
      {"boosted classifier without labels", gbm,
       [](auto& d) {
         d.output_schema.class_order.reset();
         d.training_metadata.class_labels.reset();
       },
       "Classification IR requires explicit class labels."},
      {"boosted classifier with three labels", gbm,
       [](auto& d) { d.output_schema.class_order = std::vector<double>{1.0, 2.0, 3.0}; },
       "Invalid inference options: boosted classification needs exactly 2 class labels, found "
       "3."},
  };
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.name);
    ModelPackageIr document = document_of(c.base);
    ASSERT_TRUE(model_from_ir(document).has_value());
    c.edit(document);
    EXPECT_EQ(import_error(std::move(document)), c.message);
  }
}

TEST(IrImport, NodesAndLeavesAreFoundByIndexNotByPosition) {
  for (const char* name : {"dt_classification_c45", "dt_regression_median",
                           "dt_classification_oblivious", "dt_regression_oblivious"}) {
    SCOPED_TRACE(name);
    ModelPackageIr document = document_of(name);
    const auto original = model_from_ir(document);
    ASSERT_TRUE(original.has_value());
    std::visit(Overloaded{
                   [](TreeDefinition::NodeTree& tree) {
                     std::reverse(tree.nodes.begin(), tree.nodes.end());
                   },
                   [](TreeDefinition::ObliviousLevels& tree) {
                     std::reverse(tree.leaves.begin(), tree.leaves.end());
                   },
               },
               document.model.trees[0].tree);
    const auto reordered = model_from_ir(std::move(document));
    ASSERT_TRUE(reordered.has_value());
    EXPECT_EQ(*reordered, *original);
  }
}

std::string edited(std::string text, std::string_view from, std::string_view to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(IrImport, MalformedTextNamesTheMemberPath) {
  const std::string tree = stump_classifier().serialize();
  const std::string levels = oblivious_classifier().serialize();
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases{
      {edited(tree, R"("depth":1)", R"("depth":-1)"),
       "Invalid JSON: model.trees[0].nodes[0].depth: expected an unsigned integer, found -1."},
      {edited(tree, R"("kind":"binary_branch")", R"("kind":"branch")"),
       "Invalid JSON: model.trees[0].nodes[2].kind: unknown tag 'branch'."},
      {edited(tree, R"({"representation":"node_tree")", R"({"representation":"nodes")"),
       "Invalid JSON: model.trees[0].representation: unknown tag 'nodes'."},
      {edited(tree, R"("prediction_kind":"class_index")", R"("prediction_kind":"label")"),
       "Invalid JSON: model.trees[0].nodes[0].leaf.prediction_kind: unknown tag 'label'."},
      {edited(tree, R"("split_type":"numeric_bin_threshold")", R"("split_type":"x")"),
       "Invalid JSON: model.trees[0].nodes[2].split.split_type: unknown tag 'x'."},
      {edited(tree, R"({"kind":"binary")", R"({"kind":"boolean")"),
       "Invalid JSON: preprocessing.numeric_binning.features[1].kind: unknown tag 'boolean'."},
      {edited(tree, R"("op":"map_class_index_to_label")", R"("op":"relabel")"),
       "Invalid JSON: postprocessing.steps[0].op: unknown tag 'relabel'."},
      {edited(tree, R"("threshold_bin":0)", R"("threshold_bin":70000)"),
       "Invalid JSON: model.trees[0].nodes[2].split.threshold_bin: expected an unsigned 16-bit "
       "integer, found 70000."},
      {edited(tree, R"("threshold_upper_bound":1.5,)", ""),
       "Invalid JSON: model.trees[0].nodes[2].split.threshold_upper_bound: missing required "
       "member."},
      {edited(tree, R"("format_name":"arborvane-ir",)", ""),
       "Invalid JSON: format_name: missing required member."},
      {edited(tree, R"("weight":1.0)", R"("weight":null)"),
       "Invalid JSON: model.trees[0].weight: expected a number, found null."},
      {edited(tree, R"("class_counts":[3,)", R"("class_counts":[3.5,)"),
       "Invalid JSON: model.trees[0].nodes[0].stats.class_counts[0]: expected an unsigned "
       "integer, found 3.5."},
      {edited(tree, R"("canaries":0)", R"("canaries":"0")"),
       "Invalid JSON: training_metadata.canaries: expected an unsigned integer, found the string "
       "\"0\"."},
      {edited(tree, R"("class_order":[)", R"("class_order":[true,)"),
       "Invalid JSON: output_schema.class_order[0]: expected a number, found true."},
      {edited(levels, R"("bit_when_true":1)", R"("bit_when_true":256)"),
       "Invalid JSON: model.trees[0].levels[0].split.bit_when_true: expected an unsigned 8-bit "
       "integer, found 256."},
      {"[]", "Invalid JSON: expected an object, found an array."},
  };
  for (const Case& c : cases) {
    const auto model = deserialize_model(c.text);
    ASSERT_FALSE(model.has_value()) << c.message;
    EXPECT_EQ(model.error().to_string(), c.message);
  }
}

TEST(IrImport, ReaderIgnoresUnknownMembersButNotDuplicatesOrTrailingText) {
  const std::string tree = stump_classifier().serialize();
  const auto extra = deserialize_model(edited(tree, R"("producer":{)", R"("producer":{"x":[{}],)"));
  ASSERT_TRUE(extra.has_value());
  EXPECT_EQ(*extra, stump_classifier());
  // A member written as null only needs to be present.
  EXPECT_TRUE(deserialize_model(edited(tree, R"("threshold_upper_bound":1.5)",
                                       R"("threshold_upper_bound":null)"))
                  .has_value());
  for (const std::string& text : {edited(tree, "{", R"({"ir_version":"1.0.0",)"), tree + "x"}) {
    const auto model = deserialize_model(text);
    ASSERT_FALSE(model.has_value());
    EXPECT_TRUE(model.error().to_string().starts_with("Invalid JSON: "));
    EXPECT_TRUE(std::holds_alternative<IrError::InvalidJson>(model.error().error));
  }
}

TEST(IrImport, LabelsComeFromTheClassOrderOrElseTheTrainingRecord) {
  ModelPackageIr document = model_to_ir(stump_classifier());
  document.output_schema.class_order.reset();
  const auto from_metadata = model_from_ir(document);
  ASSERT_TRUE(from_metadata.has_value());
  EXPECT_EQ(from_metadata->class_labels(), (std::vector<double>{-1.5, 2.0, 7.0}));
  // With both present, the class order wins.
  document.output_schema.class_order = std::vector<double>{-1.5, 2.0, 7.0};
  document.training_metadata.class_labels = std::vector<double>{0.0, 1.0, 2.0};
  EXPECT_EQ(model_from_ir(document)->class_labels(), (std::vector<double>{-1.5, 2.0, 7.0}));
}

TEST(IrImport, OmittedStatisticsTakeTheirDefaults) {
  ModelPackageIr document = model_to_ir(stump_classifier());
  for (NodeTreeNode& node : node_tree(document).nodes) {
    std::visit(
        [](auto& n) {
          NodeStats counted_only;
          counted_only.sample_count = n.stats.sample_count;
          n.stats = counted_only;
        },
        node.node);
  }
  const auto model = model_from_ir(document);
  ASSERT_TRUE(model.has_value());
  const auto& tree = std::get<StandardClassificationTree>(
      std::get<DecisionTreeClassifier>(model->kind()).structure);
  EXPECT_EQ(tree.nodes[2], TreeNode(classifier_node::BinarySplit{{0, 0, 0}, 0, 0, 0, 1, 7, 0.0,
                                                                 0.0}));
  // Without class counts a leaf still answers its class, with no probability mass.
  const std::vector<std::vector<double>> rows{{1.0, 0.0, 0.0}};
  EXPECT_EQ(model->predict_rows(rows), (std::vector<double>{-1.5}));
  EXPECT_EQ(model->predict_proba_rows(rows)->values, (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(IrImport, BoostingWithoutTreesPredictsItsBaseScore) {
  const std::vector<std::vector<double>> rows{{1.0, 0.0, 3.0}, {50.0, 1.0, -2.0}};
  for (const char* name : {"gbm_regression_cart", "gbm_classification_oblivious"}) {
    SCOPED_TRACE(name);
    ModelPackageIr document = document_of(name);
    document.model.trees.clear();
    document.model.aggregation.tree_weights.clear();
    document.model.aggregation.base_score = 0.75;
    const auto model = deserialize_model(write_ir_json(document, false));
    ASSERT_TRUE(model.has_value()) << model.error().to_string();
    EXPECT_EQ(model->tree_count(), 0U);
    if (document.model.task == "regression") {
      EXPECT_EQ(model->predict_rows(rows), (std::vector<double>{0.75, 0.75}));
    } else {
      // A positive score picks the higher label; probabilities follow the sigmoid.
      EXPECT_EQ(model->predict_rows(rows), (std::vector<double>{3.0, 3.0}));
      const double p = 1.0 / (1.0 + std::exp(-0.75));
      EXPECT_EQ(model->predict_proba_rows(rows)->values,
                (std::vector<double>{1.0 - p, p, 1.0 - p, p}));
    }
  }
}

TEST(IrImport, DocumentDefaultsFillMissingSettings) {
  ModelPackageIr document = document_of("rf_regression_oblivious");
  TrainingMetadata& metadata = document.training_metadata;
  metadata.max_depth.reset();
  metadata.min_samples_split.reset();
  metadata.min_samples_leaf.reset();
  metadata.max_features.reset();
  const auto model = model_from_ir(document);
  ASSERT_TRUE(model.has_value());
  EXPECT_EQ(model->max_depth(), std::optional<std::uint64_t>(8));
  EXPECT_EQ(model->min_samples_split(), std::optional<std::uint64_t>(2));
  EXPECT_EQ(model->min_samples_leaf(), std::optional<std::uint64_t>(1));
  EXPECT_EQ(model->max_features(), std::optional<std::uint64_t>(3));
  EXPECT_EQ(model->seed(), std::optional<std::uint64_t>(11));
  EXPECT_TRUE(model->compute_oob());
}

TEST(IrImport, EnsemblesRefuseBinningTooLargeToCopyIntoEveryTree) {
  ModelPackageIr document = document_of("stump_regressor");
  document.model.algorithm = "rf";
  // Five features of 65,536 boundaries each, copied into 1,000 trees: over 2^28 copies.
  FeatureBinning::Numeric wide{0, {}};
  for (std::uint32_t bin = 0; bin < 65536; ++bin) {
    wide.boundaries.push_back({static_cast<std::uint16_t>(bin), static_cast<double>(bin)});
  }
  document.input_schema.feature_count = 5;
  document.preprocessing.numeric_binning.features.clear();
  for (std::uint64_t f = 0; f < 5; ++f) {
    wide.feature_index = f;
    document.preprocessing.numeric_binning.features.push_back({wide});
  }
  const TreeDefinition tree = document.model.trees.front();
  document.model.trees.assign(1000, tree);
  EXPECT_EQ(import_error(document),
            "Invalid preprocessing section: 327680 bin boundaries are too many to copy into 1000 "
            "trees.");
  document.model.trees.resize(4);
  EXPECT_EQ(import_error(document), "imported");
}

TEST(IrImport, ErrorDebugFormsNameTheVariant) {
  EXPECT_EQ((IrError{IrError::UnexpectedTreeCount{2}}).debug_string(), "UnexpectedTreeCount(2)");
  EXPECT_EQ((IrError{IrError::PreprocessingFeatureMismatch{3, 4}}).debug_string(),
            "PreprocessingFeatureMismatch { declared: 3, required: 4 }");
  EXPECT_EQ((IrError{IrError::InvalidJson{"a \"b\""}}).debug_string(),
            "InvalidJson(\"a \\\"b\\\"\")");
  EXPECT_EQ((IrError{IrError::MissingClassLabels{}}).debug_string(), "MissingClassLabels");
}

}  // namespace
}  // namespace arborvane::core::ir
