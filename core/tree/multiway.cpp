#include "core/tree/multiway.hpp"

#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "core/tree/learner.hpp"

namespace arborvane::core::classification {

namespace {
// A binary feature always has the two groups false and true, even when one is empty.
constexpr std::array<std::uint16_t, 2> kBinaryBranches{0, 1};
}  // namespace

std::optional<MultiwaySplitChoice> score_multiway_split_choice(
    const TreeContext& context, const NodeHistograms& histograms, std::uint64_t feature,
    std::uint64_t n, double impurity, bool is_c45) {
  const std::span<const std::uint16_t> groups =
      context.binary[feature] != 0 ? std::span<const std::uint16_t>(kBinaryBranches)
                                   : histograms.observed_bins(feature);
  if (groups.size() < 2) return std::nullopt;
  for (const std::uint16_t bin : groups) {
    if (histograms.bin_total(feature, bin) < context.options.min_samples_leaf) {
      return std::nullopt;
    }
  }
  const double total = static_cast<double>(n);
  double weighted = 0.0;
  double split_information = 0.0;
  for (const std::uint16_t bin : groups) {
    const BinCount* counts = histograms.bin_counts(feature, bin);
    const std::uint64_t n_bin = histograms.bin_total(feature, bin);
    const double weight = static_cast<double>(n_bin) / total;
    const auto count_at = [counts](std::size_t k) -> std::uint64_t { return counts[k]; };
    weighted += weight * impurity_of(context.class_count, n_bin, context.criterion, count_at);
    // An empty group (min_samples_leaf 0 only) adds nothing: w log w tends to 0.
    if (n_bin != 0) split_information += weight * std::log2(weight);
  }
  const double information_gain = impurity - weighted;
  if (!is_c45) return MultiwaySplitChoice{groups, feature, information_gain};
  split_information = -split_information;
  if (split_information == 0.0) return std::nullopt;
  return MultiwaySplitChoice{groups, feature, information_gain / split_information};
}

namespace {

struct Frame {
  Frame(std::size_t first, std::size_t last, std::uint64_t node_depth)
      : begin(first), end(last), depth(node_depth) {}

  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint64_t depth = 0;
  // Set when the node splits.
  bool expanded = false;
  std::vector<std::uint64_t> counts;
  std::uint64_t class_index = 0;
  std::uint64_t feature_index = 0;
  double impurity = 0.0;
  double gain = 0.0;
  std::vector<std::uint16_t> branch_bins;
  std::vector<std::size_t> branch_starts;  // branch i covers [starts[i], starts[i + 1])
  std::vector<classifier_node::MultiwayBranch> branches;  // filled as children finish
};

// Growth with an explicit stack, so a deep tree cannot exhaust the thread's stack.
class MultiwayTreeBuilder {
 public:
  MultiwayTreeBuilder(const TreeContext& context, std::span<RowIndex> rows)
      : context_(context),
        rows_(rows),
        classes_(rows.size()),
        branch_of_(rows.size()),
        scattered_(rows.size()),
        branch_lookup_(context.bins_per_feature, kNoBranch),
        histograms_(context.feature_count(), context.bins_per_feature, context.class_count) {}

  StandardClassificationTree build() {
    stack_.push_back(Frame{0, rows_.size(), 0});
    std::optional<std::uint64_t> finished;
    while (true) {
      if (finished) {
        if (stack_.empty()) break;
        Frame& parent = stack_.back();
        parent.branches.push_back({parent.branch_bins[parent.branches.size()], *finished});
        finished.reset();
      }
      Frame& top = stack_.back();
      if (!top.expanded) {
        finished = expand_top();
      } else if (top.branches.size() < top.branch_bins.size()) {
        const std::size_t branch = top.branches.size();
        stack_.push_back(Frame{top.branch_starts[branch], top.branch_starts[branch + 1],
                               top.depth + 1});
      } else {
        finished = append_split();
      }
    }
    StandardClassificationTree tree;
    tree.root = nodes_.size() - 1;
    tree.nodes = std::move(nodes_);
    return tree;
  }

 private:
  static constexpr std::int32_t kNoBranch = -1;

