#include "core/forest/table_views.hpp"

#include "platform/check.hpp"

namespace arborvane::core {

SampledTable::SampledTable(const data::TableAccess& base, std::vector<std::uint64_t> rows)
    : base_(base), rows_(std::move(rows)) {
  const std::uint64_t base_rows = base_.n_rows();
  for (const std::uint64_t row : rows_) AV_CHECK(row < base_rows, "sampled row within the base");
  if (base_.binned_feature_count() == 0) return;
  const data::BinnedColumnView base_view = base_.binned_column_view(0);
  if (base_view.rows == nullptr) return;
  storage_rows_.reserve(rows_.size());
  for (const std::uint64_t row : rows_) storage_rows_.push_back(base_view.rows[row]);
}

std::uint64_t SampledTable::base_row(std::uint64_t row) const {
  AV_CHECK(row < rows_.size(), "row index within the sampled table");
  return rows_[row];
}

double SampledTable::feature_value(std::uint64_t feature, std::uint64_t row) const {
  return base_.feature_value(feature, base_row(row));
}

std::uint16_t SampledTable::binned_value(std::uint64_t binned_feature, std::uint64_t row) const {
  return base_.binned_value(binned_feature, base_row(row));
}

std::optional<bool> SampledTable::binned_boolean_value(std::uint64_t binned_feature,
                                                       std::uint64_t row) const {
  return base_.binned_boolean_value(binned_feature, base_row(row));
}

double SampledTable::target_value(std::uint64_t row) const {
  return base_.target_value(base_row(row));
}

data::BinnedColumnView SampledTable::binned_column_view(std::uint64_t binned_feature) const {
  data::BinnedColumnView view = base_.binned_column_view(binned_feature);
  view.rows = view.rows == nullptr ? rows_.data() : storage_rows_.data();
  view.n_rows = rows_.size();
  return view;
}

void NoCanaryTable::check_binned_feature(std::uint64_t binned_feature) const {
  AV_CHECK(binned_feature < binned_feature_count(), "binned feature index within the table");
}

std::uint16_t NoCanaryTable::binned_value(std::uint64_t binned_feature, std::uint64_t row) const {
  check_binned_feature(binned_feature);
  return base_.binned_value(binned_feature, row);
}

std::optional<bool> NoCanaryTable::binned_boolean_value(std::uint64_t binned_feature,
                                                        std::uint64_t row) const {
  check_binned_feature(binned_feature);
  return base_.binned_boolean_value(binned_feature, row);
}

data::BinnedColumnKind NoCanaryTable::binned_column_kind(std::uint64_t binned_feature) const {
  check_binned_feature(binned_feature);
  return base_.binned_column_kind(binned_feature);
}

bool NoCanaryTable::is_binary_binned_feature(std::uint64_t binned_feature) const {
  check_binned_feature(binned_feature);
  return base_.is_binary_binned_feature(binned_feature);
}

data::BinnedColumnView NoCanaryTable::binned_column_view(std::uint64_t binned_feature) const {
  check_binned_feature(binned_feature);
  return base_.binned_column_view(binned_feature);
}

}  // namespace arborvane::core
