#include "core/tree/regression_histogram.hpp"

#include <algorithm>

#include "core/tree/learner.hpp"
#include "platform/check.hpp"

namespace arborvane::core {

namespace {

// Below this many cell updates a parallel pass costs more than it saves.
constexpr std::size_t kParallelCells = std::size_t{1} << 15;

platform::ThreadPool* pool_for(platform::ThreadPool* pool, std::size_t cells) {
  return cells >= kParallelCells ? pool : nullptr;
}

}  // namespace

RegressionHistogramLayout RegressionHistogramLayout::for_table(const data::TableAccess& table) {
  RegressionHistogramLayout layout;
  const std::uint64_t features = table.binned_feature_count();
  const std::size_t cap = table.numeric_bin_cap();
  layout.offsets_.reserve(features + 1);
  layout.binary_.reserve(features);
  for (std::uint64_t f = 0; f < features; ++f) {
    const bool binary = table.is_binary_binned_feature(f);
    layout.binary_.push_back(binary ? 1 : 0);
    layout.offsets_.push_back(layout.offsets_.back() + (binary ? 2 : cap));
  }
  return layout;
}

void build_regression_feature_histogram(const data::BinnedColumnView& column,
                                        std::span<const RowIndex> rows,
                                        std::span<const double> targets,
                                        std::span<RegressionBin> out) {
  std::fill(out.begin(), out.end(), RegressionBin{});
  RegressionBin* bins = out.data();
  const double* y = targets.data();
  auto add = [bins, y](std::size_t i, std::uint16_t bin) {
    RegressionBin& b = bins[bin];
    b.sum += y[i];
    b.sum_sq += y[i] * y[i];
    ++b.count;
  };
  // Below the root a node's rows are scattered over the column; fetching the bins a few rows
  // ahead hides most of that latency.
  constexpr std::size_t kAhead = 16;
  auto run = [&](const auto* stored) {
    const std::size_t n = rows.size();
    const RowIndex* r = rows.data();
    std::size_t i = 0;
    if (column.rows == nullptr) {
      for (; i + kAhead < n; ++i) {
        __builtin_prefetch(stored + r[i + kAhead]);
        add(i, stored[r[i]]);
      }
      for (; i < n; ++i) add(i, stored[r[i]]);
    } else {
      const std::uint64_t* map = column.rows;
      for (; i + kAhead < n; ++i) {
        __builtin_prefetch(stored + map[r[i + kAhead]]);
        add(i, stored[map[r[i]]]);
      }
      for (; i < n; ++i) add(i, stored[map[r[i]]]);
    }
  };
  switch (column.layout) {
    case data::BinnedColumnView::Layout::U8:
      run(column.u8);
      return;
    case data::BinnedColumnView::Layout::U16:
      run(column.u16);
      return;
    case data::BinnedColumnView::Layout::Bits:
    case data::BinnedColumnView::Layout::Sparse:
      for_each_bin(column, rows, add);
      return;
  }
  internal_failure("unknown binned column layout");
}

void build_regression_histograms(std::span<const data::BinnedColumnView> columns,
                                 std::span<const RowIndex> rows, std::span<const double> targets,
                                 RegressionHistograms& out, platform::ThreadPool* pool) {
  const RegressionHistogramLayout& layout = out.layout();
  AV_CHECK(columns.size() == layout.feature_count(), "histogram shapes must match");
  AV_CHECK(rows.size() == targets.size(), "one target per row");
  platform::parallel_for(
      pool_for(pool, rows.size() * layout.feature_count()), layout.feature_count(),
      [&](std::size_t f) {
        build_regression_feature_histogram(columns[f], rows, targets, out.feature(f));
      });
}

void subtract_regression_histograms(RegressionHistograms& parent,
                                    const RegressionHistograms& child,
                                    platform::ThreadPool* pool) {
  AV_CHECK(&parent.layout() == &child.layout() || parent.layout() == child.layout(),
           "histogram shapes must match");
  const RegressionHistogramLayout& layout = parent.layout();
  platform::parallel_for(pool_for(pool, layout.total_bins()), layout.feature_count(),
                         [&](std::size_t f) {
                           std::span<RegressionBin> p = parent.feature(f);
                           std::span<const RegressionBin> c = child.feature(f);
                           for (std::size_t b = 0; b < p.size(); ++b) {
                             p[b].sum -= c[b].sum;
                             p[b].sum_sq -= c[b].sum_sq;
                             p[b].count -= c[b].count;
                           }
                         });
}

std::vector<std::uint16_t> observed_bins(std::span<const RegressionBin> bins) {
  std::vector<std::uint16_t> observed;
  for (std::size_t b = 0; b < bins.size(); ++b) {
    if (bins[b].count != 0) observed.push_back(static_cast<std::uint16_t>(b));
  }
  return observed;
}

}  // namespace arborvane::core
