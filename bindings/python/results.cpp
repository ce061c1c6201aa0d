#include "bindings/python/results.hpp"

#include <cmath>
#include <limits>
#include <memory>

#include "bindings/python/errors.hpp"
#include "bindings/python/numpy_api.hpp"

namespace arborvane::python {

namespace {

constexpr const char* kBufferCapsule = "arborvane.float_buffer";

void free_buffer(PyObject* capsule) {
  delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// An array over the vector's storage; a capsule owning the vector becomes the array's base,
// so the buffer lives exactly as long as the array.
PyRef wrap(std::vector<double> values, int ndim, npy_intp* dims) {
  auto owned = std::make_unique<std::vector<double>>(std::move(values));
  double* data = owned->data();
  PyRef capsule = checked(PyCapsule_New(owned.get(), kBufferCapsule, free_buffer));
  owned.release();  // the capsule frees it from now on
  PyRef array = checked(PyArray_SimpleNewFromData(ndim, dims, NPY_FLOAT64, data));
  checked_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                                       capsule.release()));
  return array;
}

std::uint64_t label_index(double prediction) {
  if (std::isnan(prediction) || prediction <= 0.0) return 0;
  if (prediction >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(prediction);
}

}  // namespace

PyRef float_array(std::vector<double> values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  return wrap(std::move(values), 1, dims);
}

PyRef float_matrix(std::vector<double> values, std::uint64_t n_rows, std::uint64_t n_columns) {
  npy_intp dims[2] = {static_cast<npy_intp>(n_rows), static_cast<npy_intp>(n_columns)};
  return wrap(std::move(values), 2, dims);
}

PyRef label_array(const std::vector<double>& predictions, const std::vector<std::string>& labels) {
  PyRef texts = checked(PyList_New(static_cast<Py_ssize_t>(predictions.size())));
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    const std::uint64_t index = label_index(predictions[i]);
    if (index >= labels.size()) {
      raise(PyExc_ValueError, "Prediction referenced an unknown string class label.");
    }
    const std::string& label = labels[index];
    PyObject* text = checked(PyUnicode_FromStringAndSize(label.data(),
                                                         static_cast<Py_ssize_t>(label.size())))
                         .release();
    PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), text);
  }
  PyRef numpy = checked(PyImport_ImportModule("numpy"));
  PyRef array_function = checked(PyObject_GetAttrString(numpy.get(), "array"));
  return checked(PyObject_CallOneArg(array_function.get(), texts.get()));
}

}  // namespace arborvane::python
