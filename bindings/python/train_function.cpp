#include "bindings/python/train_function.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "bindings/python/adapters.hpp"
#include "bindings/python/arguments.hpp"
#include "bindings/python/bins.hpp"
#include "bindings/python/errors.hpp"
#include "bindings/python/model_type.hpp"
#include "bindings/python/numpy_api.hpp"
#include "bindings/python/table_type.hpp"
#include "bindings/python/training_table.hpp"
#include "core/lib/train.hpp"
#include "platform/str_cat.hpp"

namespace arborvane::python {

namespace {

using platform::str_cat;

// The twenty arguments after conversion, in parameter order.
struct TrainArguments {
  PyObject* x = nullptr;
  PyObject* y = nullptr;  // null when absent or None
  std::string algorithm = "dt";
  std::string task = "auto";
  std::string tree_type = "cart";
  std::string criterion = "auto";
  std::uint64_t canaries = 2;
  PyObject* bins = nullptr;
  std::optional<std::uint64_t> physical_cores;
  std::optional<std::uint64_t> max_depth;
  std::optional<std::uint64_t> min_samples_split;
  std::optional<std::uint64_t> min_samples_leaf;
  std::optional<std::uint64_t> n_trees;
  PyObject* max_features = nullptr;
  std::optional<std::uint64_t> seed;
  bool compute_oob = false;
  std::optional<double> learning_rate;
  bool bootstrap = false;
  std::optional<double> top_gradient_fraction;
  std::optional<double> other_gradient_fraction;
};

bool is_absent(PyObject* value) { return value == nullptr || value == Py_None; }

std::optional<std::uint64_t> optional_unsigned(PyObject* value, const char* name) {
  if (is_absent(value)) return std::nullopt;
  return unsigned_argument(value, name);
}

std::optional<double> optional_number(PyObject* value, const char* name) {
  if (is_absent(value)) return std::nullopt;
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred() != nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      argument_type_error(name, "a real number", value);
    }
    throw PythonError{};
  }
  return number;
}

// --- task="auto" -----------------------------------------------------------------------------

using ItemTest = bool (*)(PyObject*);

// A non-empty list whose items all pass `item`.
bool is_list_of_items(PyObject* value, ItemTest item) {
  if (!PyList_Check(value) || PyList_GET_SIZE(value) == 0) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
    if (!item(PyList_GET_ITEM(value, i))) return false;
  }
  return true;
}

// A non-empty list of items, or (when `nested`) a non-empty list of such lists.
bool is_list_of(PyObject* value, ItemTest item, bool nested) {
  if (is_list_of_items(value, item)) return true;
  if (!nested || !PyList_Check(value) || PyList_GET_SIZE(value) == 0) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
    if (!is_list_of_items(PyList_GET_ITEM(value, i), item)) return false;
  }
  return true;
}

bool is_python_str(PyObject* value) { return PyUnicode_Check(value) != 0; }
bool is_python_int(PyObject* value) { return PyLong_Check(value) != 0; }

bool method_result_matches(PyObject* y, const char* method, ItemTest item, bool nested) {
  PyRef bound = optional_attr(y, method);
  if (!bound) return false;
  PyRef result = call(bound);
  return is_list_of(result.get(), item, nested);
}

bool is_integer_numpy_array(PyObject* y) {
  if (!PyArray_Check(y)) return false;
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(y);
  const int ndim = PyArray_NDIM(array);
  if (ndim != 1 && ndim != 2) return false;
  PyArray_Descr* dtype = PyArray_DESCR(array);
  for (const int type : {NPY_INT64, NPY_INT32, NPY_BOOL}) {
    PyRef wanted = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type)));
    if (PyArray_EquivTypes(dtype, reinterpret_cast<PyArray_Descr*>(wanted.get()))) return true;
  }
  return false;
}

bool table_targets_are_classes(const data::Table& table) {
  for (const double target : table.targets()) {
    if (!std::isfinite(target) || target != std::trunc(target)) return false;
  }
  return true;
}

core::Task decide_task(PyObject* x, PyObject* y) {
  if (y == nullptr) {
    if (!is_table(x)) raise(PyExc_ValueError, "task='auto' requires y unless x is already a Table.");
    return table_targets_are_classes(*table_of(x)) ? core::Task::Classification
                                                   : core::Task::Regression;
  }
  // A plain list or tuple of strings holds class labels, as a NumPy string array would.
  if (PyList_Check(y) || PyTuple_Check(y)) {
    PyRef items = checked(PySequence_List(y));
    if (is_list_of(items.get(), is_python_str, true)) return core::Task::Classification;
  }
  if (method_result_matches(y, "to_pylist", is_python_str, true)) return core::Task::Classification;
  if (method_result_matches(y, "tolist", is_python_str, true)) return core::Task::Classification;
  if (is_integer_numpy_array(y)) return core::Task::Classification;
  if (method_result_matches(y, "to_pylist", is_python_int, false)) return core::Task::Classification;
  if (method_result_matches(y, "tolist", is_python_int, true)) return core::Task::Classification;
  return core::Task::Regression;
}

