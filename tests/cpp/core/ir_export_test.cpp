#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/ir/document_json.hpp"
#include "core/ir/export.hpp"
#include "core/lib/model.hpp"
#include "core/tree/tree_ir.hpp"

namespace arborvane::core {
namespace {

using data::FeaturePreprocessing;

// Feature 0 numeric with two boundaries, feature 1 binary.
std::vector<FeaturePreprocessing> two_features() {
  return {FeaturePreprocessing::numeric({{0, 1.5}, {1, 3.0}}), FeaturePreprocessing::binary()};
}

// A root split on feature 0 at bin 0 over two leaves, labels -1 and 2.5.
DecisionTreeClassifier small_classifier() {
  DecisionTreeClassifier tree;
  tree.class_labels = {-1.0, 2.5};
  tree.feature_preprocessing = two_features();
  StandardClassificationTree nodes;
  nodes.nodes.push_back(classifier_node::Leaf{{3, 1}, 0, 4});
  nodes.nodes.push_back(classifier_node::Leaf{{0, 2}, 1, 2});
  nodes.nodes.push_back(classifier_node::BinarySplit{{3, 3}, 0, 0, 0, 1, 6, 0.5, 0.25});
  nodes.root = 2;
  tree.structure = nodes;
  tree.n_features = 2;
  tree.tree_type = TreeType::Cart;
  tree.criterion = Criterion::Gini;
  return tree;
}

// One level on the binary feature; leaf values exercise the float forms.
DecisionTreeRegressor small_oblivious_regressor() {
  DecisionTreeRegressor tree;
  tree.feature_preprocessing = two_features();
  ObliviousRegressionTree levels;
  levels.levels.push_back(ObliviousLevel{1, 5, 2.0, 0.75, 0});
  levels.leaf_values = {1e-7, -0.0};
  levels.leaf_sample_counts = {3, 2};
  levels.leaf_variances = {1e16, std::nullopt};
  tree.structure = levels;
  tree.n_features = 2;
  tree.algorithm = TreeType::Oblivious;
  tree.criterion = Criterion::Mean;
  return tree;
}

DecisionTreeRegressor regression_stump(double left, double right) {
  DecisionTreeRegressor tree;
  tree.feature_preprocessing = two_features();
  StandardRegressionTree nodes;
  nodes.nodes.push_back(regression_node::Leaf{left, 2, 0.5});
  nodes.nodes.push_back(regression_node::Leaf{right, 2, std::nullopt});
  // Threshold bin 7 has no boundary: its upper bound is unknown.
  nodes.nodes.push_back(regression_node::BinarySplit{0, 7, 0, 1, 4, 1.0, 0.5, 0.25});
  nodes.root = 2;
  tree.structure = nodes;
  tree.n_features = 2;
  tree.algorithm = TreeType::Cart;
  tree.criterion = Criterion::SecondOrder;
  return tree;
}

TEST(IrExport, ClassificationTreeCompactDocument) {
  const Model model{small_classifier()};
  const std::string expected =
      R"({"ir_version":"1.0.0","format_name":"arborvane-ir",)"
      R"("producer":{"library":"arborvane-core","library_version":"0.1.0","language":"cpp","platform":"x86_64"},)"
      R"("model":{"algorithm":"dt","task":"classification","tree_type":"cart","representation":"node_tree",)"
      R"("num_features":2,"num_outputs":1,"supports_missing":false,"supports_categorical":false,"is_ensemble":false,)"
      R"("trees":[{"representation":"node_tree","tree_id":0,"weight":1.0,"root_node_id":2,"nodes":[)"
      R"({"kind":"leaf","node_id":0,"depth":1,"leaf":{"prediction_kind":"class_index","class_index":0,"class_value":-1.0},)"
      R"("stats":{"sample_count":4,"class_counts":[3,1]}},)"
      R"({"kind":"leaf","node_id":1,"depth":1,"leaf":{"prediction_kind":"class_index","class_index":1,"class_value":2.5},)"
      R"("stats":{"sample_count":2,"class_counts":[0,2]}},)"
      R"({"kind":"binary_branch","node_id":2,"depth":0,)"
      R"("split":{"split_type":"numeric_bin_threshold","feature_index":0,"feature_name":"f0","operator":"<=",)"
      R"("threshold_bin":0,"threshold_upper_bound":1.5,"comparison_dtype":"uint16"},)"
      R"("children":{"left":0,"right":1},"stats":{"sample_count":6,"impurity":0.5,"gain":0.25,"class_counts":[3,3]}}]}],)"
      R"("aggregation":{"kind":"identity_single_tree","tree_weights":[1.0],"normalize_by_weight_sum":true}},)"
      R"("input_schema":{"feature_count":2,"features":[)"
      R"({"index":0,"name":"f0","dtype":"float64","logical_type":"numeric","nullable":false},)"
      R"({"index":1,"name":"f1","dtype":"bool","logical_type":"boolean","nullable":false}],)"
      R"("ordering":"strict_index_order","input_tensor_layout":"row_major","accepts_feature_names":false},)"
      R"("output_schema":{"raw_outputs":[{"name":"class_index","kind":"class_index","shape":[],"dtype":"uint64"}],)"
      R"("final_outputs":[{"name":"predicted_class","kind":"class_label","shape":[],"dtype":"float64"}],)"
      R"("class_order":[-1.0,2.5]},)"
      R"("inference_options":{"numeric_precision":"float64","threshold_comparison":"leq_left_gt_right",)"
      R"("nan_policy":"not_supported","bool_encoding":{"false_values":["0","false"],"true_values":["1","true"]},)"
      R"("tie_breaking":{"classification":"lowest_class_index","argmax":"first_max_index"},)"
      R"("determinism":{"guaranteed":true,"notes":"Inference is deterministic when the serialized )"
      R"(preprocessing artifacts are applied before split evaluation."}},)"
      R"("preprocessing":{"included_in_model":true,"numeric_binning":{"kind":"rank_bin_128","features":[)"
      R"({"kind":"numeric","feature_index":0,"boundaries":[{"bin":0,"upper_bound":1.5},{"bin":1,"upper_bound":3.0}]},)"
      R"({"kind":"binary","feature_index":1}]},)"
      R"("notes":"Numeric features use serialized training-time rank bins. Binary features are serialized )"
      R"(as booleans. Missing values and categorical encodings are not implemented in IR v1."},)"
      R"("postprocessing":{"raw_output_kind":"class_index","steps":[{"op":"map_class_index_to_label","labels":[-1.0,2.5]}]},)"
      R"("training_metadata":{"algorithm":"dt","task":"classification","tree_type":"cart","criterion":"gini",)"
      R"("canaries":0,"compute_oob":false,"max_depth":8,"min_samples_split":2,"min_samples_leaf":1,"class_labels":[-1.0,2.5]},)"
      R"("integrity":{"serialization":"json","canonical_json":true,"compatibility":{"minimum_runtime_version":"1.0.0",)"
      R"("required_capabilities":["node_tree","training_rank_bin_128","numeric_bin_threshold_splits",)"
      R"("boolean_features","class_index_leaves"]}}})";
  EXPECT_EQ(model.to_ir_json(), expected);
  EXPECT_EQ(model.serialize(), expected);
  EXPECT_EQ(model.to_ir_json(), model.to_ir_json());
}

