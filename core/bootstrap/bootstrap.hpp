#pragma once

#include <cstdint>
#include <vector>

namespace arborvane::core {

// Rows drawn with replacement, and the rows never drawn.
struct BootstrapSample {
  std::vector<std::uint64_t> rows;      // n_rows draws, in draw order
  std::vector<std::uint64_t> oob_rows;  // ascending
};

struct BootstrapSampler {
  std::uint64_t n_rows = 0;

  BootstrapSample sample_with_oob(std::uint64_t seed) const;
};

// Seed of tree (or boosting iteration) `index` under `base_seed`.
std::uint64_t tree_seed(std::uint64_t index, std::uint64_t base_seed);

}  // namespace arborvane::core
