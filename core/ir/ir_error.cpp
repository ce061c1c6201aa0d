#include "core/ir/ir_error.hpp"

#include <string_view>

#include "platform/json.hpp"
#include "platform/str_cat.hpp"

namespace arborvane::core::ir {

using platform::str_cat;

std::string IrError::to_string() const {
  struct Text {
    std::string operator()(const UnsupportedIrVersion& e) const {
      return str_cat("Unsupported IR version: ", e.version, ".");
    }
    std::string operator()(const UnsupportedIrFormat& e) const {
      return str_cat("Unsupported IR format: ", e.format, ".");
    }
    std::string operator()(const UnsupportedAlgorithm& e) const {
      return str_cat("Unsupported algorithm: ", e.algorithm, ".");
    }
    std::string operator()(const UnsupportedTask& e) const {
      return str_cat("Unsupported task: ", e.task, ".");
    }
    std::string operator()(const UnsupportedTreeType& e) const {
      return str_cat("Unsupported tree type: ", e.tree_type, ".");
    }
    std::string operator()(const UnexpectedTreeCount& e) const {
      return str_cat("Expected exactly one tree in the IR, found ", e.count, ".");
    }
    std::string operator()(const UnsupportedRepresentation& e) const {
      return str_cat("Unsupported tree representation: ", e.representation, ".");
    }
    std::string operator()(const PreprocessingFeatureMismatch& e) const {
      return str_cat("Input schema declares ", e.declared, " features, but preprocessing declares ",
                     e.required, ".");
    }
    std::string operator()(const MissingClassLabels&) const {
      return "Classification IR requires explicit class labels.";
    }
    std::string operator()(const InvalidLeafPayload& e) const {
      return str_cat("Invalid leaf payload: ", e.detail, ".");
    }
    std::string operator()(const InvalidTreeNode& e) const {
      return str_cat("Invalid tree node: ", e.detail, ".");
    }
    std::string operator()(const InvalidPreprocessing& e) const {
      return str_cat("Invalid preprocessing section: ", e.detail, ".");
    }
    std::string operator()(const InvalidInferenceOptions& e) const {
      return str_cat("Invalid inference options: ", e.detail, ".");
    }
    std::string operator()(const InvalidJson& e) const {
      return str_cat("Invalid JSON: ", e.detail, ".");
    }
  };
  return std::visit(Text{}, error);
}

namespace {

// Name("text"), with the text quoted and escaped as a JSON string.
std::string quoted(std::string_view name, std::string_view text) {
  std::string out = str_cat(name, "(");
  platform::append_json_string(out, text);
  out.push_back(')');
  return out;
}

}  // namespace

std::string IrError::debug_string() const {
  struct Debug {
    std::string operator()(const UnsupportedIrVersion& e) const {
      return quoted("UnsupportedIrVersion", e.version);
    }
    std::string operator()(const UnsupportedIrFormat& e) const {
      return quoted("UnsupportedIrFormat", e.format);
    }
    std::string operator()(const UnsupportedAlgorithm& e) const {
      return quoted("UnsupportedAlgorithm", e.algorithm);
    }
    std::string operator()(const UnsupportedTask& e) const {
      return quoted("UnsupportedTask", e.task);
    }
    std::string operator()(const UnsupportedTreeType& e) const {
      return quoted("UnsupportedTreeType", e.tree_type);
    }
    std::string operator()(const UnexpectedTreeCount& e) const {
      return str_cat("UnexpectedTreeCount(", e.count, ")");
    }
    std::string operator()(const UnsupportedRepresentation& e) const {
      return quoted("UnsupportedRepresentation", e.representation);
    }
    std::string operator()(const PreprocessingFeatureMismatch& e) const {
      return str_cat("PreprocessingFeatureMismatch { declared: ", e.declared,
                     ", required: ", e.required, " }");
    }
    std::string operator()(const MissingClassLabels&) const { return "MissingClassLabels"; }
    std::string operator()(const InvalidLeafPayload& e) const {
      return quoted("InvalidLeafPayload", e.detail);
    }
    std::string operator()(const InvalidTreeNode& e) const {
      return quoted("InvalidTreeNode", e.detail);
    }
    std::string operator()(const InvalidPreprocessing& e) const {
      return quoted("InvalidPreprocessing", e.detail);
    }
    std::string operator()(const InvalidInferenceOptions& e) const {
      return quoted("InvalidInferenceOptions", e.detail);
    }
    std::string operator()(const InvalidJson& e) const { return quoted("InvalidJson", e.detail); }
  };
  return std::visit(Debug{}, error);
}

}  // namespace arborvane::core::ir