// Drops the whitespace the pretty form adds between tokens (strings here hold no newline).
std::string without_layout(const std::string& pretty) {
  std::string out;
  bool in_string = false;
  for (std::size_t i = 0; i < pretty.size(); ++i) {
    const char c = pretty[i];
    if (in_string) {
      out.push_back(c);
      if (c == '\\') {
        out.push_back(pretty[++i]);
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
      out.push_back(c);
    } else if (c != ' ' && c != '\n') {
      out.push_back(c);
    }
  }
  return out;
}

TEST(IrExport, ObliviousRegressorPrettyTree) {
  const Model model{small_oblivious_regressor()};
  const std::string pretty = model.to_ir_json_pretty();
  EXPECT_EQ(model.serialize_pretty(), pretty);
  EXPECT_EQ(without_layout(pretty), model.to_ir_json());
  EXPECT_EQ(pretty.substr(0, 30), "{\n  \"ir_version\": \"1.0.0\",\n  \"");
  EXPECT_NE(pretty.back(), '\n');

  const std::string tree =
      "    \"trees\": [\n"
      "      {\n"
      "        \"representation\": \"oblivious_levels\",\n"
      "        \"tree_id\": 0,\n"
      "        \"weight\": 1.0,\n"
      "        \"depth\": 1,\n"
      "        \"levels\": [\n"
      "          {\n"
      "            \"level\": 0,\n"
      "            \"split\": {\n"
      "              \"split_type\": \"boolean_test\",\n"
      "              \"feature_index\": 1,\n"
      "              \"feature_name\": \"f1\",\n"
      "              \"bit_when_false\": 0,\n"
      "              \"bit_when_true\": 1\n"
      "            },\n"
      "            \"stats\": {\n"
      "              \"sample_count\": 5,\n"
      "              \"impurity\": 2.0,\n"
      "              \"gain\": 0.75\n"
      "            }\n"
      "          }\n"
      "        ],\n"
      "        \"leaf_indexing\": {\n"
      "          \"bit_order\": \"msb_first\",\n"
      "          \"index_formula\": \"sum(bit[level] << (depth - 1 - level))\"\n"
      "        },\n"
      "        \"leaves\": [\n"
      "          {\n"
      "            \"leaf_index\": 0,\n"
      "            \"leaf\": {\n"
      "              \"prediction_kind\": \"regression_value\",\n"
      "              \"value\": 1e-7\n"
      "            },\n"
      "            \"stats\": {\n"
      "              \"sample_count\": 3,\n"
      "              \"variance\": 1e16\n"
      "            }\n"
      "          },\n"
      "          {\n"
      "            \"leaf_index\": 1,\n"
      "            \"leaf\": {\n"
      "              \"prediction_kind\": \"regression_value\",\n"
      "              \"value\": -0.0\n"
      "            },\n"
      "            \"stats\": {\n"
      "              \"sample_count\": 2\n"
      "            }\n"
      "          }\n"
      "        ]\n"
      "      }\n"
      "    ],\n";
  EXPECT_NE(pretty.find(tree), std::string::npos) << pretty;
  EXPECT_NE(pretty.find("\"shape\": [],\n"), std::string::npos);
  EXPECT_NE(pretty.find(R"("model": {
    "algorithm": "dt",
    "task": "regression",
    "tree_type": "oblivious",
    "representation": "oblivious_levels",)"),
            std::string::npos);
  EXPECT_NE(pretty.find(R"("output_schema": {
    "raw_outputs": [
      {
        "name": "value",
        "kind": "regression_value",
        "shape": [],
        "dtype": "float64"
      }
    ],
    "final_outputs": [
      {
        "name": "prediction",
        "kind": "value",
        "shape": [],
        "dtype": "float64"
      }
    ]
  },)"),
            std::string::npos);
  EXPECT_NE(pretty.find(R"("postprocessing": {
    "raw_output_kind": "regression_value",
    "steps": [
      {
        "op": "identity"
      }
    ]
  },)"),
            std::string::npos);
  EXPECT_NE(pretty.find(R"("required_capabilities": [
        "oblivious_levels",
        "training_rank_bin_128",
        "numeric_bin_threshold_splits",
        "boolean_features",
        "regression_value_leaves"
      ])"),
            std::string::npos);
}

