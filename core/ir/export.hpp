#pragma once

#include "core/ir/document.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {
class Model;
}

namespace arborvane::core::ir {

// The whole document of a trained model of any kind. A pure function of the model: the same
// model always gives the same document.
// With a pool, the trees of an ensemble are converted in parallel; the document is the same.
ModelPackageIr model_to_ir(const Model& model, platform::ThreadPool* pool = nullptr);

}  // namespace arborvane::core::ir
