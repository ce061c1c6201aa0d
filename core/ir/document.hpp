#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/ir/training_metadata.hpp"
#include "data/binning.hpp"

// The model document: the portable description of one trained model. These records mirror
// the JSON objects one to one; members are declared in writing order. std::optional marks a
// member that is omitted when absent, except where a comment says it is written as null.
namespace arborvane::core::ir {

using core::TrainingMetadata;
using data::NumericBinBoundary;

struct ProducerMetadata {
  std::string library;
  std::string library_version;
  std::string language;
  std::string platform;

  friend bool operator==(const ProducerMetadata&, const ProducerMetadata&) = default;
};

struct NodeStats {
  std::uint64_t sample_count = 0;
  std::optional<double> impurity;
  std::optional<double> gain;
  std::optional<std::vector<std::uint64_t>> class_counts;
  std::optional<double> variance;

  friend bool operator==(const NodeStats&, const NodeStats&) = default;
};

struct LeafPayloadClassIndex {
  std::uint64_t class_index = 0;
  double class_value = 0.0;
  friend bool operator==(const LeafPayloadClassIndex&, const LeafPayloadClassIndex&) = default;
};

struct LeafPayloadRegressionValue {
  double value = 0.0;
  friend bool operator==(const LeafPayloadRegressionValue&, const LeafPayloadRegressionValue&) = default;
};

// Tag "prediction_kind".
struct LeafPayload {
  using ClassIndex = LeafPayloadClassIndex;
  using RegressionValue = LeafPayloadRegressionValue;
  std::variant<ClassIndex, RegressionValue> payload;

  friend bool operator==(const LeafPayload&, const LeafPayload&) = default;
};

struct BinarySplitBooleanTest {
  std::uint64_t feature_index = 0;
  std::string feature_name;
  std::string false_child_semantics;
  std::string true_child_semantics;
  friend bool operator==(const BinarySplitBooleanTest&, const BinarySplitBooleanTest&) = default;
};

struct BinarySplitNumericBinThreshold {
  std::uint64_t feature_index = 0;
  std::string feature_name;
  std::string operator_;  // the member "operator"
  std::uint16_t threshold_bin = 0;
  std::optional<double> threshold_upper_bound;  // written as null when absent
  std::string comparison_dtype;
  friend bool operator==(const BinarySplitNumericBinThreshold&, const BinarySplitNumericBinThreshold&) = default;
};

// Tag "split_type".
struct BinarySplit {
  using BooleanTest = BinarySplitBooleanTest;
  using NumericBinThreshold = BinarySplitNumericBinThreshold;
  std::variant<BooleanTest, NumericBinThreshold> split;

  friend bool operator==(const BinarySplit&, const BinarySplit&) = default;
};

// A plain object: its split_type is an ordinary member.
struct MultiwaySplit {
  std::string split_type;
  std::uint64_t feature_index = 0;
  std::string feature_name;
  std::string comparison_dtype;

  friend bool operator==(const MultiwaySplit&, const MultiwaySplit&) = default;
};

struct BinaryChildren {
  std::uint64_t left = 0;
  std::uint64_t right = 0;

  friend bool operator==(const BinaryChildren&, const BinaryChildren&) = default;
};

struct MultiwayBranch {
  std::uint16_t bin = 0;
  std::uint64_t child = 0;

  friend bool operator==(const MultiwayBranch&, const MultiwayBranch&) = default;
};

struct NodeTreeNodeBinaryBranch {
  std::uint64_t node_id = 0;
  std::uint64_t depth = 0;
  BinarySplit split;
  BinaryChildren children;
  NodeStats stats;
  friend bool operator==(const NodeTreeNodeBinaryBranch&, const NodeTreeNodeBinaryBranch&) = default;
};

struct NodeTreeNodeLeaf {
  std::uint64_t node_id = 0;
  std::uint64_t depth = 0;
  LeafPayload leaf;
  NodeStats stats;
  friend bool operator==(const NodeTreeNodeLeaf&, const NodeTreeNodeLeaf&) = default;
};

struct NodeTreeNodeMultiwayBranch {
  std::uint64_t node_id = 0;
  std::uint64_t depth = 0;
  MultiwaySplit split;
  std::vector<MultiwayBranch> branches;
  LeafPayload unmatched_leaf;
  NodeStats stats;
  friend bool operator==(const NodeTreeNodeMultiwayBranch&, const NodeTreeNodeMultiwayBranch&) = default;
};

// Tag "kind".
struct NodeTreeNode {
  using BinaryBranch = NodeTreeNodeBinaryBranch;
  using Leaf = NodeTreeNodeLeaf;
  using MultiwayBranch = NodeTreeNodeMultiwayBranch;
  std::variant<BinaryBranch, Leaf, MultiwayBranch> node;

