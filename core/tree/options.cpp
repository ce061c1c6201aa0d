#include "core/tree/options.hpp"

#include "platform/check.hpp"

namespace arborvane::core {

std::string_view tree_type_name(TreeType type) {
  switch (type) {
    case TreeType::Id3:
      return "id3";
    case TreeType::C45:
      return "c45";
    case TreeType::Cart:
      return "cart";
    case TreeType::Randomized:
      return "randomized";
    case TreeType::Oblivious:
      return "oblivious";
  }
  internal_failure("unknown tree type");
}

std::string_view criterion_name(Criterion criterion) {
  switch (criterion) {
    case Criterion::Auto:
      return "auto";
    case Criterion::Gini:
      return "gini";
    case Criterion::Entropy:
      return "entropy";
    case Criterion::Mean:
      return "mean";
    case Criterion::Median:
      return "median";
    case Criterion::SecondOrder:
      return "second_order";
  }
  internal_failure("unknown criterion");
}

std::string_view task_name(Task task) {
  switch (task) {
    case Task::Regression:
      return "regression";
    case Task::Classification:
      return "classification";
  }
  internal_failure("unknown task");
}

std::string_view tree_type_debug_name(TreeType type) {
  switch (type) {
    case TreeType::Id3:
      return "Id3";
    case TreeType::C45:
      return "C45";
    case TreeType::Cart:
      return "Cart";
    case TreeType::Randomized:
      return "Randomized";
    case TreeType::Oblivious:
      return "Oblivious";
  }
  internal_failure("unknown tree type");
}

std::string_view criterion_debug_name(Criterion criterion) {
  switch (criterion) {
    case Criterion::Auto:
      return "Auto";
    case Criterion::Gini:
      return "Gini";
    case Criterion::Entropy:
      return "Entropy";
    case Criterion::Mean:
      return "Mean";
    case Criterion::Median:
      return "Median";
    case Criterion::SecondOrder:
      return "SecondOrder";
  }
  internal_failure("unknown criterion");
}

std::string_view task_debug_name(Task task) {
  switch (task) {
    case Task::Regression:
      return "Regression";
    case Task::Classification:
      return "Classification";
  }
  internal_failure("unknown task");
}

}  // namespace arborvane::core
