#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/ir/document.hpp"
#include "core/ir/ir_error.hpp"
#include "core/lib/model.hpp"
#include "core/tree/learner.hpp"
#include "core/tree/options.hpp"
#include "data/binning.hpp"
#include "platform/parallel.hpp"

// Rebuilding a trained model from its document. Import checks everything the rebuilt model
// depends on and reports the first problem; informational members are read but not judged.
// A model that imports cleanly cannot fail or loop in prediction because of its document.
namespace arborvane::core::ir {

// Parses JSON text as a document (a parse failure is InvalidJson with the reader's
// description) and rebuilds the model from it.
std::expected<Model, IrError> deserialize_model(std::string_view text);

// Rebuilds the model a document describes. Consumes the document.
// With a pool, the trees of an ensemble are rebuilt in parallel; the model, or the first
// failing tree's error, is the same.
std::expected<Model, IrError> model_from_ir(ModelPackageIr document,
                                            platform::ThreadPool* pool = nullptr);

// What every single tree of a document shares.
struct SingleTreeSettings {
  bool is_classification = false;
  TreeType tree_type = TreeType::Cart;
  Criterion criterion = Criterion::Auto;
  const std::vector<data::FeaturePreprocessing>& preprocessing;
  std::uint64_t feature_count = 0;
  DecisionTreeOptions options;
  std::uint64_t canaries = 0;
  const std::optional<std::vector<double>>& class_labels;
};

// One tree of a document as a single-tree model: DecisionTreeClassifier or
// DecisionTreeRegressor.
std::expected<Model, IrError> single_model_from_ir_parts(const SingleTreeSettings& settings,
                                                         TreeDefinition tree_definition);

// One preprocessing record per input feature, in index order.
std::expected<std::vector<data::FeaturePreprocessing>, IrError> feature_preprocessing_from_ir(
    const ModelPackageIr& document);

// output_schema.class_order when present, else training_metadata.class_labels; otherwise
// MissingClassLabels.
std::expected<std::vector<double>, IrError> classification_labels(const ModelPackageIr& document);

// The class index of a class-index leaf whose value matches the class order bit for bit.
std::expected<std::uint64_t, IrError> classifier_class_index(const LeafPayload& payload,
                                                             std::span<const double> class_labels);

// Oblivious leaves: each leaf's sample count at its leaf_index.
std::expected<std::vector<std::uint64_t>, IrError> rebuild_leaf_sample_counts(
    const std::vector<IndexedLeaf>& leaves);
// Oblivious classification leaves: each leaf's class index at its leaf_index.
std::expected<std::vector<std::uint64_t>, IrError> rebuild_classifier_leaf_indices(
    const std::vector<IndexedLeaf>& leaves, std::span<const double> class_labels);
// One stored split per level, in list order.
std::vector<core::ObliviousLevel> rebuild_classifier_oblivious_splits(
    const std::vector<ObliviousLevel>& levels);
std::vector<core::ObliviousLevel> rebuild_regressor_oblivious_splits(
    const std::vector<ObliviousLevel>& levels);

// Oblivious trees deeper than this are refused: their documents would list over 10^9 leaves,
// and leaf indices must stay far from 64 bits.
inline constexpr std::uint64_t kMaxObliviousLevels = 30;

}  // namespace arborvane::core::ir
