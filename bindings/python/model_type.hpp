#pragma once

// The Python class `Model`: a trained core model with the string class labels it was trained
// with, if any. Instances come from train(); the class itself cannot be instantiated.

#include <optional>
#include <string>
#include <vector>

#include "bindings/python/py_ref.hpp"
#include "core/lib/model.hpp"

namespace arborvane::python {

PyRef create_model_type();

PyRef new_model_object(core::Model model, std::optional<std::vector<std::string>> labels);

}  // namespace arborvane::python
