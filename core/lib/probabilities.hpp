#pragma once

#include <cstdint>
#include <vector>

namespace arborvane::core {

// Class probabilities of many rows, row-major: row r, class c at values[r * n_classes + c].
struct ProbabilityRows {
  std::uint64_t n_rows = 0;
  std::uint64_t n_classes = 0;
  std::vector<double> values;
};

// The class a probability row names: the largest entry in IEEE-754 total order, the lowest
// position among equals. An empty row is an invariant violation.
std::uint64_t argmax_class(const double* row, std::uint64_t n_classes);

// The two-class probability of the higher class from a raw score, without overflow.
double sigmoid(double raw_score);

}  // namespace arborvane::core
