#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "core/ir/document_json.hpp"
#include "platform/json.hpp"
#include "platform/overloaded.hpp"

namespace arborvane::core::ir {

using platform::Overloaded;

namespace {

// Writes records member by member, in the order the format lists them.
class DocumentWriter {
 public:
  DocumentWriter(bool pretty, platform::ThreadPool* pool) : out_(pretty), pool_(pool) {}
  DocumentWriter(bool pretty, std::size_t base_depth) : out_(pretty, base_depth) {}

  std::string finish() { return out_.take(); }
  void reserve(std::size_t bytes) { out_.reserve(bytes); }

  void root(const ModelPackageIr& d) {
    out_.begin_object();
    string("ir_version", d.ir_version);
    string("format_name", d.format_name);
    out_.plain_key("producer");
    producer(d.producer);
    out_.plain_key("model");
    model(d.model);
    out_.plain_key("input_schema");
    input_schema(d.input_schema);
    out_.plain_key("output_schema");
    output_schema(d.output_schema);
    out_.plain_key("inference_options");
    inference_options(d.inference_options);
    out_.plain_key("preprocessing");
    preprocessing(d.preprocessing);
    out_.plain_key("postprocessing");
    postprocessing(d.postprocessing);
    out_.plain_key("training_metadata");
    training_metadata(d.training_metadata);
    out_.plain_key("integrity");
    integrity(d.integrity);
    out_.end_object();
  }

 private:
  void string(std::string_view name, std::string_view value) {
    out_.plain_key(name);
    out_.string_value(value);
  }
  void unsigned_member(std::string_view name, std::uint64_t value) {
    out_.plain_key(name);
    out_.unsigned_value(value);
  }
  void float_member(std::string_view name, double value) {
    out_.plain_key(name);
    out_.float_value(value);
  }
  void bool_member(std::string_view name, bool value) {
    out_.plain_key(name);
    out_.bool_value(value);
  }
  template <class T>
  void optional_member(std::string_view name, const std::optional<T>& value) {
    if (!value) return;
    if constexpr (std::is_same_v<T, double>) {
      float_member(name, *value);
    } else if constexpr (std::is_same_v<T, bool>) {
      bool_member(name, *value);
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
      unsigned_member(name, *value);
    } else {
      out_.plain_key(name);
      list(*value);
    }
  }
  void list(const std::vector<double>& values) {
    out_.begin_array();
    for (const double v : values) out_.float_value(v);
    out_.end_array();
  }
  void list(const std::vector<std::uint64_t>& values) {
    out_.begin_array();
    for (const std::uint64_t v : values) out_.unsigned_value(v);
    out_.end_array();
  }
  void list(const std::vector<std::string>& values) {
    out_.begin_array();
    for (const std::string& v : values) out_.string_value(v);
    out_.end_array();
  }

  void producer(const ProducerMetadata& p) {
    out_.begin_object();
    string("library", p.library);
    string("library_version", p.library_version);
    string("language", p.language);
    string("platform", p.platform);
    out_.end_object();
  }

  void model(const ModelSection& m) {
    out_.begin_object();
    string("algorithm", m.algorithm);
    string("task", m.task);
    string("tree_type", m.tree_type);
    string("representation", m.representation);
    unsigned_member("num_features", m.num_features);
    unsigned_member("num_outputs", m.num_outputs);
    bool_member("supports_missing", m.supports_missing);
    bool_member("supports_categorical", m.supports_categorical);
    bool_member("is_ensemble", m.is_ensemble);
    out_.plain_key("trees");
    out_.begin_array();
    trees(m.trees);
    out_.end_array();
    out_.plain_key("aggregation");
    out_.begin_object();
    string("kind", m.aggregation.kind);
    out_.plain_key("tree_weights");
    list(m.aggregation.tree_weights);
    bool_member("normalize_by_weight_sum", m.aggregation.normalize_by_weight_sum);
    optional_member("base_score", m.aggregation.base_score);
    out_.end_object();
    out_.end_object();
  }

  // Trees sit three levels deep: root, model, trees.
  static constexpr std::size_t kTreeDepth = 3;
  static constexpr std::size_t kParallelTreeCount = 8;

  void trees(const std::vector<TreeDefinition>& list) {
    if (pool_ == nullptr || list.size() < kParallelTreeCount) {
      for (const TreeDefinition& tree : list) tree_definition(tree);
      return;
    }
    const std::vector<std::string> texts = pool_->parallel_map(list.size(), [&](std::size_t i) {
      DocumentWriter writer(out_.is_pretty(), kTreeDepth);
      writer.tree_definition(list[i]);
      return writer.finish();
    });
    for (const std::string& text : texts) out_.raw_value(text);
  }

