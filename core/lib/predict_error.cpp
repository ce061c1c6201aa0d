#include "core/lib/predict_error.hpp"

#include "platform/numfmt.hpp"
#include "platform/str_cat.hpp"

namespace arborvane::core {

using platform::format_display;
using platform::str_cat;

std::string PredictError::to_string() const {
  struct Text {
    std::string operator()(const ProbabilityPredictionRequiresClassification&) const {
      return "predict_proba is only available for classification models.";
    }
    std::string operator()(const RaggedRows& e) const {
      return str_cat("Ragged inference row at index ", e.row, ": expected ", e.expected,
                     " columns, found ", e.actual, ".");
    }
    std::string operator()(const FeatureCountMismatch& e) const {
      return str_cat("Inference input has ", e.actual, " features, but the model expects ",
                     e.expected, ".");
    }
    std::string operator()(const ColumnLengthMismatch& e) const {
      return str_cat("Feature '", e.feature, "' has ", e.actual, " values, expected ", e.expected,
                     ".");
    }
    std::string operator()(const MissingFeature& e) const {
      return str_cat("Missing required feature '", e.name, "'.");
    }
    std::string operator()(const UnexpectedFeature& e) const {
      return str_cat("Unexpected feature '", e.name, "'.");
    }
    std::string operator()(const InvalidBinaryValue& e) const {
      return str_cat("Feature ", e.feature_index, " at row ", e.row_index,
                     " must be binary for inference, found ", format_display(e.value), ".");
    }
  };
  return std::visit(Text{}, error);
}

std::string PredictError::debug_string() const {
  struct Debug {
    std::string operator()(const ProbabilityPredictionRequiresClassification&) const {
      return "ProbabilityPredictionRequiresClassification";
    }
    std::string operator()(const RaggedRows& e) const {
      return str_cat("RaggedRows { row: ", e.row, ", expected: ", e.expected,
                     ", actual: ", e.actual, " }");
    }
    std::string operator()(const FeatureCountMismatch& e) const {
      return str_cat("FeatureCountMismatch { expected: ", e.expected, ", actual: ", e.actual,
                     " }");
    }
    std::string operator()(const ColumnLengthMismatch& e) const {
      return str_cat("ColumnLengthMismatch { feature: \"", e.feature, "\", expected: ",
                     e.expected, ", actual: ", e.actual, " }");
    }
    std::string operator()(const MissingFeature& e) const {
      return str_cat("MissingFeature(\"", e.name, "\")");
    }
    std::string operator()(const UnexpectedFeature& e) const {
      return str_cat("UnexpectedFeature(\"", e.name, "\")");
    }
    std::string operator()(const InvalidBinaryValue& e) const {
      return str_cat("InvalidBinaryValue { feature_index: ", e.feature_index,
                     ", row_index: ", e.row_index, ", value: ", format_display(e.value), " }");
    }
  };
  return std::visit(Debug{}, error);
}

}  // namespace arborvane::core