  std::optional<std::uint64_t> expand_top() {
    Frame& frame = stack_.back();
    const std::uint64_t n = frame.end - frame.begin;
    const std::span<RowIndex> rows = rows_.subspan(frame.begin, n);
    frame.counts = class_counts(rows, context_.class_of_row, context_.class_count);
    frame.class_index = majority_class(frame.counts);
    if (context_.stops_before_scoring(n, frame.depth, frame.counts)) return append_leaf();
    AV_CHECK(context_.tree_type == TreeType::Id3 || context_.tree_type == TreeType::C45,
             "multiway builder only supports id3/c45");
    const bool is_c45 = context_.tree_type == TreeType::C45;
    const double impurity = impurity_of(context_.class_count, n, context_.criterion,
                                        [&](std::size_t k) { return frame.counts[k]; });
    const std::vector<std::uint64_t> candidates = context_.node_candidates(frame.depth, rows);
    const std::span<ClassIndex> classes = std::span<ClassIndex>(classes_).subspan(frame.begin, n);
    context_.gather_classes(rows, classes);
    // With every feature a candidate, all are counted together (a pass over the rows serves
    // several features); a sample counts only its own. Either way a task owns its features'
    // histogram slots.
    const std::size_t features = context_.feature_count();
    const bool every_feature = candidates.size() == features;
    if (every_feature) {
      build_classification_node_histograms(
          context_.columns, rows, classes, histograms_,
          context_.pool_for(n * features * TreeContext::kCountCost));
    }
    const std::size_t scoring_work =
        candidates.size() *
        ((every_feature ? 0 : n * TreeContext::kCountCost) +
         context_.bins_per_feature * context_.class_count * TreeContext::kScoreCost);
    const auto best = platform::parallel_max<MultiwaySplitChoice>(
        context_.pool_for(scoring_work), candidates.size(),
        [&](std::size_t i) {
          const std::uint64_t f = candidates[i];
          if (!every_feature) histograms_.count_feature(f, context_.columns[f], rows, classes);
          return score_multiway_split_choice(context_, histograms_, f, n, impurity, is_c45);
        },
        [](const MultiwaySplitChoice& a, const MultiwaySplitChoice& b) {
          return total_order_greater(a.gain, b.gain);
        });
    if (!best || context_.canary[best->second.feature_index] != 0 ||
        !(best->second.gain > 0.0)) {
      return append_leaf();
    }
    frame.expanded = true;
    frame.feature_index = best->second.feature_index;
    frame.gain = best->second.gain;
    frame.impurity = impurity;
    frame.branch_bins.assign(best->second.branch_bins.begin(), best->second.branch_bins.end());
    distribute(frame);
    return std::nullopt;
  }

  // Moves the node's rows into one contiguous run per branch, in branch order, keeping their
  // relative order inside each run (a counting pass and a stable scatter).
  void distribute(Frame& frame) {
    const std::size_t n = frame.end - frame.begin;
    const std::span<RowIndex> rows = rows_.subspan(frame.begin, n);
    const std::size_t branch_count = frame.branch_bins.size();
    for (std::size_t b = 0; b < branch_count; ++b) {
      branch_lookup_[frame.branch_bins[b]] = static_cast<std::int32_t>(b);
    }
    std::vector<std::size_t> sizes(branch_count, 0);
    std::uint32_t* branch_of = branch_of_.data() + frame.begin;
    const std::size_t lookup_size = branch_lookup_.size();
    for_each_bin(context_.columns[frame.feature_index], rows, [&](std::size_t i,
                                                                  std::uint16_t bin) {
      const std::int32_t branch = bin < lookup_size ? branch_lookup_[bin] : kNoBranch;
      AV_CHECK(branch != kNoBranch, "branch bins must cover all observed bins");
      branch_of[i] = static_cast<std::uint32_t>(branch);
      ++sizes[static_cast<std::size_t>(branch)];
    });
    for (const std::uint16_t bin : frame.branch_bins) branch_lookup_[bin] = kNoBranch;
    frame.branch_starts.assign(branch_count + 1, frame.begin);
    for (std::size_t b = 0; b < branch_count; ++b) {
      frame.branch_starts[b + 1] = frame.branch_starts[b] + sizes[b];
    }
    std::vector<std::size_t> next(frame.branch_starts.begin(), frame.branch_starts.end() - 1);
    for (std::size_t i = 0; i < n; ++i) scattered_[next[branch_of[i]]++] = rows[i];
    std::copy(scattered_.begin() + static_cast<std::ptrdiff_t>(frame.begin),
              scattered_.begin() + static_cast<std::ptrdiff_t>(frame.end), rows.begin());
  }

  std::uint64_t append_leaf() {
    Frame& frame = stack_.back();
    nodes_.push_back(classifier_node::Leaf{std::move(frame.counts), frame.class_index,
                                           frame.end - frame.begin});
    stack_.pop_back();
    return nodes_.size() - 1;
  }

  std::uint64_t append_split() {
    Frame& frame = stack_.back();
    nodes_.push_back(classifier_node::MultiwaySplit{
        std::move(frame.branches), std::move(frame.counts), frame.feature_index,
        frame.class_index, frame.end - frame.begin, frame.impurity, frame.gain});
    stack_.pop_back();
    return nodes_.size() - 1;
  }

  const TreeContext& context_;
  std::span<RowIndex> rows_;
  std::vector<ClassIndex> classes_;      // class of the row at each buffer position
  std::vector<std::uint32_t> branch_of_;  // branch of the row at each buffer position
  std::vector<RowIndex> scattered_;
  std::vector<std::int32_t> branch_lookup_;  // bin -> branch of the node being distributed
  NodeHistograms histograms_;                // one slot per feature, recounted per node
  std::vector<Frame> stack_;
  std::vector<TreeNode> nodes_;
};

}  // namespace

StandardClassificationTree build_multiway_tree(const TreeContext& context,
                                               std::span<RowIndex> rows) {
  return MultiwayTreeBuilder(context, rows).build();
}

}  // namespace arborvane::core::classification