TEST(IrExport, NumericObliviousSplitWritesBitsTrueFirst) {
  DecisionTreeRegressor tree = small_oblivious_regressor();
  std::get<ObliviousRegressionTree>(tree.structure).levels[0].feature_index = 0;
  std::get<ObliviousRegressionTree>(tree.structure).levels[0].threshold_bin = 1;
  EXPECT_NE(Model{tree}.to_ir_json().find(
                R"("split":{"split_type":"numeric_bin_threshold","feature_index":0,"feature_name":"f0",)"
                R"("operator":"<=","threshold_bin":1,"threshold_upper_bound":3.0,"comparison_dtype":"uint16",)"
                R"("bit_when_true":0,"bit_when_false":1})"),
            std::string::npos);
}

TEST(IrExport, SplitConversionRules) {
  const std::vector<FeaturePreprocessing> records = two_features();
  struct Case {
    std::uint64_t feature;
    std::uint16_t bin;
    bool boolean;
    std::optional<double> upper_bound;
  };
  for (const Case& c : {Case{0, 1, false, 3.0}, Case{0, 9, false, std::nullopt},
                        Case{1, 0, true, std::nullopt}, Case{2, 0, false, std::nullopt}}) {
    const ir::BinarySplit split = binary_split_ir(c.feature, c.bin, records);
    if (c.boolean) {
      const auto& test = std::get<ir::BinarySplit::BooleanTest>(split.split);
      EXPECT_EQ(test.false_child_semantics, "left");
      EXPECT_EQ(test.true_child_semantics, "right");
    } else {
      const auto& threshold = std::get<ir::BinarySplit::NumericBinThreshold>(split.split);
      EXPECT_EQ(threshold.threshold_bin, c.bin);
      EXPECT_EQ(threshold.threshold_upper_bound, c.upper_bound) << c.feature << " " << c.bin;
      EXPECT_EQ(threshold.feature_name, feature_name_ir(c.feature));
    }
  }
}