// --- choices ---------------------------------------------------------------------------------

template <class Value, std::size_t N>
Value choose(const std::string& given, const std::pair<const char*, Value> (&choices)[N],
             const char* what, const char* listed) {
  for (const auto& [name, value] : choices) {
    if (given == name) return value;
  }
  raise(PyExc_ValueError,
        str_cat("Unsupported ", what, " '", given, "'. Expected one of: ", listed));
}

core::MaxFeatures parse_max_features(PyObject* value) {
  using Kind = core::MaxFeatures::Kind;
  if (is_absent(value)) return {Kind::Auto, 0};
  if (PyUnicode_Check(value)) {
    static const std::pair<const char*, Kind> kinds[] = {
        {"auto", Kind::Auto}, {"all", Kind::All}, {"sqrt", Kind::Sqrt}, {"third", Kind::Third}};
    const std::string text = string_argument(value, "max_features", "");
    for (const auto& [name, kind] : kinds) {
      if (text == name) return {kind, 0};
    }
    raise(PyExc_ValueError, str_cat("Unsupported max_features '", text,
                                    "'. Expected one of: auto, all, sqrt, third, or a positive "
                                    "integer"));
  }
  if (PyLong_Check(value)) {
    const unsigned long long count = PyLong_AsUnsignedLongLong(value);
    if (!(count == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)) {
      return {Kind::Count, count};
    }
    PyErr_Clear();
  }
  raise(PyExc_ValueError,
        "Unsupported max_features value. Expected one of: auto, all, sqrt, third, or a positive "
        "integer");
}

void require_at_least_one(const std::optional<std::uint64_t>& value, const char* name) {
  if (value && *value < 1) raise(PyExc_ValueError, str_cat(name, " must be at least 1."));
}

void require_positive_finite(const std::optional<double>& value, const char* name) {
  if (value && !(std::isfinite(*value) && *value > 0.0)) {
    raise(PyExc_ValueError, str_cat(name, " must be a finite value greater than 0."));
  }
}

void require_fraction(const std::optional<double>& value, const char* name) {
  if (value && !(std::isfinite(*value) && *value >= 0.0 && *value <= 1.0)) {
    raise(PyExc_ValueError, str_cat(name, " must be a finite value between 0 and 1."));
  }
}

PyObject* train_impl(TrainArguments& a) {
  // 1. Task.
  std::optional<core::Task> task;
  if (a.task == "regression") {
    task = core::Task::Regression;
  } else if (a.task == "classification") {
    task = core::Task::Classification;
  } else if (a.task == "auto") {
    task = decide_task(a.x, a.y);
  } else {
    raise(PyExc_ValueError, str_cat("Unsupported task '", a.task,
                                    "'. Expected one of: regression, classification, auto"));
  }
  // 2-3. Bins, then the training table and string labels.
  const data::NumericBins bins = parse_bins(a.bins);
  TrainingTable training = build_training_table(a.x, a.y, a.canaries, bins);

  // 4-6. Algorithm, tree type, criterion.
  core::TrainConfig config;
  static const std::pair<const char*, core::TrainAlgorithm> algorithms[] = {
      {"dt", core::TrainAlgorithm::Dt}, {"rf", core::TrainAlgorithm::Rf},
      {"gbm", core::TrainAlgorithm::Gbm}};
  config.algorithm = choose(a.algorithm, algorithms, "algorithm", "dt, rf, gbm");
  static const std::pair<const char*, core::TreeType> tree_types[] = {
      {"id3", core::TreeType::Id3}, {"c45", core::TreeType::C45}, {"cart", core::TreeType::Cart},
      {"randomized", core::TreeType::Randomized}, {"oblivious", core::TreeType::Oblivious}};
  config.tree_type =
      choose(a.tree_type, tree_types, "tree_type", "id3, c45, cart, randomized, oblivious");
  static const std::pair<const char*, core::Criterion> criteria[] = {
      {"auto", core::Criterion::Auto}, {"gini", core::Criterion::Gini},
      {"entropy", core::Criterion::Entropy}, {"mean", core::Criterion::Mean},
      {"median", core::Criterion::Median}};
  config.criterion =
      choose(a.criterion, criteria, "criterion", "auto, gini, entropy, mean, median");

  // 7-10. Limits, feature sampling, boosting rates.
  require_at_least_one(a.max_depth, "max_depth");
  require_at_least_one(a.min_samples_split, "min_samples_split");
  require_at_least_one(a.min_samples_leaf, "min_samples_leaf");
  config.max_features = parse_max_features(a.max_features);
  require_positive_finite(a.learning_rate, "learning_rate");
  require_fraction(a.top_gradient_fraction, "top_gradient_fraction");
  require_fraction(a.other_gradient_fraction, "other_gradient_fraction");

  // 11. The configuration.
  config.task = *task;
  config.physical_cores = a.physical_cores;
  config.max_depth = a.max_depth;
  config.min_samples_split = a.min_samples_split;
  config.min_samples_leaf = a.min_samples_leaf;
  config.n_trees = a.n_trees;
  config.seed = a.seed;
  config.compute_oob = a.compute_oob;
  config.learning_rate = a.learning_rate;
  config.bootstrap = a.bootstrap;
  config.top_gradient_fraction = a.top_gradient_fraction;
  config.other_gradient_fraction = a.other_gradient_fraction;

  // 12. Train without the interpreter lock.
  const std::shared_ptr<const data::Table> table = training.table;
  auto model = without_gil([&] { return core::train(*table, config); });
  if (!model) raise_core_error(model.error());

  // 13. The Python model, with the string labels.
  return new_model_object(std::move(*model), std::move(training.labels)).release();
}

