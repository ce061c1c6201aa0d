#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "core/tree/options.hpp"
#include "core/tree/regressor.hpp"
#include "data/table_access.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {

struct SecondOrderTreeOptions {
  std::optional<std::uint64_t> max_features;  // per node (per level for oblivious trees)
  std::uint64_t max_depth = 8;
  std::uint64_t min_samples_split = 2;
  std::uint64_t min_samples_leaf = 1;
  std::uint64_t seed = 0;
  double l2_regularization = 1.0;
  double min_sum_hessian_in_leaf = 0.001;
  double min_gain_to_split = 0.0;
};

struct SecondOrderRegressionTreeError {
  struct EmptyTable {};
  struct GradientLengthMismatch {
    std::uint64_t expected;
    std::uint64_t found;
  };
  struct HessianLengthMismatch {
    std::uint64_t expected;
    std::uint64_t found;
  };
  struct NonFiniteGradient {
    double value;
    std::uint64_t row;
  };
  struct NonFiniteHessian {
    double value;
    std::uint64_t row;
  };
  struct NegativeHessian {
    double value;
    std::uint64_t row;
  };
  struct InvalidL2Regularization {
    double value;
  };
  struct InvalidMinSumHessianInLeaf {
    double value;
  };
  struct InvalidMinGainToSplit {
    double value;
  };

  std::variant<EmptyTable, GradientLengthMismatch, HessianLengthMismatch, NonFiniteGradient,
               NonFiniteHessian, NegativeHessian, InvalidL2Regularization,
               InvalidMinSumHessianInLeaf, InvalidMinGainToSplit>
      error;

  std::string to_string() const;
};

// A Newton-step regression tree, and whether growth stopped because the root's best split
// was a canary column (boosting stops there).
struct SecondOrderTree {
  DecisionTreeRegressor tree;  // criterion SecondOrder
  bool root_canary = false;
};

// Fits one tree to per-row gradients and hessians (one per row of `table`). `kind` is Cart,
// Randomized or Oblivious; with a pool, candidate features are scored in parallel with results
// identical to one thread.
std::expected<SecondOrderTree, SecondOrderRegressionTreeError> train_second_order_regressor(
    const data::TableAccess& table, std::span<const double> gradients,
    std::span<const double> hessians, TreeType kind, platform::ThreadPool* pool,
    const SecondOrderTreeOptions& options);

namespace second_order {
class PackedBins;
}  // namespace second_order

// The bins of a row view, already packed: row i of the view is row rows[i] of the table `base`
// was packed from (`PackedBins::pack`), so many trees over views of one table pack it once.
struct PrepackedRows {
  const second_order::PackedBins* base = nullptr;
  std::span<const std::uint64_t> rows;
};

// The same tree as above, reading the view's bins from `packed` instead of its columns.
std::expected<SecondOrderTree, SecondOrderRegressionTreeError> train_second_order_regressor(
    const data::TableAccess& table, std::span<const double> gradients,
    std::span<const double> hessians, TreeType kind, platform::ThreadPool* pool,
    const SecondOrderTreeOptions& options, const PrepackedRows& packed);

}  // namespace arborvane::core