  friend bool operator==(const NodeTreeNode&, const NodeTreeNode&) = default;
};

struct ObliviousSplitBooleanTest {
  std::uint64_t feature_index = 0;
  std::string feature_name;
  std::uint8_t bit_when_false = 0;
  std::uint8_t bit_when_true = 1;
  friend bool operator==(const ObliviousSplitBooleanTest&, const ObliviousSplitBooleanTest&) = default;
};

struct ObliviousSplitNumericBinThreshold {
  std::uint64_t feature_index = 0;
  std::string feature_name;
  std::string operator_;  // the member "operator"
  std::uint16_t threshold_bin = 0;
  std::optional<double> threshold_upper_bound;  // written as null when absent
  std::string comparison_dtype;
  std::uint8_t bit_when_true = 0;
  std::uint8_t bit_when_false = 1;
  friend bool operator==(const ObliviousSplitNumericBinThreshold&, const ObliviousSplitNumericBinThreshold&) = default;
};

// Tag "split_type". The two variants write their bit members in opposite orders.
struct ObliviousSplit {
  using BooleanTest = ObliviousSplitBooleanTest;
  using NumericBinThreshold = ObliviousSplitNumericBinThreshold;
  std::variant<BooleanTest, NumericBinThreshold> split;

  friend bool operator==(const ObliviousSplit&, const ObliviousSplit&) = default;
};

struct ObliviousLevel {
  std::uint64_t level = 0;
  ObliviousSplit split;
  NodeStats stats;

  friend bool operator==(const ObliviousLevel&, const ObliviousLevel&) = default;
};

struct LeafIndexing {
  std::string bit_order;
  std::string index_formula;

  friend bool operator==(const LeafIndexing&, const LeafIndexing&) = default;
};

struct IndexedLeaf {
  std::uint64_t leaf_index = 0;
  LeafPayload leaf;
  NodeStats stats;

  friend bool operator==(const IndexedLeaf&, const IndexedLeaf&) = default;
};

struct TreeDefinitionNodeTree {
  std::uint64_t tree_id = 0;
  double weight = 1.0;
  std::uint64_t root_node_id = 0;
  std::vector<NodeTreeNode> nodes;
  friend bool operator==(const TreeDefinitionNodeTree&, const TreeDefinitionNodeTree&) = default;
};

struct TreeDefinitionObliviousLevels {
  std::uint64_t tree_id = 0;
  double weight = 1.0;
  std::uint64_t depth = 0;
  std::vector<ObliviousLevel> levels;
  LeafIndexing leaf_indexing;
  std::vector<IndexedLeaf> leaves;
  friend bool operator==(const TreeDefinitionObliviousLevels&, const TreeDefinitionObliviousLevels&) = default;
};

// Tag "representation".
struct TreeDefinition {
  using NodeTree = TreeDefinitionNodeTree;
  using ObliviousLevels = TreeDefinitionObliviousLevels;
  std::variant<NodeTree, ObliviousLevels> tree;

  friend bool operator==(const TreeDefinition&, const TreeDefinition&) = default;
};

struct Aggregation {
  std::string kind;
  std::vector<double> tree_weights;
  bool normalize_by_weight_sum = true;
  std::optional<double> base_score;

  friend bool operator==(const Aggregation&, const Aggregation&) = default;
};

struct ModelSection {
  std::string algorithm;
  std::string task;
  std::string tree_type;
  std::string representation;
  std::uint64_t num_features = 0;
  std::uint64_t num_outputs = 1;
  bool supports_missing = false;
  bool supports_categorical = false;
  bool is_ensemble = false;
  std::vector<TreeDefinition> trees;
  Aggregation aggregation;

  friend bool operator==(const ModelSection&, const ModelSection&) = default;
};

struct InputFeature {
  std::uint64_t index = 0;
  std::string name;
  std::string dtype;
  std::string logical_type;
  bool nullable = false;

  friend bool operator==(const InputFeature&, const InputFeature&) = default;
};

struct InputSchema {
  std::uint64_t feature_count = 0;
  std::vector<InputFeature> features;
  std::string ordering;
  std::string input_tensor_layout;
  bool accepts_feature_names = false;

