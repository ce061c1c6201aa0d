#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace arborvane::core {

// Tree types in their fixed order; the order is also the order of their display names.
enum class TreeType : std::uint8_t { Id3, C45, Cart, Randomized, Oblivious };

// Split criteria. SecondOrder is set by boosting only.
enum class Criterion : std::uint8_t { Auto, Gini, Entropy, Mean, Median, SecondOrder };

enum class Task : std::uint8_t { Regression, Classification };

// What a single-tree learner receives besides the table, tree type, criterion and pool.
struct DecisionTreeOptions {
  std::optional<std::uint64_t> max_features;  // features sampled per split; absent = all
  std::uint64_t max_depth = 8;
  std::uint64_t min_samples_split = 2;
  std::uint64_t min_samples_leaf = 1;
  std::uint64_t seed = 0;

  friend bool operator==(const DecisionTreeOptions&, const DecisionTreeOptions&) = default;
};

// Lower snake case names used in settings strings and documents ("cart", "second_order").
std::string_view tree_type_name(TreeType type);
std::string_view criterion_name(Criterion criterion);
std::string_view task_name(Task task);

// The variant names used in messages ("Cart", "SecondOrder").
std::string_view tree_type_debug_name(TreeType type);
std::string_view criterion_debug_name(Criterion criterion);
std::string_view task_debug_name(Task task);

}  // namespace arborvane::core
