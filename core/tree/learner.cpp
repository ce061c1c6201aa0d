#include "core/tree/learner.hpp"

#include <limits>
#include <numeric>

namespace arborvane::core {

std::size_t partition_rows(std::span<RowIndex> rows, const data::BinnedColumnView& column,
                           std::uint16_t threshold_bin) {
  // A swap only touches positions up to the current one, so every row is still unmoved when
  // the scan reads it: sides can be decided and applied in the same pass.
  std::size_t left = 0;
  for_each_bin(column, rows, [&](std::size_t i, std::uint16_t bin) {
    if (bin <= threshold_bin) {
      std::swap(rows[left], rows[i]);
      ++left;
    }
  });
  return left;
}

bool grows_level_wise(TreeType type, const char* unsupported_text) {
  switch (type) {
    case TreeType::Cart:
    case TreeType::Randomized:
      return false;
    case TreeType::Oblivious:
      return true;
    case TreeType::Id3:
    case TreeType::C45:
      internal_failure(unsupported_text);
  }
  internal_failure("unknown tree type");
}

std::vector<RowIndex> all_rows(const data::TableAccess& table) {
  const std::uint64_t n = table.n_rows();
  AV_CHECK(n <= std::numeric_limits<RowIndex>::max(), "row count fits the row buffer");
  std::vector<RowIndex> rows(n);
  std::iota(rows.begin(), rows.end(), RowIndex{0});
  return rows;
}

}  // namespace arborvane::core