  void tree_definition(const TreeDefinition& tree) {
    out_.begin_object();
    std::visit(Overloaded{
                   [&](const TreeDefinition::NodeTree& t) {
                     string("representation", "node_tree");
                     unsigned_member("tree_id", t.tree_id);
                     float_member("weight", t.weight);
                     unsigned_member("root_node_id", t.root_node_id);
                     out_.plain_key("nodes");
                     out_.begin_array();
                     for (const NodeTreeNode& node : t.nodes) node_tree_node(node);
                     out_.end_array();
                   },
                   [&](const TreeDefinition::ObliviousLevels& t) {
                     string("representation", "oblivious_levels");
                     unsigned_member("tree_id", t.tree_id);
                     float_member("weight", t.weight);
                     unsigned_member("depth", t.depth);
                     out_.plain_key("levels");
                     out_.begin_array();
                     for (const ObliviousLevel& level : t.levels) oblivious_level(level);
                     out_.end_array();
                     out_.plain_key("leaf_indexing");
                     out_.begin_object();
                     string("bit_order", t.leaf_indexing.bit_order);
                     string("index_formula", t.leaf_indexing.index_formula);
                     out_.end_object();
                     out_.plain_key("leaves");
                     out_.begin_array();
                     for (const IndexedLeaf& leaf : t.leaves) indexed_leaf(leaf);
                     out_.end_array();
                   },
               },
               tree.tree);
    out_.end_object();
  }

  void node_tree_node(const NodeTreeNode& node) {
    out_.begin_object();
    std::visit(Overloaded{
                   [&](const NodeTreeNode::BinaryBranch& n) {
                     string("kind", "binary_branch");
                     unsigned_member("node_id", n.node_id);
                     unsigned_member("depth", n.depth);
                     out_.plain_key("split");
                     binary_split(n.split);
                     out_.plain_key("children");
                     out_.begin_object();
                     unsigned_member("left", n.children.left);
                     unsigned_member("right", n.children.right);
                     out_.end_object();
                     out_.plain_key("stats");
                     stats(n.stats);
                   },
                   [&](const NodeTreeNode::Leaf& n) {
                     string("kind", "leaf");
                     unsigned_member("node_id", n.node_id);
                     unsigned_member("depth", n.depth);
                     out_.plain_key("leaf");
                     leaf_payload(n.leaf);
                     out_.plain_key("stats");
                     stats(n.stats);
                   },
                   [&](const NodeTreeNode::MultiwayBranch& n) {
                     string("kind", "multiway_branch");
                     unsigned_member("node_id", n.node_id);
                     unsigned_member("depth", n.depth);
                     out_.plain_key("split");
                     out_.begin_object();
                     string("split_type", n.split.split_type);
                     unsigned_member("feature_index", n.split.feature_index);
                     string("feature_name", n.split.feature_name);
                     string("comparison_dtype", n.split.comparison_dtype);
                     out_.end_object();
                     out_.plain_key("branches");
                     out_.begin_array();
                     for (const MultiwayBranch& branch : n.branches) {
                       out_.begin_object();
                       unsigned_member("bin", branch.bin);
                       unsigned_member("child", branch.child);
                       out_.end_object();
                     }
                     out_.end_array();
                     out_.plain_key("unmatched_leaf");
                     leaf_payload(n.unmatched_leaf);
                     out_.plain_key("stats");
                     stats(n.stats);
                   },
               },
               node.node);
    out_.end_object();
  }

  void upper_bound(const std::optional<double>& bound) {
    out_.plain_key("threshold_upper_bound");
    if (bound) {
      out_.float_value(*bound);
    } else {
      out_.null_value();
    }
  }

  void binary_split(const BinarySplit& split) {
    out_.begin_object();
    std::visit(Overloaded{
                   [&](const BinarySplit::BooleanTest& s) {
                     string("split_type", "boolean_test");
                     unsigned_member("feature_index", s.feature_index);
                     string("feature_name", s.feature_name);
                     string("false_child_semantics", s.false_child_semantics);
                     string("true_child_semantics", s.true_child_semantics);
                   },
                   [&](const BinarySplit::NumericBinThreshold& s) {
                     string("split_type", "numeric_bin_threshold");
                     unsigned_member("feature_index", s.feature_index);
                     string("feature_name", s.feature_name);
                     string("operator", s.operator_);
                     unsigned_member("threshold_bin", s.threshold_bin);
                     upper_bound(s.threshold_upper_bound);
                     string("comparison_dtype", s.comparison_dtype);
                   },
               },
               split.split);
    out_.end_object();
  }

