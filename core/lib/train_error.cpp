#include "core/lib/train_error.hpp"

#include "platform/numfmt.hpp"
#include "platform/str_cat.hpp"

namespace arborvane::core {

namespace {

using platform::format_display;
using platform::str_cat;

std::string learner_text(const LearnerError& error, const char* kind) {
  struct Text {
    const char* kind;
    std::string operator()(const LearnerError::EmptyTarget&) const {
      return "Cannot train on an empty target vector.";
    }
    std::string operator()(const LearnerError::InvalidTargetValue& e) const {
      return str_cat(kind, " targets must be finite values. Found ", format_display(e.value),
                     " at row ", e.row, ".");
    }
  };
  return std::visit(Text{kind}, error.error);
}

}  // namespace

std::string TrainError::to_string() const {
  struct Text {
    std::string operator()(const ClassificationTree& e) const {
      return learner_text(e.error, "Classification");
    }
    std::string operator()(const RegressionTree& e) const {
      return learner_text(e.error, "Regression");
    }
    std::string operator()(const Boosting& e) const { return e.error.to_string(); }
    std::string operator()(const InvalidPhysicalCoreCount& e) const {
      return str_cat("Requested ", e.requested,
                     " physical cores, but the available physical core count is ", e.available,
                     ".");
    }
    std::string operator()(const ThreadPoolBuildFailed& e) const {
      return str_cat("Failed to build training thread pool: ", e.message, ".");
    }
    std::string operator()(const UnsupportedConfiguration& e) const {
      return str_cat("Unsupported training configuration: task=", task_debug_name(e.task),
                     ", tree_type=", tree_type_debug_name(e.tree_type),
                     ", criterion=", criterion_debug_name(e.criterion), ".");
    }
    std::string operator()(const InvalidMaxDepth& e) const {
      return str_cat("max_depth must be at least 1. Received ", e.value, ".");
    }
    std::string operator()(const InvalidMinSamplesSplit& e) const {
      return str_cat("min_samples_split must be at least 1. Received ", e.value, ".");
    }
    std::string operator()(const InvalidMinSamplesLeaf& e) const {
      return str_cat("min_samples_leaf must be at least 1. Received ", e.value, ".");
    }
    std::string operator()(const InvalidTreeCount& e) const {
      return str_cat("Random forest requires at least one tree. Received ", e.value, ".");
    }
    std::string operator()(const InvalidMaxFeatures& e) const {
      return str_cat("max_features must be at least 1 when provided as an integer. Received ",
                     e.value, ".");
    }
  };
  return std::visit(Text{}, error);
}

}  // namespace arborvane::core
