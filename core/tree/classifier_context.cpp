#include "core/tree/classifier_context.hpp"

#include <algorithm>
#include <limits>

#include "core/tree/learner.hpp"
#include "platform/total_order.hpp"

namespace arborvane::core::classification {

namespace {

using platform::total_order_key;

// Unsigned key whose natural order is the IEEE-754 total order of doubles.
// Past this many distinct targets the vocabulary is built by sorting every key instead of by
// insertion into a small sorted list.
constexpr std::size_t kSmallVocabulary = 64;

std::vector<std::uint64_t> distinct_sorted_keys(std::span<const double> targets) {
  std::vector<std::uint64_t> keys;
  std::uint64_t last = 0;
  bool have_last = false;
  for (const double target : targets) {
    const std::uint64_t key = total_order_key(target);
    if (have_last && key == last) continue;
    const auto at = std::lower_bound(keys.begin(), keys.end(), key);
    if (at == keys.end() || *at != key) {
      if (keys.size() == kSmallVocabulary) {
        keys.clear();
        keys.reserve(targets.size());
        for (const double t : targets) keys.push_back(total_order_key(t));
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        return keys;
      }
      keys.insert(at, key);
    }
    last = key;
    have_last = true;
  }
  return keys;
}

}  // namespace

ClassVocabulary build_class_vocabulary(std::span<const double> targets) {
  const std::vector<std::uint64_t> keys = distinct_sorted_keys(targets);
  AV_CHECK(keys.size() <= std::numeric_limits<ClassIndex>::max(), "class count fits 32 bits");
  ClassVocabulary vocabulary;
  vocabulary.labels.reserve(keys.size());
  // Labels are recovered from their keys, so -0.0 and +0.0 stay distinct.
  for (const std::uint64_t key : keys) {
    const std::uint64_t bits = (key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key;
    vocabulary.labels.push_back(std::bit_cast<double>(bits));
  }
  vocabulary.classes.resize(targets.size());
  std::uint64_t last_key = 0;
  ClassIndex last_class = 0;
  bool have_last = false;
  for (std::size_t row = 0; row < targets.size(); ++row) {
    const std::uint64_t key = total_order_key(targets[row]);
    if (!have_last || key != last_key) {
      const auto at = std::lower_bound(keys.begin(), keys.end(), key);
      AV_CHECK(at != keys.end() && *at == key,
               "target value must exist in class label vocabulary");
      last_class = static_cast<ClassIndex>(at - keys.begin());
      last_key = key;
      have_last = true;
    }
    vocabulary.classes[row] = last_class;
  }
  return vocabulary;
}

std::vector<std::uint64_t> class_counts(std::span<const RowIndex> rows,
                                        std::span<const ClassIndex> class_of_row,
                                        std::size_t class_count) {
  std::vector<std::uint64_t> counts(class_count, 0);
  for (const RowIndex row : rows) ++counts[class_of_row[row]];
  return counts;
}

std::uint64_t majority_class(std::span<const std::uint64_t> counts) {
  std::uint64_t best = 0;
  for (std::size_t k = 1; k < counts.size(); ++k) {
    if (counts[k] > counts[best]) best = k;
  }
  return best;
}

TreeContext TreeContext::create(const data::TableAccess& table,
                                std::vector<ClassIndex> class_of_row, std::size_t class_count,
                                TreeType tree_type, Criterion criterion,
                                const DecisionTreeOptions& options, platform::ThreadPool* pool) {
  TreeContext context;
  context.table = &table;
  const std::uint64_t features = table.binned_feature_count();
  context.columns.reserve(features);
  context.binary.resize(features);
  context.canary.resize(features);
  for (std::uint64_t f = 0; f < features; ++f) {
    context.columns.push_back(table.binned_column_view(f));
    context.binary[f] = table.is_binary_binned_feature(f) ? 1 : 0;
    context.canary[f] = table.is_canary_binned_feature(f) ? 1 : 0;
    // Builders read a binary feature's booleans as bins 0 and 1 through its resolved column;
    // the table must agree that the feature has booleans at all.
    if (context.binary[f] != 0 && table.n_rows() > 0) {
      AV_CHECK(table.binned_boolean_value(f, 0).has_value(),
               "binary feature must expose boolean values");
    }
  }
  context.class_of_row = std::move(class_of_row);
  context.class_count = class_count;
  context.bins_per_feature = histogram_bins_per_feature(table);
  context.tree_type = tree_type;
  context.criterion = criterion;
  context.options = options;
  context.pool = pool;
  return context;
}

bool TreeContext::stops_before_scoring(std::uint64_t n, std::uint64_t depth,
                                       std::span<const std::uint64_t> counts) const {
  if (n == 0 || depth >= options.max_depth || n < options.min_samples_split) return true;
  // With n > 0 the rows share the first row's class exactly when one class holds all of them.
  return std::find(counts.begin(), counts.end(), n) != counts.end();
}

std::vector<std::uint64_t> TreeContext::node_candidates(std::uint64_t depth,
                                                        std::span<const RowIndex> rows) const {
  const std::uint64_t seed =
      options.max_features ? node_seed(depth, options.seed, seed_salt::kClassificationNode, rows)
                           : 0;
  return candidate_features(feature_count(), options.max_features, seed);
}

platform::ThreadPool* TreeContext::pool_for(std::size_t work) const {
  return work >= min_parallel_work ? pool : nullptr;
}

void TreeContext::gather_classes(std::span<const RowIndex> rows,
                                 std::span<ClassIndex> classes) const {
  for (std::size_t i = 0; i < rows.size(); ++i) classes[i] = class_of_row[rows[i]];
}

AscendingRows::AscendingRows(std::span<const RowIndex> rows,
                             std::span<const ClassIndex> class_of_row)
    : rows_(rows.begin(), rows.end()),
      classes_(rows.size()),
      goes_left_(rows.size(), 0),
      spill_rows_(rows.size()),
      spill_classes_(rows.size()) {
  for (std::size_t i = 0; i < rows.size(); ++i) classes_[i] = class_of_row[rows[i]];
}

void AscendingRows::follow_partition(const data::BinnedColumnView& column,
                                     std::uint16_t threshold_bin, std::size_t begin,
                                     std::size_t n, std::size_t n_left) {
  std::uint8_t* goes_left = goes_left_.data() + begin;
  for_each_bin(column, rows(begin, n), [goes_left, threshold_bin](std::size_t i,
                                                                  std::uint16_t bin) {
    goes_left[i] = bin <= threshold_bin ? 1 : 0;
  });
  // A stable partition: left rows compact in place, right rows spill and are copied back.
  std::size_t left = begin;
  std::size_t right = 0;
  for (std::size_t i = begin; i < begin + n; ++i) {
    const RowIndex row = rows_[i];
    const ClassIndex cls = classes_[i];
    if (goes_left_[i] != 0) {
      rows_[left] = row;
      classes_[left] = cls;
      ++left;
    } else {
      spill_rows_[right] = row;
      spill_classes_[right] = cls;
      ++right;
    }
  }
  AV_CHECK(left - begin == n_left, "mirrored partition keeps the left row count");
  std::copy(spill_rows_.begin(), spill_rows_.begin() + static_cast<std::ptrdiff_t>(right),
            rows_.begin() + static_cast<std::ptrdiff_t>(left));
  std::copy(spill_classes_.begin(), spill_classes_.begin() + static_cast<std::ptrdiff_t>(right),
            classes_.begin() + static_cast<std::ptrdiff_t>(left));
}

}  // namespace arborvane::core::classification