  void oblivious_level(const ObliviousLevel& level) {
    out_.begin_object();
    unsigned_member("level", level.level);
    out_.plain_key("split");
    out_.begin_object();
    std::visit(Overloaded{
                   [&](const ObliviousSplit::BooleanTest& s) {
                     string("split_type", "boolean_test");
                     unsigned_member("feature_index", s.feature_index);
                     string("feature_name", s.feature_name);
                     unsigned_member("bit_when_false", s.bit_when_false);
                     unsigned_member("bit_when_true", s.bit_when_true);
                   },
                   [&](const ObliviousSplit::NumericBinThreshold& s) {
                     string("split_type", "numeric_bin_threshold");
                     unsigned_member("feature_index", s.feature_index);
                     string("feature_name", s.feature_name);
                     string("operator", s.operator_);
                     unsigned_member("threshold_bin", s.threshold_bin);
                     upper_bound(s.threshold_upper_bound);
                     string("comparison_dtype", s.comparison_dtype);
                     unsigned_member("bit_when_true", s.bit_when_true);
                     unsigned_member("bit_when_false", s.bit_when_false);
                   },
               },
               level.split.split);
    out_.end_object();
    out_.plain_key("stats");
    stats(level.stats);
    out_.end_object();
  }

  void indexed_leaf(const IndexedLeaf& leaf) {
    out_.begin_object();
    unsigned_member("leaf_index", leaf.leaf_index);
    out_.plain_key("leaf");
    leaf_payload(leaf.leaf);
    out_.plain_key("stats");
    stats(leaf.stats);
    out_.end_object();
  }

  void leaf_payload(const LeafPayload& leaf) {
    out_.begin_object();
    std::visit(Overloaded{
                   [&](const LeafPayload::ClassIndex& p) {
                     string("prediction_kind", "class_index");
                     unsigned_member("class_index", p.class_index);
                     float_member("class_value", p.class_value);
                   },
                   [&](const LeafPayload::RegressionValue& p) {
                     string("prediction_kind", "regression_value");
                     float_member("value", p.value);
                   },
               },
               leaf.payload);
    out_.end_object();
  }

  void stats(const NodeStats& s) {
    out_.begin_object();
    unsigned_member("sample_count", s.sample_count);
    optional_member("impurity", s.impurity);
    optional_member("gain", s.gain);
    optional_member("class_counts", s.class_counts);
    optional_member("variance", s.variance);
    out_.end_object();
  }

  void input_schema(const InputSchema& s) {
    out_.begin_object();
    unsigned_member("feature_count", s.feature_count);
    out_.plain_key("features");
    out_.begin_array();
    for (const InputFeature& f : s.features) {
      out_.begin_object();
      unsigned_member("index", f.index);
      string("name", f.name);
      string("dtype", f.dtype);
      string("logical_type", f.logical_type);
      bool_member("nullable", f.nullable);
      out_.end_object();
    }
    out_.end_array();
    string("ordering", s.ordering);
    string("input_tensor_layout", s.input_tensor_layout);
    bool_member("accepts_feature_names", s.accepts_feature_names);
    out_.end_object();
  }

  void output_fields(std::string_view name, const std::vector<OutputField>& fields) {
    out_.plain_key(name);
    out_.begin_array();
    for (const OutputField& f : fields) {
      out_.begin_object();
      string("name", f.name);
      string("kind", f.kind);
      out_.plain_key("shape");
      list(f.shape);
      string("dtype", f.dtype);
      out_.end_object();
    }
    out_.end_array();
  }

  void output_schema(const OutputSchema& s) {
    out_.begin_object();
    output_fields("raw_outputs", s.raw_outputs);
    output_fields("final_outputs", s.final_outputs);
    optional_member("class_order", s.class_order);
    out_.end_object();
  }

  void inference_options(const InferenceOptions& o) {
    out_.begin_object();
    string("numeric_precision", o.numeric_precision);
    string("threshold_comparison", o.threshold_comparison);
    string("nan_policy", o.nan_policy);
    out_.plain_key("bool_encoding");
    out_.begin_object();
    out_.plain_key("false_values");
    list(o.bool_encoding.false_values);
    out_.plain_key("true_values");
    list(o.bool_encoding.true_values);
    out_.end_object();
    out_.plain_key("tie_breaking");
    out_.begin_object();
    string("classification", o.tie_breaking.classification);
    string("argmax", o.tie_breaking.argmax);
    out_.end_object();
    out_.plain_key("determinism");
    out_.begin_object();
    bool_member("guaranteed", o.determinism.guaranteed);
    string("notes", o.determinism.notes);
    out_.end_object();
    out_.end_object();
  }

