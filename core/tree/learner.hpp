#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/tree/options.hpp"
#include "core/tree/sampling.hpp"
#include "data/table_access.hpp"
#include "platform/check.hpp"

namespace arborvane::core {

// The errors a single-tree learner reports before growing anything.
struct LearnerError {
  struct EmptyTarget {};
  struct InvalidTargetValue {
    std::uint64_t row;
    double value;
  };
  std::variant<EmptyTarget, InvalidTargetValue> error;
};

// One level of an oblivious tree: the split every node of that depth shares.
struct ObliviousLevel {
  std::uint64_t feature_index = 0;
  std::uint64_t sample_count = 0;
  double impurity = 0.0;
  double gain = 0.0;
  std::uint16_t threshold_bin = 0;

  friend bool operator==(const ObliviousLevel&, const ObliviousLevel&) = default;
};

// Calls f(i, bin) for every position i of `rows`, with the binned value of rows[i] in `column`.
// The storage layout and row mapping are resolved once per call, not once per value.
template <class F>
void for_each_bin(const data::BinnedColumnView& column, std::span<const RowIndex> rows, F&& f) {
  using Layout = data::BinnedColumnView::Layout;
  const std::uint64_t* map = column.rows;
  const std::size_t n = rows.size();
  auto run = [&](auto&& read) {
    if (map == nullptr) {
      for (std::size_t i = 0; i < n; ++i) f(i, read(rows[i]));
    } else {
      for (std::size_t i = 0; i < n; ++i) f(i, read(map[rows[i]]));
    }
  };
  switch (column.layout) {
    case Layout::U8: {
      const std::uint8_t* bins = column.u8;
      run([bins](std::uint64_t at) -> std::uint16_t { return bins[at]; });
      return;
    }
    case Layout::U16: {
      const std::uint16_t* bins = column.u16;
      run([bins](std::uint64_t at) -> std::uint16_t { return bins[at]; });
      return;
    }
    case Layout::Bits: {
      const std::uint64_t* words = column.bits;
      run([words](std::uint64_t at) -> std::uint16_t {
        return static_cast<std::uint16_t>((words[at >> 6] >> (at & 63)) & 1U);
      });
      return;
    }
    case Layout::Sparse: {
      const std::span<const std::uint64_t> positions = column.positions;
      run([positions](std::uint64_t at) -> std::uint16_t {
        return std::binary_search(positions.begin(), positions.end(), at) ? 1 : 0;
      });
      return;
    }
  }
  internal_failure("unknown binned column layout");
}

// Moves the rows whose bin is at most `threshold_bin` to the front, keeping their relative
// order (the right side's order is not kept); returns how many went left. A binary column
// reads 0 or 1, so threshold 0 sends false left and true right.
std::size_t partition_rows(std::span<RowIndex> rows, const data::BinnedColumnView& column,
                           std::uint16_t threshold_bin);

// Whether a binary-split tree type grows level by level (Oblivious) rather than node by node
// (Cart, Randomized). Id3 and C45 stop with `unsupported_text`: callers only pass the other three.
bool grows_level_wise(TreeType type, const char* unsupported_text);

// The row buffer 0..n-1 of a table a learner trains on.
std::vector<RowIndex> all_rows(const data::TableAccess& table);

}  // namespace arborvane::core
