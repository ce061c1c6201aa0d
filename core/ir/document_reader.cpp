#include <array>
#include <bitset>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/ir/document_json.hpp"
#include "platform/json.hpp"
#include "platform/json_pull.hpp"
#include "platform/str_cat.hpp"

// Reads a document in one pass over the text, straight into its records: no value tree is
// built, so large forests read at the speed of the scan. Members may come in any order; a
// tagged union whose tag is not its first member is read in two passes over that object.
namespace arborvane::core::ir {
namespace {

using platform::JsonPullReader;
using platform::str_cat;

// The members of one object a reader knows, by index into its name list: the first R are
// required. A known name seen twice is a duplicate; the first missing required member, in list
// order, is reported once the object has closed.
template <std::size_t N, std::size_t R = N>
class KnownMembers {
 public:
  static_assert(R <= N);
  explicit KnownMembers(const std::array<std::string_view, N>& names) : names_(names) {}

  void seen(JsonPullReader& in, std::size_t i) {
    if (seen_.test(i)) in.fail_duplicate_member();
    seen_.set(i);
  }
  void check(const JsonPullReader& in) const {
    for (std::size_t i = 0; i < R; ++i) {
      if (!seen_.test(i)) in.fail_missing_member(names_[i]);
    }
  }

 private:
  const std::array<std::string_view, N>& names_;
  std::bitset<N> seen_;
};

std::string shown_tag(std::string_view tag) {
  // Hostile tags can be long; the message keeps a readable prefix, cut at a character boundary.
  constexpr std::size_t kShown = 40;
  std::string shown(tag);
  if (shown.size() > kShown) {
    std::size_t end = kShown;
    while (end > 0 && (static_cast<unsigned char>(shown[end]) & 0xC0) == 0x80) --end;
    shown.resize(end);
    shown += "...";
  }
  return shown;
}

class DocumentReader {
 public:
  DocumentReader(std::string_view text, platform::ThreadPool* pool) : in_(text), pool_(pool) {}

  ModelPackageIr read() {
    ModelPackageIr d;
    static constexpr std::array<std::string_view, 11> kNames{
        "ir_version",    "format_name",       "producer",      "model",
        "input_schema",  "output_schema",     "inference_options", "preprocessing",
        "postprocessing", "training_metadata", "integrity"};
    KnownMembers<11> known(kNames);
    in_.begin_object();
    std::string_view k;
    while (in_.next_member_unchecked(k)) {
      if (k == "ir_version") {
        d.ir_version = in_.read_string(), known.seen(in_, 0);
      } else if (k == "format_name") {
        d.format_name = in_.read_string(), known.seen(in_, 1);
      } else if (k == "producer") {
        producer(d.producer), known.seen(in_, 2);
      } else if (k == "model") {
        model(d.model), known.seen(in_, 3);
      } else if (k == "input_schema") {
        input_schema(d.input_schema), known.seen(in_, 4);
      } else if (k == "output_schema") {
        output_schema(d.output_schema), known.seen(in_, 5);
      } else if (k == "inference_options") {
        inference_options(d.inference_options), known.seen(in_, 6);
      } else if (k == "preprocessing") {
        preprocessing(d.preprocessing), known.seen(in_, 7);
      } else if (k == "postprocessing") {
        postprocessing(d.postprocessing), known.seen(in_, 8);
      } else if (k == "training_metadata") {
        training_metadata(d.training_metadata), known.seen(in_, 9);
      } else if (k == "integrity") {
        integrity(d.integrity), known.seen(in_, 10);
      } else {
        in_.check_other_member(k);
        in_.skip_value();
      }
    }
    known.check(in_);
    in_.finish();
    return d;
  }

 private:
  // Reads the members of a plain object: `member(name)` reads the value and returns the
  // member's index in `names` (whose first R entries are required), or returns kUnknown to
  // have it skipped.
  static constexpr std::size_t kUnknown = ~std::size_t{0};

