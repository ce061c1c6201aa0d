#include "core/tree/second_order.hpp"

#include <cmath>

#include "core/tree/second_order_growth.hpp"
#include "platform/check.hpp"
#include "platform/numfmt.hpp"
#include "platform/str_cat.hpp"

namespace arborvane::core {

namespace {

using platform::format_display;
using platform::str_cat;
using Error = SecondOrderRegressionTreeError;

bool finite_non_negative(double value) { return std::isfinite(value) && value >= 0.0; }

// The first failing check, in the order callers rely on.
std::optional<Error> validate(const data::TableAccess& table, std::span<const double> gradients,
                              std::span<const double> hessians,
                              const SecondOrderTreeOptions& options) {
  const std::uint64_t n = table.n_rows();
  if (n == 0) return Error{Error::EmptyTable{}};
  if (gradients.size() != n) return Error{Error::GradientLengthMismatch{n, gradients.size()}};
  if (hessians.size() != n) return Error{Error::HessianLengthMismatch{n, hessians.size()}};
  if (!finite_non_negative(options.l2_regularization)) {
    return Error{Error::InvalidL2Regularization{options.l2_regularization}};
  }
  if (!finite_non_negative(options.min_sum_hessian_in_leaf)) {
    return Error{Error::InvalidMinSumHessianInLeaf{options.min_sum_hessian_in_leaf}};
  }
  if (!finite_non_negative(options.min_gain_to_split)) {
    return Error{Error::InvalidMinGainToSplit{options.min_gain_to_split}};
  }
  for (std::uint64_t row = 0; row < n; ++row) {
    if (!std::isfinite(gradients[row])) return Error{Error::NonFiniteGradient{gradients[row], row}};
  }
  for (std::uint64_t row = 0; row < n; ++row) {
    if (!std::isfinite(hessians[row])) return Error{Error::NonFiniteHessian{hessians[row], row}};
    if (hessians[row] < 0.0) return Error{Error::NegativeHessian{hessians[row], row}};
  }
  return std::nullopt;
}

}  // namespace

std::string SecondOrderRegressionTreeError::to_string() const {
  struct Text {
    std::string operator()(const EmptyTable&) const { return "Cannot train on an empty table."; }
    std::string operator()(const GradientLengthMismatch& e) const {
      return str_cat("Gradient length mismatch: expected ", e.expected, " values, found ",
                     e.found, ".");
    }
    std::string operator()(const HessianLengthMismatch& e) const {
      return str_cat("Hessian length mismatch: expected ", e.expected, " values, found ", e.found,
                     ".");
    }
    std::string operator()(const NonFiniteGradient& e) const {
      return str_cat("Gradients must be finite values. Found ", format_display(e.value),
                     " at row ", e.row, ".");
    }
    std::string operator()(const NonFiniteHessian& e) const {
      return str_cat("Hessians must be finite values. Found ", format_display(e.value), " at row ",
                     e.row, ".");
    }
    std::string operator()(const NegativeHessian& e) const {
      return str_cat("Hessians must be non-negative. Found ", format_display(e.value), " at row ",
                     e.row, ".");
    }
    std::string operator()(const InvalidL2Regularization& e) const {
      return str_cat("l2_regularization must be finite and non-negative. Found ",
                     format_display(e.value), ".");
    }
    std::string operator()(const InvalidMinSumHessianInLeaf& e) const {
      return str_cat("min_sum_hessian_in_leaf must be finite and non-negative. Found ",
                     format_display(e.value), ".");
    }
    std::string operator()(const InvalidMinGainToSplit& e) const {
      return str_cat("min_gain_to_split must be finite and non-negative. Found ",
                     format_display(e.value), ".");
    }
  };
  return std::visit(Text{}, error);
}

namespace {

std::expected<SecondOrderTree, Error> train(const data::TableAccess& table,
                                            std::span<const double> gradients,
                                            std::span<const double> hessians, TreeType kind,
                                            platform::ThreadPool* pool,
                                            const SecondOrderTreeOptions& options,
                                            const PrepackedRows* packed) {
  const bool oblivious =
      grows_level_wise(kind, "second-order tree type only supports cart, randomized or oblivious");
  if (std::optional<Error> error = validate(table, gradients, hessians, options)) {
    return std::unexpected(std::move(*error));
  }

  const second_order::Problem problem =
      second_order::Problem::resolve(table, pool, options, packed);
  second_order::GradientRows rows(problem, gradients, hessians);
  SecondOrderTree result;
  DecisionTreeRegressor& tree = result.tree;
  if (oblivious) {
    second_order::ObliviousGrowth growth = second_order::grow_oblivious(problem, rows);
    tree.structure = std::move(growth.tree);
    result.root_canary = growth.root_canary;
  } else {
    second_order::StandardGrowth growth = second_order::grow_standard(problem, kind, rows);
    tree.structure = std::move(growth.tree);
    result.root_canary = growth.root_canary;
  }
  tree.options = DecisionTreeOptions{.max_features = options.max_features,
                                     .max_depth = options.max_depth,
                                     .min_samples_split = options.min_samples_split,
                                     .min_samples_leaf = options.min_samples_leaf,
                                     .seed = options.seed};
  tree.feature_preprocessing = table.feature_preprocessing();
  tree.n_features = table.n_features();
  tree.canaries = table.canaries();
  tree.algorithm = kind;
  tree.criterion = Criterion::SecondOrder;
  return result;
}

}  // namespace

std::expected<SecondOrderTree, SecondOrderRegressionTreeError> train_second_order_regressor(
    const data::TableAccess& table, std::span<const double> gradients,
    std::span<const double> hessians, TreeType kind, platform::ThreadPool* pool,
    const SecondOrderTreeOptions& options) {
  return train(table, gradients, hessians, kind, pool, options, nullptr);
}

std::expected<SecondOrderTree, SecondOrderRegressionTreeError> train_second_order_regressor(
    const data::TableAccess& table, std::span<const double> gradients,
    std::span<const double> hessians, TreeType kind, platform::ThreadPool* pool,
    const SecondOrderTreeOptions& options, const PrepackedRows& packed) {
  return train(table, gradients, hessians, kind, pool, options, &packed);
}

}  // namespace arborvane::core
