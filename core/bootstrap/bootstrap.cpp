#include "core/bootstrap/bootstrap.hpp"

#include <bit>

#include "platform/rng.hpp"

namespace arborvane::core {

BootstrapSample BootstrapSampler::sample_with_oob(std::uint64_t seed) const {
  BootstrapSample sample;
  sample.rows.reserve(n_rows);
  std::vector<std::uint8_t> in_bag(n_rows, 0);
  platform::ChaCha12Rng rng(seed);
  for (std::uint64_t i = 0; i < n_rows; ++i) {
    const std::uint64_t row = rng.uniform_below(n_rows);
    sample.rows.push_back(row);
    in_bag[row] = 1;
  }
  for (std::uint64_t row = 0; row < n_rows; ++row) {
    if (in_bag[row] == 0) sample.oob_rows.push_back(row);
  }
  return sample;
}

std::uint64_t tree_seed(std::uint64_t index, std::uint64_t base_seed) {
  return std::rotl(index * 0x9E3779B97F4A7C15ULL, 17) ^ base_seed;
}

}  // namespace arborvane::core
