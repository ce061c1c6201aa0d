#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace arborvane::core::ir {

// Why a document could not be turned back into a model. Display texts reach Python unchanged.
struct IrError {
  struct UnsupportedIrVersion {
    std::string version;
    friend bool operator==(const UnsupportedIrVersion&, const UnsupportedIrVersion&) = default;
  };
  struct UnsupportedIrFormat {
    std::string format;
    friend bool operator==(const UnsupportedIrFormat&, const UnsupportedIrFormat&) = default;
  };
  struct UnsupportedAlgorithm {
    std::string algorithm;
    friend bool operator==(const UnsupportedAlgorithm&, const UnsupportedAlgorithm&) = default;
  };
  struct UnsupportedTask {
    std::string task;
    friend bool operator==(const UnsupportedTask&, const UnsupportedTask&) = default;
  };
  struct UnsupportedTreeType {
    std::string tree_type;
    friend bool operator==(const UnsupportedTreeType&, const UnsupportedTreeType&) = default;
  };
  struct UnexpectedTreeCount {
    std::uint64_t count;
    friend bool operator==(const UnexpectedTreeCount&, const UnexpectedTreeCount&) = default;
  };
  struct UnsupportedRepresentation {
    std::string representation;
    friend bool operator==(const UnsupportedRepresentation&,
                           const UnsupportedRepresentation&) = default;
  };
  struct PreprocessingFeatureMismatch {
    std::uint64_t declared;  // input_schema.feature_count
    std::uint64_t required;  // one past the largest binning feature index met
    friend bool operator==(const PreprocessingFeatureMismatch&,
                           const PreprocessingFeatureMismatch&) = default;
  };
  struct MissingClassLabels {
    friend bool operator==(const MissingClassLabels&, const MissingClassLabels&) = default;
  };
  struct InvalidLeafPayload {
    std::string detail;
    friend bool operator==(const InvalidLeafPayload&, const InvalidLeafPayload&) = default;
  };
  struct InvalidTreeNode {
    std::string detail;
    friend bool operator==(const InvalidTreeNode&, const InvalidTreeNode&) = default;
  };
  struct InvalidPreprocessing {
    std::string detail;
    friend bool operator==(const InvalidPreprocessing&, const InvalidPreprocessing&) = default;
  };
  struct InvalidInferenceOptions {
    std::string detail;
    friend bool operator==(const InvalidInferenceOptions&,
                           const InvalidInferenceOptions&) = default;
  };
  struct InvalidJson {
    std::string detail;
    friend bool operator==(const InvalidJson&, const InvalidJson&) = default;
  };

  std::variant<UnsupportedIrVersion, UnsupportedIrFormat, UnsupportedAlgorithm, UnsupportedTask,
               UnsupportedTreeType, UnexpectedTreeCount, UnsupportedRepresentation,
               PreprocessingFeatureMismatch, MissingClassLabels, InvalidLeafPayload,
               InvalidTreeNode, InvalidPreprocessing, InvalidInferenceOptions, InvalidJson>
      error;

  // The message shown to users.
  std::string to_string() const;
  // The variant name with its payload, e.g. "UnexpectedTreeCount(2)" or
  // "PreprocessingFeatureMismatch { declared: 3, required: 4 }".
  std::string debug_string() const;

  friend bool operator==(const IrError&, const IrError&) = default;
};

}  // namespace arborvane::core::ir