TEST(IrExport, RegressionTreeStatsAndNullUpperBound) {
  const std::string text = Model{regression_stump(1.0, 2.0)}.to_ir_json();
  EXPECT_NE(text.find(R"("threshold_bin":7,"threshold_upper_bound":null,)"), std::string::npos);
  EXPECT_NE(text.find(R"("stats":{"sample_count":2,"variance":0.5})"), std::string::npos);
  // A leaf without a variance writes its sample count only.
  EXPECT_NE(text.find(R"("stats":{"sample_count":2}})"), std::string::npos);
  EXPECT_NE(text.find(R"("stats":{"sample_count":4,"impurity":1.0,"gain":0.5,"variance":0.25})"),
            std::string::npos);
  EXPECT_EQ(text.find("class_order"), std::string::npos);
}

TEST(IrExport, MultiwayNode) {
  DecisionTreeClassifier tree = small_classifier();
  tree.tree_type = TreeType::Id3;
  tree.criterion = Criterion::Entropy;
  auto& nodes = std::get<StandardClassificationTree>(tree.structure);
  nodes.nodes[2] = classifier_node::MultiwaySplit{{{0, 0}, {3, 1}}, {3, 3}, 0, 1, 6, 1.0, 0.5};
  const std::string text = Model{tree}.to_ir_json();
  EXPECT_NE(text.find(R"({"kind":"multiway_branch","node_id":2,"depth":0,)"
                      R"("split":{"split_type":"binned_value_multiway","feature_index":0,"feature_name":"f0","comparison_dtype":"uint16"},)"
                      R"("branches":[{"bin":0,"child":0},{"bin":3,"child":1}],)"
                      R"("unmatched_leaf":{"prediction_kind":"class_index","class_index":1,"class_value":2.5},)"
                      R"("stats":{"sample_count":6,"impurity":1.0,"gain":0.5,"class_counts":[3,3]}})"),
            std::string::npos);
  EXPECT_NE(text.find(R"("tree_type":"id3","criterion":"entropy")"), std::string::npos);
  EXPECT_NE(text.find(R"(["node_tree","training_rank_bin_128","binned_multiway_splits",)"),
            std::string::npos);
}

TEST(IrExport, ForestOfThreeTrees) {
  RandomForest forest;
  for (int i = 0; i < 3; ++i) forest.trees.emplace_back(small_classifier());
  forest.feature_preprocessing = two_features();
  forest.max_features = 1;
  forest.n_features = 2;
  forest.task = Task::Classification;
  forest.criterion = Criterion::Gini;
  forest.compute_oob = true;
  forest.oob_score = 0.75;
  forest.seed = 42;
  const Model model{forest};
  const ir::ModelPackageIr document = ir::model_to_ir(model);
  ASSERT_EQ(document.model.trees.size(), 3u);
  for (const ir::TreeDefinition& tree : document.model.trees) {
    const auto& nodes = std::get<ir::TreeDefinition::NodeTree>(tree.tree);
    EXPECT_EQ(nodes.tree_id, 0u);
    EXPECT_EQ(nodes.weight, 1.0);
  }
  const std::string text = write_ir_json(document, false);
  EXPECT_NE(text.find(R"("algorithm":"rf","task":"classification","tree_type":"cart","representation":"node_tree",)"
                      R"("num_features":2,"num_outputs":1,"supports_missing":false,"supports_categorical":false,"is_ensemble":true,)"),
            std::string::npos);
  EXPECT_NE(text.find(R"("aggregation":{"kind":"average_class_probabilities","tree_weights":[1.0,1.0,1.0],)"
                      R"("normalize_by_weight_sum":true}})"),
            std::string::npos);
  EXPECT_NE(text.find(R"("training_metadata":{"algorithm":"rf","task":"classification","tree_type":"cart",)"
                      R"("criterion":"gini","canaries":0,"compute_oob":true,"max_depth":8,"min_samples_split":2,)"
                      R"("min_samples_leaf":1,"n_trees":3,"max_features":1,"seed":42,"oob_score":0.75,)"
                      R"("class_labels":[-1.0,2.5]},)"),
            std::string::npos);
}

