#include "core/ir/export.hpp"

#include <string>
#include <utility>
#include <variant>

#include "core/lib/model.hpp"
#include "core/tree/tree_ir.hpp"
#include "platform/check.hpp"
#include "platform/overloaded.hpp"

namespace arborvane::core::ir {

using platform::Overloaded;

namespace {

// What document assembly needs to know about a model, whatever its kind.
struct ModelFacts {
  std::string algorithm;
  Task task = Task::Regression;
  TreeType tree_type = TreeType::Cart;
  std::uint64_t n_features = 0;
  std::vector<TreeDefinition> trees;
  Aggregation aggregation;
};

TreeDefinition member_tree(const Model& member) {
  return std::visit(Overloaded{
                        [](const DecisionTreeClassifier& tree) { return tree.to_ir_tree(); },
                        [](const DecisionTreeRegressor& tree) { return tree.to_ir_tree(); },
                        [](const auto&) -> TreeDefinition {
                          internal_failure("an ensemble member is itself an ensemble");
                        },
                    },
                    member.kind());
}

std::vector<TreeDefinition> member_trees(const std::vector<Model>& members,
                                         platform::ThreadPool* pool) {
  if (pool != nullptr) {
    return pool->parallel_map(members.size(), [&](std::size_t i) { return member_tree(members[i]); });
  }
  std::vector<TreeDefinition> trees;
  trees.reserve(members.size());
  for (const Model& member : members) trees.push_back(member_tree(member));
  return trees;
}

ModelFacts facts_of(const Model& model, platform::ThreadPool* pool) {
  return std::visit(
      Overloaded{
          [](const DecisionTreeClassifier& tree) {
            return ModelFacts{"dt",          Task::Classification,
                              tree.tree_type, tree.n_features,
                              {tree.to_ir_tree()}, {"identity_single_tree", {1.0}, true, {}}};
          },
          [](const DecisionTreeRegressor& tree) {
            return ModelFacts{"dt",           Task::Regression,
                              tree.algorithm, tree.n_features,
                              {tree.to_ir_tree()}, {"identity_single_tree", {1.0}, true, {}}};
          },
          [&](const RandomForest& forest) {
            const char* kind = forest.task == Task::Classification ? "average_class_probabilities"
                                                                   : "average";
            return ModelFacts{"rf",
                              forest.task,
                              forest.tree_type,
                              forest.n_features,
                              member_trees(forest.trees, pool),
                              {kind, std::vector<double>(forest.trees.size(), 1.0), true, {}}};
          },
          [&](const GradientBoostedTrees& boosted) {
            const char* kind = boosted.task == Task::Classification
                                   ? "sum_tree_outputs_then_sigmoid"
                                   : "sum_tree_outputs";
            return ModelFacts{"gbm",
                              boosted.task,
                              boosted.tree_type,
                              boosted.n_features,
                              member_trees(boosted.trees, pool),
                              {kind, boosted.tree_weights, false, boosted.base_score}};
          },
      },
      model.kind());
}

InputSchema input_schema_of(const std::vector<data::FeaturePreprocessing>& preprocessing,
                            std::uint64_t n_features) {
  InputSchema schema;
  schema.feature_count = n_features;
  schema.features.reserve(preprocessing.size());
  for (std::uint64_t i = 0; i < preprocessing.size(); ++i) {
    const bool binary = preprocessing[i].kind == data::FeaturePreprocessing::Kind::Binary;
    schema.features.push_back({i, feature_name_ir(i), binary ? "bool" : "float64",
                               binary ? "boolean" : "numeric", false});
  }
  schema.ordering = "strict_index_order";
  schema.input_tensor_layout = "row_major";
  schema.accepts_feature_names = false;
  return schema;
}

OutputSchema output_schema_of(Task task, const std::optional<std::vector<double>>& labels) {
  if (task == Task::Classification) {
    return {{{"class_index", "class_index", {}, "uint64"}},
            {{"predicted_class", "class_label", {}, "float64"}},
            labels.value_or(std::vector<double>{})};
  }
  return {{{"value", "regression_value", {}, "float64"}},
          {{"prediction", "value", {}, "float64"}},
          std::nullopt};
}

InferenceOptions inference_options() {
  return {"float64",
          "leq_left_gt_right",
          "not_supported",
          {{"0", "false"}, {"1", "true"}},
          {"lowest_class_index", "first_max_index"},
          {true,
           "Inference is deterministic when the serialized preprocessing artifacts are applied "
           "before split evaluation."}};
}

PreprocessingSection preprocessing_of(const std::vector<data::FeaturePreprocessing>& records) {
  PreprocessingSection section;
  section.included_in_model = true;
  section.numeric_binning.kind = "rank_bin_128";
  section.numeric_binning.features.reserve(records.size());
  for (std::uint64_t i = 0; i < records.size(); ++i) {
    if (records[i].kind == data::FeaturePreprocessing::Kind::Binary) {
      section.numeric_binning.features.push_back({FeatureBinning::Binary{i}});
    } else {
      section.numeric_binning.features.push_back(
          {FeatureBinning::Numeric{i, records[i].boundaries}});
    }
  }
  section.notes =
      "Numeric features use serialized training-time rank bins. Binary features are serialized "
      "as booleans. Missing values and categorical encodings are not implemented in IR v1.";
  return section;
}

PostprocessingSection postprocessing_of(Task task,
                                        const std::optional<std::vector<double>>& labels) {
  if (task == Task::Classification) {
    return {"class_index",
            {{PostprocessingStep::MapClassIndexToLabel{labels.value_or(std::vector<double>{})}}}};
  }
  return {"regression_value", {{PostprocessingStep::Identity{}}}};
}

std::vector<std::string> capabilities(const std::string& representation, TreeType tree_type,
                                      Task task,
                                      const std::vector<data::FeaturePreprocessing>& records) {
  std::vector<std::string> words{representation, "training_rank_bin_128"};
  words.emplace_back(tree_type == TreeType::Id3 || tree_type == TreeType::C45
                         ? "binned_multiway_splits"
                         : "numeric_bin_threshold_splits");
  for (const data::FeaturePreprocessing& record : records) {
    if (record.kind == data::FeaturePreprocessing::Kind::Binary) {
      words.emplace_back("boolean_features");
      break;
    }
  }
  words.emplace_back(task == Task::Classification ? "class_index_leaves"
                                                  : "regression_value_leaves");
  return words;
}

}  // namespace

ModelPackageIr model_to_ir(const Model& model, platform::ThreadPool* pool) {
  ModelFacts facts = facts_of(model, pool);
  const std::vector<data::FeaturePreprocessing>& records = model.feature_preprocessing();
  const std::optional<std::vector<double>> labels = model.class_labels();

  std::string representation;
  if (!facts.trees.empty()) {
    representation = std::holds_alternative<TreeDefinition::ObliviousLevels>(facts.trees[0].tree)
                         ? "oblivious_levels"
                         : "node_tree";
  } else {
    representation = facts.tree_type == TreeType::Oblivious ? "oblivious_levels" : "node_tree";
  }

  ModelPackageIr document;
  document.ir_version = kIrVersion;
  document.format_name = kFormatName;
  document.producer = {"arborvane-core", "0.1.0", "cpp", "x86_64"};

  ModelSection& section = document.model;
  section.algorithm = facts.algorithm;
  section.task = std::string(task_name(facts.task));
  section.tree_type = std::string(tree_type_name(facts.tree_type));
  section.representation = representation;
  section.num_features = facts.n_features;
  section.num_outputs = 1;
  section.supports_missing = false;
  section.supports_categorical = false;
  section.is_ensemble = facts.algorithm != "dt";
  section.trees = std::move(facts.trees);
  section.aggregation = std::move(facts.aggregation);

  document.input_schema = input_schema_of(records, facts.n_features);
  document.output_schema = output_schema_of(facts.task, labels);
  document.inference_options = inference_options();
  document.preprocessing = preprocessing_of(records);
  document.postprocessing = postprocessing_of(facts.task, labels);
  document.training_metadata = model.training_metadata();
  document.integrity = {"json", true,
                        {"1.0.0", capabilities(representation, facts.tree_type, facts.task,
                                               records)}};
  return document;
}

}  // namespace arborvane::core::ir