  void preprocessing(const PreprocessingSection& p) {
    out_.begin_object();
    bool_member("included_in_model", p.included_in_model);
    out_.plain_key("numeric_binning");
    out_.begin_object();
    string("kind", p.numeric_binning.kind);
    out_.plain_key("features");
    out_.begin_array();
    for (const FeatureBinning& feature : p.numeric_binning.features) {
      out_.begin_object();
      std::visit(Overloaded{
                     [&](const FeatureBinning::Numeric& f) {
                       string("kind", "numeric");
                       unsigned_member("feature_index", f.feature_index);
                       out_.plain_key("boundaries");
                       out_.begin_array();
                       for (const NumericBinBoundary& b : f.boundaries) {
                         out_.begin_object();
                         unsigned_member("bin", b.bin);
                         float_member("upper_bound", b.upper_bound);
                         out_.end_object();
                       }
                       out_.end_array();
                     },
                     [&](const FeatureBinning::Binary& f) {
                       string("kind", "binary");
                       unsigned_member("feature_index", f.feature_index);
                     },
                 },
                 feature.binning);
      out_.end_object();
    }
    out_.end_array();
    out_.end_object();
    string("notes", p.notes);
    out_.end_object();
  }

  void postprocessing(const PostprocessingSection& p) {
    out_.begin_object();
    string("raw_output_kind", p.raw_output_kind);
    out_.plain_key("steps");
    out_.begin_array();
    for (const PostprocessingStep& step : p.steps) {
      out_.begin_object();
      std::visit(Overloaded{
                     [&](const PostprocessingStep::Identity&) { string("op", "identity"); },
                     [&](const PostprocessingStep::MapClassIndexToLabel& s) {
                       string("op", "map_class_index_to_label");
                       out_.plain_key("labels");
                       list(s.labels);
                     },
                 },
                 step.step);
      out_.end_object();
    }
    out_.end_array();
    out_.end_object();
  }

  void training_metadata(const TrainingMetadata& m) {
    out_.begin_object();
    string("algorithm", m.algorithm);
    string("task", m.task);
    string("tree_type", m.tree_type);
    string("criterion", m.criterion);
    unsigned_member("canaries", m.canaries);
    bool_member("compute_oob", m.compute_oob);
    optional_member("max_depth", m.max_depth);
    optional_member("min_samples_split", m.min_samples_split);
    optional_member("min_samples_leaf", m.min_samples_leaf);
    optional_member("n_trees", m.n_trees);
    optional_member("max_features", m.max_features);
    optional_member("seed", m.seed);
    optional_member("oob_score", m.oob_score);
    optional_member("class_labels", m.class_labels);
    optional_member("learning_rate", m.learning_rate);
    optional_member("bootstrap", m.bootstrap);
    optional_member("top_gradient_fraction", m.top_gradient_fraction);
    optional_member("other_gradient_fraction", m.other_gradient_fraction);
    out_.end_object();
  }

  void integrity(const IntegritySection& i) {
    out_.begin_object();
    string("serialization", i.serialization);
    bool_member("canonical_json", i.canonical_json);
    out_.plain_key("compatibility");
    out_.begin_object();
    string("minimum_runtime_version", i.compatibility.minimum_runtime_version);
    out_.plain_key("required_capabilities");
    list(i.compatibility.required_capabilities);
    out_.end_object();
    out_.end_object();
  }

  platform::JsonWriter out_;
  platform::ThreadPool* pool_ = nullptr;
};

// A generous guess of the compact text's size, so the output is allocated once.
std::size_t estimated_size(const ModelPackageIr& document) {
  constexpr std::size_t kPerNode = 420;
  constexpr std::size_t kPerBoundary = 40;
  std::size_t bytes = 8192;
  for (const TreeDefinition& tree : document.model.trees) {
    if (const auto* nodes = std::get_if<TreeDefinition::NodeTree>(&tree.tree)) {
      bytes += kPerNode * nodes->nodes.size();
    } else {
      const auto& levels = std::get<TreeDefinition::ObliviousLevels>(tree.tree);
      bytes += kPerNode * (levels.levels.size() + levels.leaves.size());
    }
  }
  for (const FeatureBinning& feature : document.preprocessing.numeric_binning.features) {
    if (const auto* numeric = std::get_if<FeatureBinning::Numeric>(&feature.binning)) {
      bytes += kPerBoundary * numeric->boundaries.size();
    }
  }
  return bytes;
}

}  // namespace

std::string write_ir_json(const ModelPackageIr& document, bool pretty,
                          platform::ThreadPool* pool) {
  DocumentWriter writer(pretty, pool);
  // The pretty form's indentation roughly triples the text.
  writer.reserve(pretty ? 3 * estimated_size(document) : estimated_size(document));
  writer.root(document);
  return writer.finish();
}

}  // namespace arborvane::core::ir