  friend bool operator==(const InputSchema&, const InputSchema&) = default;
};

struct OutputField {
  std::string name;
  std::string kind;
  std::vector<std::uint64_t> shape;
  std::string dtype;

  friend bool operator==(const OutputField&, const OutputField&) = default;
};

struct OutputSchema {
  std::vector<OutputField> raw_outputs;
  std::vector<OutputField> final_outputs;
  std::optional<std::vector<double>> class_order;

  friend bool operator==(const OutputSchema&, const OutputSchema&) = default;
};

struct BoolEncoding {
  std::vector<std::string> false_values;
  std::vector<std::string> true_values;

  friend bool operator==(const BoolEncoding&, const BoolEncoding&) = default;
};

struct TieBreaking {
  std::string classification;
  std::string argmax;

  friend bool operator==(const TieBreaking&, const TieBreaking&) = default;
};

struct Determinism {
  bool guaranteed = true;
  std::string notes;

  friend bool operator==(const Determinism&, const Determinism&) = default;
};

struct InferenceOptions {
  std::string numeric_precision;
  std::string threshold_comparison;
  std::string nan_policy;
  BoolEncoding bool_encoding;
  TieBreaking tie_breaking;
  Determinism determinism;

  friend bool operator==(const InferenceOptions&, const InferenceOptions&) = default;
};

struct FeatureBinningNumeric {
  std::uint64_t feature_index = 0;
  std::vector<NumericBinBoundary> boundaries;
  friend bool operator==(const FeatureBinningNumeric&, const FeatureBinningNumeric&) = default;
};

struct FeatureBinningBinary {
  std::uint64_t feature_index = 0;
  friend bool operator==(const FeatureBinningBinary&, const FeatureBinningBinary&) = default;
};

// Tag "kind".
struct FeatureBinning {
  using Numeric = FeatureBinningNumeric;
  using Binary = FeatureBinningBinary;
  std::variant<Numeric, Binary> binning;

  friend bool operator==(const FeatureBinning&, const FeatureBinning&) = default;
};

struct NumericBinning {
  std::string kind;
  std::vector<FeatureBinning> features;

  friend bool operator==(const NumericBinning&, const NumericBinning&) = default;
};

struct PreprocessingSection {
  bool included_in_model = true;
  NumericBinning numeric_binning;
  std::string notes;

  friend bool operator==(const PreprocessingSection&, const PreprocessingSection&) = default;
};

struct PostprocessingStepIdentity {
  friend bool operator==(const PostprocessingStepIdentity&, const PostprocessingStepIdentity&) = default;
};

struct PostprocessingStepMapClassIndexToLabel {
  std::vector<double> labels;
  friend bool operator==(const PostprocessingStepMapClassIndexToLabel&, const PostprocessingStepMapClassIndexToLabel&) = default;
};

// Tag "op".
struct PostprocessingStep {
  using Identity = PostprocessingStepIdentity;
  using MapClassIndexToLabel = PostprocessingStepMapClassIndexToLabel;
  std::variant<Identity, MapClassIndexToLabel> step;

  friend bool operator==(const PostprocessingStep&, const PostprocessingStep&) = default;
};

struct PostprocessingSection {
  std::string raw_output_kind;
  std::vector<PostprocessingStep> steps;

  friend bool operator==(const PostprocessingSection&, const PostprocessingSection&) = default;
};

struct Compatibility {
  std::string minimum_runtime_version;
  std::vector<std::string> required_capabilities;

  friend bool operator==(const Compatibility&, const Compatibility&) = default;
};

struct IntegritySection {
  std::string serialization;
  bool canonical_json = true;
  Compatibility compatibility;

  friend bool operator==(const IntegritySection&, const IntegritySection&) = default;
};

// The document root.
struct ModelPackageIr {
  std::string ir_version;
  std::string format_name;
  ProducerMetadata producer;
  ModelSection model;
  InputSchema input_schema;
  OutputSchema output_schema;
  InferenceOptions inference_options;
  PreprocessingSection preprocessing;
  PostprocessingSection postprocessing;
  TrainingMetadata training_metadata;
  IntegritySection integrity;

  friend bool operator==(const ModelPackageIr&, const ModelPackageIr&) = default;
};

// The fixed words export writes.
inline constexpr const char* kIrVersion = "1.0.0";
inline constexpr const char* kFormatName = "arborvane-ir";

}  // namespace arborvane::core::ir
