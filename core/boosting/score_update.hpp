#pragma once

// Adding a newly grown tree's weighted prediction to every training row's raw score, reading
// each row's bins from its packed record: one short record per row instead of one column per
// split, and rows spread over the pool in fixed blocks.

#include <span>

#include "core/tree/regressor.hpp"
#include "core/tree/second_order_bins.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {

// The bins of every row of a table to predict, one record per row, packed on the calling thread.
second_order::PackedBins pack_for_prediction(const data::TableAccess& table);

// raw[r] += weight * (the tree's prediction for row r), for every row r of the table `bins`
// was packed from. Equals adding `weight * predict_table(table)[r]` row by row.
void add_tree_scores(const DecisionTreeRegressor& tree, const second_order::PackedBins& bins,
                     double weight, std::span<double> raw, platform::ThreadPool* pool);

}  // namespace arborvane::core