PyObject* train_function(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {
      "x", "y", "algorithm", "task", "tree_type", "criterion", "canaries", "bins",
      "physical_cores", "max_depth", "min_samples_split", "min_samples_leaf", "n_trees",
      "max_features", "seed", "compute_oob", "learning_rate", "bootstrap",
      "top_gradient_fraction", "other_gradient_fraction", nullptr};
  PyObject* values[20] = {};
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "O|OOOOOOOOOOOOOOOOOOO:train", const_cast<char**>(keywords), &values[0],
          &values[1], &values[2], &values[3], &values[4], &values[5], &values[6], &values[7],
          &values[8], &values[9], &values[10], &values[11], &values[12], &values[13], &values[14],
          &values[15], &values[16], &values[17], &values[18], &values[19])) {
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&] {
    // Conversion runs in parameter order, before anything else.
    TrainArguments a;
    a.x = values[0];
    a.y = is_absent(values[1]) ? nullptr : values[1];
    a.algorithm = string_argument(values[2], "algorithm", "dt");
    a.task = string_argument(values[3], "task", "auto");
    a.tree_type = string_argument(values[4], "tree_type", "cart");
    a.criterion = string_argument(values[5], "criterion", "auto");
    a.canaries = values[6] == nullptr ? 2 : unsigned_argument(values[6], "canaries");
    a.bins = values[7];
    a.physical_cores = optional_unsigned(values[8], "physical_cores");
    a.max_depth = optional_unsigned(values[9], "max_depth");
    a.min_samples_split = optional_unsigned(values[10], "min_samples_split");
    a.min_samples_leaf = optional_unsigned(values[11], "min_samples_leaf");
    a.n_trees = optional_unsigned(values[12], "n_trees");
    a.max_features = values[13];
    a.seed = optional_unsigned(values[14], "seed");
    a.compute_oob = bool_argument(values[15], "compute_oob");
    a.learning_rate = optional_number(values[16], "learning_rate");
    a.bootstrap = bool_argument(values[17], "bootstrap");
    a.top_gradient_fraction = optional_number(values[18], "top_gradient_fraction");
    a.other_gradient_fraction = optional_number(values[19], "other_gradient_fraction");
    return train_impl(a);
  });
}

}  // namespace

PyMethodDef train_method = {
    "train", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train_function)),
    METH_VARARGS | METH_KEYWORDS,
    "train(x, y=None, algorithm=\"dt\", task=\"auto\", tree_type=\"cart\", criterion=\"auto\", "
    "canaries=2, bins=None, physical_cores=None, max_depth=None, min_samples_split=None, "
    "min_samples_leaf=None, n_trees=None, max_features=None, seed=None, compute_oob=False, "
    "learning_rate=None, bootstrap=False, top_gradient_fraction=None, "
    "other_gradient_fraction=None)\n--\n\n"
    "Trains a decision tree (\"dt\"), random forest (\"rf\") or boosted ensemble (\"gbm\") on\n"
    "features x and targets y and returns a Model. x may be a Table, in which case y is omitted."};

}  // namespace arborvane::python
