// The extension module `arborvane`: registers the public classes and `__all__`; nothing else
// runs at import.

#define ARBORVANE_IMPORTS_NUMPY
#include "bindings/python/numpy_api.hpp"

#include "bindings/python/errors.hpp"
#include "bindings/python/model_type.hpp"
#include "bindings/python/table_type.hpp"
#include "bindings/python/train_function.hpp"

namespace arborvane::python {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "arborvane",
    "",  // the module documents itself through its classes
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void add_attribute(PyObject* module, const char* name, PyRef value) {
  PyObject* raw = value.release();
  if (PyModule_AddObject(module, name, raw) < 0) {
    Py_DECREF(raw);  // only a successful add takes the reference
    throw PythonError{};
  }
}

PyObject* create_module() {
  if (_import_array() < 0) {
    throw PythonError{};
  }
  PyRef module = checked(PyModule_Create(&module_def));
  add_attribute(module.get(), "Model", create_model_type());
  add_attribute(module.get(), "Table", create_table_type());
  add_attribute(module.get(), "train",
                checked(PyCFunction_NewEx(&train_method, nullptr, module.get())));
  add_attribute(module.get(), "__all__", checked(Py_BuildValue("[sss]", "Model", "Table", "train")));
  return module.release();
}

}  // namespace

}  // namespace arborvane::python

PyMODINIT_FUNC PyInit_arborvane() {
  return arborvane::python::guarded<PyObject*>(nullptr, arborvane::python::create_module);
}
