#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/tree/classification_histogram.hpp"
#include "core/tree/classifier.hpp"
#include "core/tree/classifier_context.hpp"

// The level-wise classification tree: one shared split per depth level.
namespace arborvane::core::classification {

// A current leaf during growth: a range of the row buffer and its classes.
struct ObliviousLeaf {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::vector<std::uint64_t> counts;
  std::uint64_t class_index = 0;
};

// Per-feature working space for scoring a level. Feature f only touches its own slots, so the
// candidates of a level can be scored in parallel.
class ObliviousScratch {
 public:
  explicit ObliviousScratch(const TreeContext& context);

  NodeHistograms& histograms() { return histograms_; }
  std::span<double> primary_totals(std::uint64_t f) { return slot(primary_, f); }
  std::span<double> fallback_totals(std::uint64_t f) { return slot(fallback_, f); }
  std::span<std::uint8_t> observed_anywhere(std::uint64_t f) { return slot(observed_, f); }
  std::span<std::uint64_t> left_counts(std::uint64_t f) {
    return std::span<std::uint64_t>(left_).subspan(f * class_count_, class_count_);
  }

 private:
  template <class T>
  std::span<T> slot(std::vector<T>& all, std::uint64_t f) {
    return std::span<T>(all).subspan(f * bins_, bins_);
  }

  std::size_t bins_;
  NodeHistograms histograms_;  // one leaf's counts at a time
  std::vector<double> primary_;
  std::vector<double> fallback_;
  std::vector<std::uint8_t> observed_;
  std::vector<std::uint64_t> left_;
  std::size_t class_count_;
};

// What scoring a candidate across the current leaves reads.
struct LevelScoring {
  const TreeContext* context = nullptr;
  // Every leaf's rows at its range of positions (in any order) and their classes.
  std::span<const RowIndex> rows;
  std::span<const ClassIndex> classes;
  std::span<const ObliviousLeaf> leaves;
  std::span<const double> leaf_impurities;
};

// The summed per-leaf gain of splitting every current leaf on `feature`, with its threshold.
std::optional<SplitChoice> score_oblivious_split(const LevelScoring& level, std::uint64_t feature,
                                                 ObliviousScratch& scratch);

// Grows the levels over the row buffer, which is partitioned in place.
ObliviousClassificationTree build_oblivious_tree(const TreeContext& context,
                                                 std::span<RowIndex> rows);

}  // namespace arborvane::core::classification
