#pragma once

#include <vector>

#include "core/tree/classifier.hpp"

namespace arborvane::core {

// Restates a trained classifier over a larger class list that contains all of its own labels
// (both ascending in IEEE-754 total order): counts of the added classes are 0 and indices are
// renumbered. The tree is unchanged otherwise; it is the tree that training over the larger
// list would have grown, since absent classes add nothing to impurities and keep the order of
// the others.
void widen_class_labels(DecisionTreeClassifier& tree, const std::vector<double>& labels);

}  // namespace arborvane::core
