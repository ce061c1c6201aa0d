#include "core/tree/tree_ir.hpp"

#include <charconv>
#include <string>
#include <utility>

namespace arborvane::core {
namespace {

bool is_binary_feature(std::uint64_t feature_index,
                       std::span<const data::FeaturePreprocessing> preprocessing) {
  return feature_index < preprocessing.size() &&
         preprocessing[feature_index].kind == data::FeaturePreprocessing::Kind::Binary;
}

std::optional<double> upper_bound_of(std::uint64_t feature_index, std::uint16_t threshold_bin,
                                     std::span<const data::FeaturePreprocessing> preprocessing) {
  if (feature_index >= preprocessing.size()) return std::nullopt;
  for (const data::NumericBinBoundary& boundary : preprocessing[feature_index].boundaries) {
    if (boundary.bin == threshold_bin) return boundary.upper_bound;
  }
  return std::nullopt;
}

}  // namespace

std::string feature_name_ir(std::uint64_t feature_index) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, feature_index).ptr;
  std::string name(1, 'f');
  name.append(digits, end);
  return name;
}

ir::BinarySplit binary_split_ir(std::uint64_t feature_index, std::uint16_t threshold_bin,
                                std::span<const data::FeaturePreprocessing> preprocessing) {
  if (is_binary_feature(feature_index, preprocessing)) {
    return {ir::BinarySplit::BooleanTest{feature_index, feature_name_ir(feature_index), "left",
                                         "right"}};
  }
  return {ir::BinarySplit::NumericBinThreshold{
      feature_index, feature_name_ir(feature_index), "<=", threshold_bin,
      upper_bound_of(feature_index, threshold_bin, preprocessing), "uint16"}};
}

ir::ObliviousSplit oblivious_split_ir(std::uint64_t feature_index, std::uint16_t threshold_bin,
                                      std::span<const data::FeaturePreprocessing> preprocessing) {
  if (is_binary_feature(feature_index, preprocessing)) {
    return {ir::ObliviousSplit::BooleanTest{feature_index, feature_name_ir(feature_index), 0, 1}};
  }
  return {ir::ObliviousSplit::NumericBinThreshold{
      feature_index, feature_name_ir(feature_index), "<=", threshold_bin,
      upper_bound_of(feature_index, threshold_bin, preprocessing), "uint16", 0, 1}};
}

ir::TreeDefinition oblivious_tree_ir(std::span<const ObliviousLevel> levels,
                                     std::span<const data::FeaturePreprocessing> preprocessing,
                                     std::vector<ir::IndexedLeaf> leaves) {
  ir::TreeDefinition::ObliviousLevels tree;
  tree.depth = levels.size();
  tree.levels.reserve(levels.size());
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const ObliviousLevel& level = levels[i];
    ir::NodeStats stats;
    stats.sample_count = level.sample_count;
    stats.impurity = level.impurity;
    stats.gain = level.gain;
    tree.levels.push_back(
        {i, oblivious_split_ir(level.feature_index, level.threshold_bin, preprocessing), stats});
  }
  tree.leaf_indexing = {"msb_first", "sum(bit[level] << (depth - 1 - level))"};
  tree.leaves = std::move(leaves);
  return {std::move(tree)};
}

}  // namespace arborvane::core