TEST(IrExport, BoostingAggregationAndMetadata) {
  GradientBoostedTrees boosted;
  boosted.trees.emplace_back(regression_stump(1.0, 2.0));
  boosted.trees.emplace_back(regression_stump(-1.0, 0.5));
  boosted.tree_weights = {0.1, 0.1};
  boosted.feature_preprocessing = two_features();
  boosted.base_score = -0.25;
  boosted.max_features = 2;
  boosted.n_features = 2;
  boosted.canaries = 2;
  boosted.task = Task::Regression;
  const std::string text = Model{boosted}.to_ir_json();
  EXPECT_NE(text.find(R"("aggregation":{"kind":"sum_tree_outputs","tree_weights":[0.1,0.1],)"
                      R"("normalize_by_weight_sum":false,"base_score":-0.25}})"),
            std::string::npos);
  EXPECT_NE(text.find(R"("training_metadata":{"algorithm":"gbm","task":"regression","tree_type":"cart",)"
                      R"("criterion":"second_order","canaries":2,"compute_oob":false,"max_depth":8,)"
                      R"("min_samples_split":2,"min_samples_leaf":1,"n_trees":2,"max_features":2,)"
                      R"("learning_rate":0.1,"bootstrap":false,"top_gradient_fraction":0.2,)"
                      R"("other_gradient_fraction":0.1},)"),
            std::string::npos);

  // Stopped before the first tree: no trees, the representation follows the tree type.
  boosted.trees.clear();
  boosted.tree_weights.clear();
  boosted.tree_type = TreeType::Oblivious;
  boosted.task = Task::Classification;
  boosted.class_labels = std::vector<double>{0.0, 1.0};
  const std::string empty = Model{boosted}.to_ir_json();
  EXPECT_NE(empty.find(R"("representation":"oblivious_levels","num_features":2,)"),
            std::string::npos);
  EXPECT_NE(empty.find(R"("trees":[],"aggregation":{"kind":"sum_tree_outputs_then_sigmoid",)"
                       R"("tree_weights":[],"normalize_by_weight_sum":false,"base_score":-0.25}})"),
            std::string::npos);
  EXPECT_NE(empty.find(R"("canaries":2,"compute_oob":false,"n_trees":0,)"), std::string::npos);
}

TEST(IrExport, ParallelWritingGivesTheSameText) {
  RandomForest forest;
  for (int i = 0; i < 20; ++i) {
    DecisionTreeClassifier tree = small_classifier();
    auto& nodes = std::get<StandardClassificationTree>(tree.structure);
    std::get<classifier_node::BinarySplit>(nodes.nodes[2]).threshold_bin = i % 2;
    std::get<classifier_node::BinarySplit>(nodes.nodes[2]).gain = 0.01 * i;
    forest.trees.emplace_back(tree);
  }
  forest.feature_preprocessing = two_features();
  forest.n_features = 2;
  forest.task = Task::Classification;
  forest.criterion = Criterion::Gini;
  const Model model{forest};
  auto pool = platform::ThreadPool::create(3);
  ASSERT_TRUE(pool.has_value());
  const ir::ModelPackageIr document = ir::model_to_ir(model);
  EXPECT_EQ(ir::model_to_ir(model, pool->get()), document);
  for (const bool pretty : {false, true}) {
    EXPECT_EQ(write_ir_json(document, pretty, pool->get()), write_ir_json(document, pretty));
  }
  EXPECT_EQ(model.to_ir_json(), write_ir_json(document, false));
  EXPECT_EQ(model.to_ir_json_pretty(), write_ir_json(document, true));
}

TEST(IrExport, NonFiniteFloatsAreWrittenAsNull) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::string text = Model{regression_stump(nan, 2.0)}.to_ir_json();
  EXPECT_NE(text.find(R"("leaf":{"prediction_kind":"regression_value","value":null})"),
            std::string::npos);
}

TEST(IrExport, AllNumericFeaturesListNoBooleanCapability) {
  DecisionTreeClassifier tree = small_classifier();
  tree.feature_preprocessing[1] = FeaturePreprocessing::numeric({{0, 0.0}});
  const std::string text = Model{tree}.to_ir_json();
  EXPECT_EQ(text.find("boolean_features"), std::string::npos);
  EXPECT_NE(text.find(R"({"index":1,"name":"f1","dtype":"float64","logical_type":"numeric",)"),
            std::string::npos);
}

}  // namespace
}  // namespace arborvane::core
