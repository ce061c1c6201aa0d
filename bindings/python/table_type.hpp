#pragma once

// The Python class `Table`: an immutable training table, shared with every copy of it and
// every training call that uses it.

#include <memory>

#include "bindings/python/py_ref.hpp"
#include "data/table.hpp"

namespace arborvane::python {

// Creates the `Table` type; called once by module initialization, which adds it to the module.
PyRef create_table_type();

bool is_table(PyObject* object);

// The table an `is_table` object holds.
std::shared_ptr<const data::Table> table_of(PyObject* object);

}  // namespace arborvane::python
