#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "core/boosting/gradient_boosting.hpp"
#include "core/tree/learner.hpp"
#include "core/tree/options.hpp"

namespace arborvane::core {

// Why training failed. The display text reaches Python unchanged as ValueError.
struct TrainError {
  struct ClassificationTree {
    LearnerError error;
  };
  struct RegressionTree {
    LearnerError error;
  };
  struct Boosting {
    BoostingError error;
  };
  struct InvalidPhysicalCoreCount {
    std::uint64_t requested;
    std::uint64_t available;
  };
  struct ThreadPoolBuildFailed {
    std::string message;
  };
  struct UnsupportedConfiguration {
    Task task;
    TreeType tree_type;
    Criterion criterion;
  };
  struct InvalidMaxDepth {
    std::uint64_t value;
  };
  struct InvalidMinSamplesSplit {
    std::uint64_t value;
  };
  struct InvalidMinSamplesLeaf {
    std::uint64_t value;
  };
  struct InvalidTreeCount {
    std::uint64_t value;
  };
  struct InvalidMaxFeatures {
    std::uint64_t value;
  };

  std::variant<ClassificationTree, RegressionTree, Boosting, InvalidPhysicalCoreCount, ThreadPoolBuildFailed,
               UnsupportedConfiguration, InvalidMaxDepth, InvalidMinSamplesSplit,
               InvalidMinSamplesLeaf, InvalidTreeCount, InvalidMaxFeatures>
      error;

  std::string to_string() const;
};

}  // namespace arborvane::core