  template <std::size_t R, std::size_t N, class Member>
  void members_of_open_object(const std::array<std::string_view, N>& names, Member&& member,
                              std::string_view skipped = {}) {
    KnownMembers<N, R> known(names);
    std::string_view k;
    while (in_.next_member_unchecked(k)) {
      if (!skipped.empty() && k == skipped) {
        in_.check_other_member(k);
        in_.skip_value();
        continue;
      }
      const std::size_t which = member(k);
      if (which == kUnknown) {
        in_.check_other_member(k);
        in_.skip_value();
      } else {
        known.seen(in_, which);
      }
    }
    known.check(in_);
  }

  // R = N: every member is required. (kAll stands for N, which is deduced.)
  static constexpr std::size_t kAll = ~std::size_t{0};
  template <std::size_t R = kAll, std::size_t N, class Member>
  void object(const std::array<std::string_view, N>& names, Member&& member) {
    in_.begin_object();
    members_of_open_object<R == kAll ? N : R>(names, member);
  }

  // A tagged union: finds the tag (normally the first member), hands its value to `choose`,
  // which returns the reader of that variant's members (as for `object`).
  template <class Choose>
  void tagged(std::string_view tag_name, Choose&& choose) {
    in_.begin_object();
    const JsonPullReader::ObjectMark start = in_.mark_object();
    std::string_view k;
    std::string tag;
    bool found = false;
    bool first = true;
    while (in_.next_member_unchecked(k)) {
      in_.check_other_member(k);
      if (k == tag_name) {
        tag = in_.read_string();
        found = true;
        break;
      }
      first = false;
      in_.skip_value();
    }
    if (!found) in_.fail_missing_member(tag_name);
    // `choose` rejects an unknown tag while the tag is still the current member, so the error
    // names it; the members are read after that, from the start when the tag came later.
    choose(tag, [&](auto&& names, auto&& member) {
      constexpr std::size_t N = std::tuple_size_v<std::remove_cvref_t<decltype(names)>>;
      if (!first) in_.rewind_object(start);
      members_of_open_object<N>(names, member, first ? std::string_view{} : tag_name);
    });
  }

  [[noreturn]] void unknown_tag(std::string_view tag) {
    in_.fail_here(str_cat("unknown tag '", shown_tag(tag), "'"));
  }

  // Lists.
  template <class Element>
  void list(Element&& element) {
    in_.begin_array();
    while (in_.next_element()) element();
  }
  void floats(std::vector<double>& out) {
    out.clear();
    list([&] { out.push_back(in_.read_float()); });
  }
  void unsigneds(std::vector<std::uint64_t>& out) {
    out.clear();
    list([&] { out.push_back(in_.read_unsigned()); });
  }
  void strings(std::vector<std::string>& out) {
    out.clear();
    list([&] { out.emplace_back(in_.read_string()); });
  }

  void producer(ProducerMetadata& p) {
    static constexpr std::array<std::string_view, 4> kNames{"library", "library_version",
                                                            "language", "platform"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "library") return p.library = in_.read_string(), 0;
      if (k == "library_version") return p.library_version = in_.read_string(), 1;
      if (k == "language") return p.language = in_.read_string(), 2;
      if (k == "platform") return p.platform = in_.read_string(), 3;
      return kUnknown;
    });
  }

