#pragma once

// The module function `train`.

#include "bindings/python/py_ref.hpp"

namespace arborvane::python {

extern PyMethodDef train_method;

}  // namespace arborvane::python
