#include "core/lib/probabilities.hpp"

#include <bit>
#include <limits>
#include <cmath>

#include "platform/check.hpp"
#include "platform/total_order.hpp"

namespace arborvane::core {

namespace {

}  // namespace

std::uint64_t argmax_class(const double* row, std::uint64_t n_classes) {
  AV_CHECK(n_classes > 0, "classification probability row is non-empty");
  std::uint64_t best = 0;
  for (std::uint64_t c = 1; c < n_classes; ++c) {
    if (platform::total_order_greater(row[c], row[best])) best = c;
  }
  return best;
}

double sigmoid(double raw_score) {
  if (raw_score >= 0.0) return 1.0 / (1.0 + std::exp(-raw_score));
  const double e = std::exp(raw_score);
  return e / (1.0 + e);
}

}  // namespace arborvane::core
