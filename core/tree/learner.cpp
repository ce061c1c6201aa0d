#include "core/tree/learner.hpp"

#include <limits>
#include <numeric>

namespace arborvane::core {

std::size_t partition_rows(std::span<RowIndex> rows, const data::BinnedColumnView& column,
                           std::uint16_t threshold_bin) {
  // Bins are read first: swapping while reading would read moved rows.
  std::vector<std::uint8_t> goes_left(rows.size());
  for_each_bin(column, rows, [&](std::size_t i, std::uint16_t bin) {
    goes_left[i] = bin <= threshold_bin ? 1 : 0;
  });
  std::size_t left = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (goes_left[i] != 0) {
      std::swap(rows[left], rows[i]);
      ++left;
    }
  }
  return left;
}

std::vector<RowIndex> all_rows(const data::TableAccess& table) {
  const std::uint64_t n = table.n_rows();
  AV_CHECK(n <= std::numeric_limits<RowIndex>::max(), "row count fits the row buffer");
  std::vector<RowIndex> rows(n);
  std::iota(rows.begin(), rows.end(), RowIndex{0});
  return rows;
}

}  // namespace arborvane::core
