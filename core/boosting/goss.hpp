#pragma once

// Gradient-based one-side sampling: the rows one boosting iteration trains on.

#include <cstdint>
#include <span>
#include <vector>

#include "platform/parallel.hpp"

namespace arborvane::core {

struct GossFractions {
  double top = 0.2;    // share of the candidates kept by largest absolute gradient
  double other = 0.1;  // share of the remaining candidates kept at random
};

struct GossSample {
  // The top rows (largest absolute gradient first, lower row first among equals), then the
  // randomly kept others in the order the shuffle left them.
  std::vector<std::uint64_t> rows;
  std::uint64_t top_count = 0;
  // Multiplies the gradient and hessian of every row past `top_count`, so the few kept others
  // stand for all the others: (1 - top) / other.
  double other_weight = 1.0;
};

// Working memory of the ordering, kept across iterations so each one reuses it.
struct GossBuffers {
  std::vector<std::uint64_t> items;
  std::vector<std::uint64_t> scratch;
  std::vector<std::uint64_t> ordered;
};

// Candidates (any order, repeats allowed) ordered by absolute gradient, largest first in the
// IEEE-754 total order, lower row first among equals. `gradients` is indexed by row.
std::vector<std::uint64_t> order_by_absolute_gradient(std::span<const std::uint64_t> candidates,
                                                      std::span<const double> gradients);

// The rows of one iteration. The others are shuffled with a generator seeded from the
// iteration's tree seed, so the sample depends only on the inputs.
GossSample select_goss_rows(std::span<const std::uint64_t> candidates,
                            std::span<const double> gradients, GossFractions fractions,
                            std::uint64_t tree_seed);
GossSample select_goss_rows(std::span<const std::uint64_t> candidates,
                            std::span<const double> gradients, GossFractions fractions,
                            std::uint64_t tree_seed, GossBuffers& buffers,
                            platform::ThreadPool* pool);

}  // namespace arborvane::core
