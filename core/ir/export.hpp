#pragma once

#include "core/ir/document.hpp"

namespace arborvane::core {
class Model;
}

namespace arborvane::core::ir {

// The whole document of a trained model of any kind. A pure function of the model: the same
// model always gives the same document.
ModelPackageIr model_to_ir(const Model& model);

}  // namespace arborvane::core::ir