  void model(ModelSection& m) {
    static constexpr std::array<std::string_view, 11> kNames{
        "algorithm",        "task",           "tree_type",            "representation",
        "num_features",     "num_outputs",    "supports_missing",     "supports_categorical",
        "is_ensemble",      "trees",          "aggregation"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "algorithm") return m.algorithm = in_.read_string(), 0;
      if (k == "task") return m.task = in_.read_string(), 1;
      if (k == "tree_type") return m.tree_type = in_.read_string(), 2;
      if (k == "representation") return m.representation = in_.read_string(), 3;
      if (k == "num_features") return m.num_features = in_.read_unsigned(), 4;
      if (k == "num_outputs") return m.num_outputs = in_.read_unsigned(), 5;
      if (k == "supports_missing") return m.supports_missing = in_.read_bool(), 6;
      if (k == "supports_categorical") return m.supports_categorical = in_.read_bool(), 7;
      if (k == "is_ensemble") return m.is_ensemble = in_.read_bool(), 8;
      if (k == "trees") return trees(m.trees), 9;
      if (k == "aggregation") return aggregation(m.aggregation), 10;
      return kUnknown;
    });
  }

  // The trees of a large ensemble are read on the pool, each from its own stretch of the text;
  // the records and any error are those of reading them one after another.
  static constexpr std::size_t kParallelTreeCount = 8;

  void trees(std::vector<TreeDefinition>& out) {
    out.clear();
    std::optional<std::vector<std::string_view>> elements;
    if (pool_ != nullptr) elements = in_.element_texts();
    if (!elements || elements->size() < kParallelTreeCount) {
      list([&] { tree_definition(out.emplace_back()); });
      return;
    }
    out = pool_->parallel_map(elements->size(), [&](std::size_t i) {
      DocumentReader element(in_.element_reader((*elements)[i], i));
      TreeDefinition tree;
      element.tree_definition(tree);
      element.in_.finish_element();
      return tree;
    });
    in_.skip_elements(*elements);
  }

  void aggregation(Aggregation& a) {
    static constexpr std::array<std::string_view, 4> kNames{"kind", "tree_weights",
                                                            "normalize_by_weight_sum", "base_score"};
    a.base_score.reset();
    object<3>(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "kind") return a.kind = in_.read_string(), 0;
      if (k == "tree_weights") return floats(a.tree_weights), 1;
      if (k == "normalize_by_weight_sum") return a.normalize_by_weight_sum = in_.read_bool(), 2;
      if (k == "base_score") return a.base_score = in_.read_float(), 3;
      return kUnknown;
    });
  }

  void tree_definition(TreeDefinition& tree) {
    tagged("representation", [&](const std::string& tag, auto&& members) {
      if (tag == "node_tree") {
        auto& t = tree.tree.emplace<TreeDefinition::NodeTree>();
        static constexpr std::array<std::string_view, 4> kNames{"tree_id", "weight",
                                                                "root_node_id", "nodes"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "tree_id") return t.tree_id = in_.read_unsigned(), 0;
          if (k == "weight") return t.weight = in_.read_float(), 1;
          if (k == "root_node_id") return t.root_node_id = in_.read_unsigned(), 2;
          if (k == "nodes") {
            t.nodes.clear();
            list([&] { node_tree_node(t.nodes.emplace_back()); });
            return 3;
          }
          return kUnknown;
        });
      } else if (tag == "oblivious_levels") {
        auto& t = tree.tree.emplace<TreeDefinition::ObliviousLevels>();
        static constexpr std::array<std::string_view, 6> kNames{
            "tree_id", "weight", "depth", "levels", "leaf_indexing", "leaves"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "tree_id") return t.tree_id = in_.read_unsigned(), 0;
          if (k == "weight") return t.weight = in_.read_float(), 1;
          if (k == "depth") return t.depth = in_.read_unsigned(), 2;
          if (k == "levels") {
            t.levels.clear();
            list([&] { oblivious_level(t.levels.emplace_back()); });
            return 3;
          }
          if (k == "leaf_indexing") return leaf_indexing(t.leaf_indexing), 4;
          if (k == "leaves") {
            t.leaves.clear();
            list([&] { indexed_leaf(t.leaves.emplace_back()); });
            return 5;
          }
          return kUnknown;
        });
      } else {
        unknown_tag(tag);
      }
    });
  }

  void node_tree_node(NodeTreeNode& node) {
    tagged("kind", [&](const std::string& tag, auto&& members) {
      if (tag == "binary_branch") {
        auto& n = node.node.emplace<NodeTreeNode::BinaryBranch>();
        static constexpr std::array<std::string_view, 5> kNames{"node_id", "depth", "split",
                                                                "children", "stats"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "node_id") return n.node_id = in_.read_unsigned(), 0;
          if (k == "depth") return n.depth = in_.read_unsigned(), 1;
          if (k == "split") return binary_split(n.split), 2;
          if (k == "children") return binary_children(n.children), 3;
          if (k == "stats") return stats(n.stats), 4;
          return kUnknown;
        });
      } else if (tag == "leaf") {
        auto& n = node.node.emplace<NodeTreeNode::Leaf>();
        static constexpr std::array<std::string_view, 4> kNames{"node_id", "depth", "leaf",
                                                                "stats"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "node_id") return n.node_id = in_.read_unsigned(), 0;
          if (k == "depth") return n.depth = in_.read_unsigned(), 1;
          if (k == "leaf") return leaf_payload(n.leaf), 2;
          if (k == "stats") return stats(n.stats), 3;
          return kUnknown;
        });
      } else if (tag == "multiway_branch") {
        auto& n = node.node.emplace<NodeTreeNode::MultiwayBranch>();
        static constexpr std::array<std::string_view, 6> kNames{
            "node_id", "depth", "split", "branches", "unmatched_leaf", "stats"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "node_id") return n.node_id = in_.read_unsigned(), 0;
          if (k == "depth") return n.depth = in_.read_unsigned(), 1;
          if (k == "split") return multiway_split(n.split), 2;
          if (k == "branches") {
            n.branches.clear();
            list([&] { multiway_branch(n.branches.emplace_back()); });
            return 3;
          }
          if (k == "unmatched_leaf") return leaf_payload(n.unmatched_leaf), 4;
          if (k == "stats") return stats(n.stats), 5;
          return kUnknown;
        });
      } else {
        unknown_tag(tag);
      }
    });
  }

  void binary_children(BinaryChildren& c) {
    static constexpr std::array<std::string_view, 2> kNames{"left", "right"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "left") return c.left = in_.read_unsigned(), 0;
      if (k == "right") return c.right = in_.read_unsigned(), 1;
      return kUnknown;
    });
  }

  void multiway_branch(MultiwayBranch& b) {
    static constexpr std::array<std::string_view, 2> kNames{"bin", "child"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "bin") return b.bin = in_.read_u16(), 0;
      if (k == "child") return b.child = in_.read_unsigned(), 1;
      return kUnknown;
    });
  }

  void multiway_split(MultiwaySplit& s) {
    static constexpr std::array<std::string_view, 4> kNames{"split_type", "feature_index",
                                                            "feature_name", "comparison_dtype"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "split_type") return s.split_type = in_.read_string(), 0;
      if (k == "feature_index") return s.feature_index = in_.read_unsigned(), 1;
      if (k == "feature_name") return s.feature_name = in_.read_string(), 2;
      if (k == "comparison_dtype") return s.comparison_dtype = in_.read_string(), 3;
      return kUnknown;
    });
  }

  std::optional<double> nullable_float() {
    if (in_.read_null()) return std::nullopt;
    return in_.read_float();
  }

  void binary_split(BinarySplit& split) {
    tagged("split_type", [&](const std::string& tag, auto&& members) {
      if (tag == "boolean_test") {
        auto& s = split.split.emplace<BinarySplit::BooleanTest>();
        static constexpr std::array<std::string_view, 4> kNames{
            "feature_index", "feature_name", "false_child_semantics", "true_child_semantics"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "feature_index") return s.feature_index = in_.read_unsigned(), 0;
          if (k == "feature_name") return s.feature_name = in_.read_string(), 1;
          if (k == "false_child_semantics") return s.false_child_semantics = in_.read_string(), 2;
          if (k == "true_child_semantics") return s.true_child_semantics = in_.read_string(), 3;
          return kUnknown;
        });
      } else if (tag == "numeric_bin_threshold") {
        auto& s = split.split.emplace<BinarySplit::NumericBinThreshold>();
        static constexpr std::array<std::string_view, 6> kNames{
            "feature_index", "feature_name",          "operator",
            "threshold_bin", "threshold_upper_bound", "comparison_dtype"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "feature_index") return s.feature_index = in_.read_unsigned(), 0;
          if (k == "feature_name") return s.feature_name = in_.read_string(), 1;
          if (k == "operator") return s.operator_ = in_.read_string(), 2;
          if (k == "threshold_bin") return s.threshold_bin = in_.read_u16(), 3;
          if (k == "threshold_upper_bound") return s.threshold_upper_bound = nullable_float(), 4;
          if (k == "comparison_dtype") return s.comparison_dtype = in_.read_string(), 5;
          return kUnknown;
        });
      } else {
        unknown_tag(tag);
      }
    });
  }

  void oblivious_split(ObliviousSplit& split) {
    tagged("split_type", [&](const std::string& tag, auto&& members) {
      if (tag == "boolean_test") {
        auto& s = split.split.emplace<ObliviousSplit::BooleanTest>();
        static constexpr std::array<std::string_view, 4> kNames{"feature_index", "feature_name",
                                                                "bit_when_false", "bit_when_true"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "feature_index") return s.feature_index = in_.read_unsigned(), 0;
          if (k == "feature_name") return s.feature_name = in_.read_string(), 1;
          if (k == "bit_when_false") return s.bit_when_false = in_.read_u8(), 2;
          if (k == "bit_when_true") return s.bit_when_true = in_.read_u8(), 3;
          return kUnknown;
        });
      } else if (tag == "numeric_bin_threshold") {
        auto& s = split.split.emplace<ObliviousSplit::NumericBinThreshold>();
        static constexpr std::array<std::string_view, 8> kNames{
            "feature_index",         "feature_name",     "operator",      "threshold_bin",
            "threshold_upper_bound", "comparison_dtype", "bit_when_true", "bit_when_false"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "feature_index") return s.feature_index = in_.read_unsigned(), 0;
          if (k == "feature_name") return s.feature_name = in_.read_string(), 1;
          if (k == "operator") return s.operator_ = in_.read_string(), 2;
          if (k == "threshold_bin") return s.threshold_bin = in_.read_u16(), 3;
          if (k == "threshold_upper_bound") return s.threshold_upper_bound = nullable_float(), 4;
          if (k == "comparison_dtype") return s.comparison_dtype = in_.read_string(), 5;
          if (k == "bit_when_true") return s.bit_when_true = in_.read_u8(), 6;
          if (k == "bit_when_false") return s.bit_when_false = in_.read_u8(), 7;
          return kUnknown;
        });
      } else {
        unknown_tag(tag);
      }
    });
  }

  void oblivious_level(ObliviousLevel& level) {
    static constexpr std::array<std::string_view, 3> kNames{"level", "split", "stats"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "level") return level.level = in_.read_unsigned(), 0;
      if (k == "split") return oblivious_split(level.split), 1;
      if (k == "stats") return stats(level.stats), 2;
      return kUnknown;
    });
  }

  void leaf_indexing(LeafIndexing& l) {
    static constexpr std::array<std::string_view, 2> kNames{"bit_order", "index_formula"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "bit_order") return l.bit_order = in_.read_string(), 0;
      if (k == "index_formula") return l.index_formula = in_.read_string(), 1;
      return kUnknown;
    });
  }

  void indexed_leaf(IndexedLeaf& leaf) {
    static constexpr std::array<std::string_view, 3> kNames{"leaf_index", "leaf", "stats"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "leaf_index") return leaf.leaf_index = in_.read_unsigned(), 0;
      if (k == "leaf") return leaf_payload(leaf.leaf), 1;
      if (k == "stats") return stats(leaf.stats), 2;
      return kUnknown;
    });
  }

  void leaf_payload(LeafPayload& leaf) {
    tagged("prediction_kind", [&](const std::string& tag, auto&& members) {
      if (tag == "class_index") {
        auto& p = leaf.payload.emplace<LeafPayload::ClassIndex>();
        static constexpr std::array<std::string_view, 2> kNames{"class_index", "class_value"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "class_index") return p.class_index = in_.read_unsigned(), 0;
          if (k == "class_value") return p.class_value = in_.read_float(), 1;
          return kUnknown;
        });
      } else if (tag == "regression_value") {
        auto& p = leaf.payload.emplace<LeafPayload::RegressionValue>();
        static constexpr std::array<std::string_view, 1> kNames{"value"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "value") return p.value = in_.read_float(), 0;
          return kUnknown;
        });
      } else {
        unknown_tag(tag);
      }
    });
  }

  void stats(NodeStats& s) {
    static constexpr std::array<std::string_view, 5> kNames{"sample_count", "impurity", "gain",
                                                            "class_counts", "variance"};
    s = NodeStats{};
    object<1>(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "sample_count") return s.sample_count = in_.read_unsigned(), 0;
      if (k == "impurity") return s.impurity = in_.read_float(), 1;
      if (k == "gain") return s.gain = in_.read_float(), 2;
      if (k == "class_counts") return unsigneds(s.class_counts.emplace()), 3;
      if (k == "variance") return s.variance = in_.read_float(), 4;
      return kUnknown;
    });
  }

  void input_schema(InputSchema& s) {
    static constexpr std::array<std::string_view, 5> kNames{
        "feature_count", "features", "ordering", "input_tensor_layout", "accepts_feature_names"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "feature_count") return s.feature_count = in_.read_unsigned(), 0;
      if (k == "features") {
        s.features.clear();
        list([&] { input_feature(s.features.emplace_back()); });
        return 1;
      }
      if (k == "ordering") return s.ordering = in_.read_string(), 2;
      if (k == "input_tensor_layout") return s.input_tensor_layout = in_.read_string(), 3;
      if (k == "accepts_feature_names") return s.accepts_feature_names = in_.read_bool(), 4;
      return kUnknown;
    });
  }

  void input_feature(InputFeature& f) {
    static constexpr std::array<std::string_view, 5> kNames{"index", "name", "dtype",
                                                            "logical_type", "nullable"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "index") return f.index = in_.read_unsigned(), 0;
      if (k == "name") return f.name = in_.read_string(), 1;
      if (k == "dtype") return f.dtype = in_.read_string(), 2;
      if (k == "logical_type") return f.logical_type = in_.read_string(), 3;
      if (k == "nullable") return f.nullable = in_.read_bool(), 4;
      return kUnknown;
    });
  }

  void output_field(OutputField& f) {
    static constexpr std::array<std::string_view, 4> kNames{"name", "kind", "shape", "dtype"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "name") return f.name = in_.read_string(), 0;
      if (k == "kind") return f.kind = in_.read_string(), 1;
      if (k == "shape") return unsigneds(f.shape), 2;
      if (k == "dtype") return f.dtype = in_.read_string(), 3;
      return kUnknown;
    });
  }

  void output_schema(OutputSchema& s) {
    static constexpr std::array<std::string_view, 3> kNames{"raw_outputs", "final_outputs",
                                                            "class_order"};
    s.class_order.reset();
    object<2>(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "raw_outputs") {
        s.raw_outputs.clear();
        list([&] { output_field(s.raw_outputs.emplace_back()); });
        return 0;
      }
      if (k == "final_outputs") {
        s.final_outputs.clear();
        list([&] { output_field(s.final_outputs.emplace_back()); });
        return 1;
      }
      if (k == "class_order") return floats(s.class_order.emplace()), 2;
      return kUnknown;
    });
  }

  void inference_options(InferenceOptions& o) {
    static constexpr std::array<std::string_view, 6> kNames{
        "numeric_precision", "threshold_comparison", "nan_policy",
        "bool_encoding",     "tie_breaking",         "determinism"};
    static constexpr std::array<std::string_view, 2> kBoolNames{"false_values", "true_values"};
    static constexpr std::array<std::string_view, 2> kTieNames{"classification", "argmax"};
    static constexpr std::array<std::string_view, 2> kDeterminismNames{"guaranteed", "notes"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "numeric_precision") return o.numeric_precision = in_.read_string(), 0;
      if (k == "threshold_comparison") return o.threshold_comparison = in_.read_string(), 1;
      if (k == "nan_policy") return o.nan_policy = in_.read_string(), 2;
      if (k == "bool_encoding") {
        object(kBoolNames, [&](std::string_view b) -> std::size_t {
          if (b == "false_values") return strings(o.bool_encoding.false_values), 0;
          if (b == "true_values") return strings(o.bool_encoding.true_values), 1;
          return kUnknown;
        });
        return 3;
      }
      if (k == "tie_breaking") {
        object(kTieNames, [&](std::string_view t) -> std::size_t {
          if (t == "classification") return o.tie_breaking.classification = in_.read_string(), 0;
          if (t == "argmax") return o.tie_breaking.argmax = in_.read_string(), 1;
          return kUnknown;
        });
        return 4;
      }
      if (k == "determinism") {
        object(kDeterminismNames, [&](std::string_view d) -> std::size_t {
          if (d == "guaranteed") return o.determinism.guaranteed = in_.read_bool(), 0;
          if (d == "notes") return o.determinism.notes = in_.read_string(), 1;
          return kUnknown;
        });
        return 5;
      }
      return kUnknown;
    });
  }

  void feature_binning(FeatureBinning& binning) {
    tagged("kind", [&](const std::string& tag, auto&& members) {
      if (tag == "numeric") {
        auto& f = binning.binning.emplace<FeatureBinning::Numeric>();
        static constexpr std::array<std::string_view, 2> kNames{"feature_index", "boundaries"};
        static constexpr std::array<std::string_view, 2> kBoundaryNames{"bin", "upper_bound"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "feature_index") return f.feature_index = in_.read_unsigned(), 0;
          if (k == "boundaries") {
            f.boundaries.clear();
            list([&] {
              NumericBinBoundary& b = f.boundaries.emplace_back();
              object(kBoundaryNames, [&](std::string_view m) -> std::size_t {
                if (m == "bin") return b.bin = in_.read_u16(), 0;
                if (m == "upper_bound") return b.upper_bound = in_.read_float(), 1;
                return kUnknown;
              });
            });
            return 1;
          }
          return kUnknown;
        });
      } else if (tag == "binary") {
        auto& f = binning.binning.emplace<FeatureBinning::Binary>();
        static constexpr std::array<std::string_view, 1> kNames{"feature_index"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "feature_index") return f.feature_index = in_.read_unsigned(), 0;
          return kUnknown;
        });
      } else {
        unknown_tag(tag);
      }
    });
  }

  void preprocessing(PreprocessingSection& p) {
    static constexpr std::array<std::string_view, 3> kNames{"included_in_model",
                                                            "numeric_binning", "notes"};
    static constexpr std::array<std::string_view, 2> kBinningNames{"kind", "features"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "included_in_model") return p.included_in_model = in_.read_bool(), 0;
      if (k == "numeric_binning") {
        object(kBinningNames, [&](std::string_view b) -> std::size_t {
          if (b == "kind") return p.numeric_binning.kind = in_.read_string(), 0;
          if (b == "features") {
            p.numeric_binning.features.clear();
            list([&] { feature_binning(p.numeric_binning.features.emplace_back()); });
            return 1;
          }
          return kUnknown;
        });
        return 1;
      }
      if (k == "notes") return p.notes = in_.read_string(), 2;
      return kUnknown;
    });
  }

  void postprocessing_step(PostprocessingStep& step) {
    tagged("op", [&](const std::string& tag, auto&& members) {
      if (tag == "identity") {
        step.step.emplace<PostprocessingStep::Identity>();
        static constexpr std::array<std::string_view, 0> kNames{};
        members(kNames, [&](std::string_view) -> std::size_t { return kUnknown; });
      } else if (tag == "map_class_index_to_label") {
        auto& s = step.step.emplace<PostprocessingStep::MapClassIndexToLabel>();
        static constexpr std::array<std::string_view, 1> kNames{"labels"};
        members(kNames, [&](std::string_view k) -> std::size_t {
          if (k == "labels") return floats(s.labels), 0;
          return kUnknown;
        });
      } else {
        unknown_tag(tag);
      }
    });
  }

  void postprocessing(PostprocessingSection& p) {
    static constexpr std::array<std::string_view, 2> kNames{"raw_output_kind", "steps"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "raw_output_kind") return p.raw_output_kind = in_.read_string(), 0;
      if (k == "steps") {
        p.steps.clear();
        list([&] { postprocessing_step(p.steps.emplace_back()); });
        return 1;
      }
      return kUnknown;
    });
  }

  void training_metadata(TrainingMetadata& m) {
    static constexpr std::array<std::string_view, 18> kNames{
        "algorithm",     "task",          "tree_type",         "criterion",
        "canaries",      "compute_oob",   "max_depth",         "min_samples_split",
        "min_samples_leaf", "n_trees",    "max_features",      "seed",
        "oob_score",     "class_labels",  "learning_rate",     "bootstrap",
        "top_gradient_fraction", "other_gradient_fraction"};
    m = TrainingMetadata{};
    object<6>(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "algorithm") return m.algorithm = in_.read_string(), 0;
      if (k == "task") return m.task = in_.read_string(), 1;
      if (k == "tree_type") return m.tree_type = in_.read_string(), 2;
      if (k == "criterion") return m.criterion = in_.read_string(), 3;
      if (k == "canaries") return m.canaries = in_.read_unsigned(), 4;
      if (k == "compute_oob") return m.compute_oob = in_.read_bool(), 5;
      if (k == "max_depth") return m.max_depth = in_.read_unsigned(), 6;
      if (k == "min_samples_split") return m.min_samples_split = in_.read_unsigned(), 7;
      if (k == "min_samples_leaf") return m.min_samples_leaf = in_.read_unsigned(), 8;
      if (k == "n_trees") return m.n_trees = in_.read_unsigned(), 9;
      if (k == "max_features") return m.max_features = in_.read_unsigned(), 10;
      if (k == "seed") return m.seed = in_.read_unsigned(), 11;
      if (k == "oob_score") return m.oob_score = in_.read_float(), 12;
      if (k == "class_labels") return floats(m.class_labels.emplace()), 13;
      if (k == "learning_rate") return m.learning_rate = in_.read_float(), 14;
      if (k == "bootstrap") return m.bootstrap = in_.read_bool(), 15;
      if (k == "top_gradient_fraction") {
        return m.top_gradient_fraction = in_.read_float(), 16;
      }
      if (k == "other_gradient_fraction") {
        return m.other_gradient_fraction = in_.read_float(), 17;
      }
      return kUnknown;
    });
  }

  void integrity(IntegritySection& i) {
    static constexpr std::array<std::string_view, 3> kNames{"serialization", "canonical_json",
                                                            "compatibility"};
    static constexpr std::array<std::string_view, 2> kCompatibilityNames{
        "minimum_runtime_version", "required_capabilities"};
    object(kNames, [&](std::string_view k) -> std::size_t {
      if (k == "serialization") return i.serialization = in_.read_string(), 0;
      if (k == "canonical_json") return i.canonical_json = in_.read_bool(), 1;
      if (k == "compatibility") {
        object(kCompatibilityNames, [&](std::string_view c) -> std::size_t {
          if (c == "minimum_runtime_version") {
            return i.compatibility.minimum_runtime_version = in_.read_string(), 0;
          }
          if (c == "required_capabilities") {
            return strings(i.compatibility.required_capabilities), 1;
          }
          return kUnknown;
        });
        return 2;
      }
      return kUnknown;
    });
  }

  explicit DocumentReader(JsonPullReader in) : in_(std::move(in)) {}

  JsonPullReader in_;
  platform::ThreadPool* pool_ = nullptr;
};

}  // namespace

std::expected<ModelPackageIr, platform::JsonError> read_ir_json(std::string_view text,
                                                                platform::ThreadPool* pool) {
  try {
    return DocumentReader(text, pool).read();
  } catch (const JsonPullReader::Failure& failure) {
    return std::unexpected(failure.error);
  }
}

}  // namespace arborvane::core::ir
