#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace arborvane::core {

// Why a prediction could not be made. Display texts reach Python unchanged as ValueError.
struct PredictError {
  struct ProbabilityPredictionRequiresClassification {};
  struct RaggedRows {
    std::uint64_t row;
    std::uint64_t expected;
    std::uint64_t actual;
  };
  struct FeatureCountMismatch {
    std::uint64_t expected;
    std::uint64_t actual;
  };
  struct ColumnLengthMismatch {
    std::string feature;
    std::uint64_t expected;
    std::uint64_t actual;
  };
  struct MissingFeature {
    std::string name;
  };
  struct UnexpectedFeature {
    std::string name;
  };
  struct InvalidBinaryValue {
    std::uint64_t feature_index;
    std::uint64_t row_index;
    double value;
  };

  std::variant<ProbabilityPredictionRequiresClassification, RaggedRows, FeatureCountMismatch,
               ColumnLengthMismatch, MissingFeature, UnexpectedFeature, InvalidBinaryValue>
      error;

  // The message shown to users.
  std::string to_string() const;
  // The variant name with its field names and values, e.g.
  // "RaggedRows { row: 2, expected: 3, actual: 2 }".
  std::string debug_string() const;
};

}  // namespace arborvane::core
