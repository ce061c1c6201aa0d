#include "bindings/python/model_type.hpp"

#include <memory>
#include <new>
#include <utility>

#include "bindings/python/adapters.hpp"
#include "bindings/python/arguments.hpp"
#include "bindings/python/errors.hpp"
#include "bindings/python/results.hpp"
#include "bindings/python/table_type.hpp"
#include "platform/overloaded.hpp"

namespace arborvane::python {

using platform::Overloaded;

namespace {

struct ModelObject {
  PyObject_HEAD
  std::shared_ptr<const core::Model> model;
  std::optional<std::vector<std::string>> labels;
};

PyTypeObject* model_type = nullptr;

ModelObject* as_model(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }
const core::Model& model_ref(PyObject* self) { return *as_model(self)->model; }

constexpr std::uint64_t kLazyFrameWindow = 10000;

// A Table given for prediction is evaluated on its own bins; one of another width cannot be.
std::optional<core::PredictError> table_mismatch(const core::Model& model, const data::Table& table) {
  if (table.n_features() == model.n_features()) return std::nullopt;
  return core::PredictError{core::PredictError::FeatureCountMismatch{model.n_features(),
                                                                     table.n_features()}};
}

// Runs without the interpreter lock: touches no Python object.
std::expected<std::vector<double>, core::PredictError> predict_values(const core::Model& model,
                                                                      InferenceInput& input) {
  using Result = std::expected<std::vector<double>, core::PredictError>;
  return std::visit(
      Overloaded{
          [&](const std::shared_ptr<const data::Table>& table) -> Result {
            if (auto error = table_mismatch(model, *table)) return std::unexpected(*error);
            return model.predict_table(*table);
          },
          [&](FeatureMatrix& matrix) -> Result {
            return std::visit(
                Overloaded{
                    [&](MatrixRows& rows) { return model.predict_rows(std::move(rows.rows)); },
                    [&](MatrixColumns& columns) {
                      return model.predict_matrix_columns(std::move(columns.columns),
                                                          columns.n_rows);
                    },
                },
                matrix.form);
          },
          [&](NamedColumns& columns) -> Result {
            return model.predict_named_columns(std::move(columns));
          },
          [&](SparseBinaryColumns& sparse) -> Result {
            return model.predict_sparse_binary_columns(sparse.n_rows, sparse.n_columns,
                                                       sparse.columns);
          },
      },
      input);
}

std::expected<core::ProbabilityRows, core::PredictError> predict_probabilities(
    const core::Model& model, InferenceInput& input) {
  using Result = std::expected<core::ProbabilityRows, core::PredictError>;
  return std::visit(
      Overloaded{
          [&](const std::shared_ptr<const data::Table>& table) -> Result {
            if (auto error = table_mismatch(model, *table)) return std::unexpected(*error);
            return model.predict_proba_table(*table);
          },
          [&](FeatureMatrix& matrix) -> Result {
            return std::visit(
                Overloaded{
                    [&](MatrixRows& rows) {
                      return model.predict_proba_rows(std::move(rows.rows));
                    },
                    [&](MatrixColumns& columns) {
                      return model.predict_proba_matrix_columns(std::move(columns.columns),
                                                                columns.n_rows);
                    },
                },
                matrix.form);
          },
          [&](NamedColumns& columns) -> Result {
            return model.predict_proba_named_columns(std::move(columns));
          },
          [&](SparseBinaryColumns& sparse) -> Result {
            return model.predict_proba_sparse_binary_columns(sparse.n_rows, sparse.n_columns,
                                                             sparse.columns);
          },
      },
      input);
}

// Converts one input (or window) and predicts it with the lock released.
template <class Predict>
auto predict_once(PyObject* x, const core::Model& model, Predict&& predict) {
  InferenceInput input = build_inference_input(x);
  auto result = without_gil([&] { return predict(model, input); });
  if (!result) raise_core_error(result.error());
  return std::move(*result);
}

// Runs `on_window` for every window of 10000 rows of a polars lazy frame, in order.
template <class OnWindow>
void for_each_lazy_window(PyObject* frame, OnWindow&& on_window) {
  std::uint64_t offset = 0;
  while (true) {
    PyRef sliced = checked(PyObject_CallMethod(frame, "slice", "KK",
                                               static_cast<unsigned long long>(offset),
                                               static_cast<unsigned long long>(kLazyFrameWindow)));
    PyRef window = call_method(sliced.get(), "collect");
    const std::uint64_t rows = row_count(window.get());
    if (rows == 0) return;
    on_window(window.get());
    if (rows < kLazyFrameWindow) return;
    offset += rows;
  }
}

PyObject* model_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"x", nullptr};
  PyObject* x = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:predict", const_cast<char**>(keywords), &x)) {
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&] {
    const core::Model& model = model_ref(self);
    std::vector<double> predictions;
    if (is_polars_lazyframe(x)) {
      for_each_lazy_window(x, [&](PyObject* window) {
        std::vector<double> part = predict_once(window, model, predict_values);
        predictions.insert(predictions.end(), part.begin(), part.end());
      });
    } else {
      predictions = predict_once(x, model, predict_values);
    }
    const auto& labels = as_model(self)->labels;
    if (labels) return label_array(predictions, *labels).release();
    return float_array(std::move(predictions)).release();
  });
}

PyObject* model_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"x", nullptr};
  PyObject* x = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:predict_proba", const_cast<char**>(keywords),
                                   &x)) {
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&] {
    const core::Model& model = model_ref(self);
    core::ProbabilityRows probabilities;
    if (is_polars_lazyframe(x)) {
      for_each_lazy_window(x, [&](PyObject* window) {
        core::ProbabilityRows part = predict_once(window, model, predict_probabilities);
        probabilities.n_classes = part.n_classes;
        probabilities.n_rows += part.n_rows;
        probabilities.values.insert(probabilities.values.end(), part.values.begin(),
                                    part.values.end());
      });
      if (probabilities.n_rows == 0) {
        // An empty frame still has the model's class columns.
        probabilities.n_classes = model.class_labels().value_or(std::vector<double>{}).size();
      }
    } else {
      probabilities = predict_once(x, model, predict_probabilities);
    }
    return float_matrix(std::move(probabilities.values), probabilities.n_rows,
                        probabilities.n_classes)
        .release();
  });
}

// The document text of a model; string labels cannot be written into it.
PyObject* document_text(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                        const char* refusal) {
  static const char* keywords[] = {"pretty", nullptr};
  PyObject* pretty_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                   &pretty_object)) {
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&] {
    const bool pretty = bool_argument(pretty_object, "pretty");
    if (as_model(self)->labels) raise(PyExc_ValueError, refusal);
    const core::Model& model = model_ref(self);
    const std::string json = pretty ? model.to_ir_json_pretty() : model.to_ir_json();
    return checked(PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size())))
        .release();
  });
}

PyObject* model_serialize(PyObject* self, PyObject* args, PyObject* kwargs) {
  return document_text(self, args, kwargs, "|O:serialize",
                       "Serialization is not supported for models trained with string class "
                       "labels.");
}

PyObject* model_to_ir_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return document_text(self, args, kwargs, "|O:to_ir_json",
                       "IR export is not supported for models trained with string class labels.");
}

PyObject* model_deserialize(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"serialized", nullptr};
  PyObject* serialized = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:deserialize", const_cast<char**>(keywords),
                                   &serialized)) {
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&] {
    if (!PyUnicode_Check(serialized)) argument_type_error("serialized", "str", serialized);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(serialized, &size);
    if (data == nullptr) throw PythonError{};
    std::expected<core::Model, core::ir::IrError> model =
        core::Model::deserialize(std::string_view(data, static_cast<std::size_t>(size)));
    if (!model) raise_core_error(model.error());
    return new_model_object(std::move(*model), std::nullopt).release();
  });
}

PyMethodDef model_methods[] = {
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_predict)),
     METH_VARARGS | METH_KEYWORDS,
     "predict($self, x)\n--\n\n"
     "Predicted values (regression) or class labels (classification), one per row of x.\n"
     "Models trained with string labels return a NumPy string array."},
    {"predict_proba",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_predict_proba)),
     METH_VARARGS | METH_KEYWORDS,
     "predict_proba($self, x)\n--\n\n"
     "Class probabilities: one row per row of x, one column per class in label order."},
    {"serialize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_serialize)),
     METH_VARARGS | METH_KEYWORDS,
     "serialize($self, pretty=False)\n--\n\n"
     "The model as JSON text (its IR document): compact, or indented by two spaces when\n"
     "pretty is True. Model.deserialize() reads it back."},
    {"to_ir_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_to_ir_json)),
     METH_VARARGS | METH_KEYWORDS,
     "to_ir_json($self, pretty=False)\n--\n\n"
     "The model's IR document as JSON text; the same text as serialize()."},
    {"deserialize",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_deserialize)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "deserialize($cls, serialized)\n--\n\n"
     "A new Model from the text of serialize() or to_ir_json(). Raises ValueError naming the\n"
     "first problem of a malformed document."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* text(std::string_view value) {
  return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* optional_count(std::optional<std::uint64_t> value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*value);
}

PyObject* optional_float(std::optional<double> value) {
  if (!value) Py_RETURN_NONE;
  return PyFloat_FromDouble(*value);
}

PyObject* flag(bool value) { return PyBool_FromLong(value ? 1 : 0); }

#define AV_MODEL_GETTER(name, expression)             \
  PyObject* get_##name(PyObject* self, void*) {       \
    const core::Model& model = model_ref(self);       \
    return expression;                                \
  }

AV_MODEL_GETTER(algorithm, text(model.training_metadata().algorithm))
AV_MODEL_GETTER(task, text(model.training_metadata().task))
AV_MODEL_GETTER(tree_type, text(model.training_metadata().tree_type))
AV_MODEL_GETTER(criterion, text(model.training_metadata().criterion))
AV_MODEL_GETTER(canaries, PyLong_FromUnsignedLongLong(model.canaries()))
AV_MODEL_GETTER(max_depth, optional_count(model.max_depth()))
AV_MODEL_GETTER(min_samples_split, optional_count(model.min_samples_split()))
AV_MODEL_GETTER(min_samples_leaf, optional_count(model.min_samples_leaf()))
AV_MODEL_GETTER(n_trees, optional_count(model.n_trees()))
AV_MODEL_GETTER(max_features, optional_count(model.max_features()))
AV_MODEL_GETTER(seed, optional_count(model.seed()))
AV_MODEL_GETTER(compute_oob, flag(model.compute_oob()))
AV_MODEL_GETTER(bootstrap, flag(model.bootstrap()))
AV_MODEL_GETTER(oob_score, optional_float(model.oob_score()))
AV_MODEL_GETTER(learning_rate, optional_float(model.learning_rate()))
AV_MODEL_GETTER(top_gradient_fraction, optional_float(model.top_gradient_fraction()))
AV_MODEL_GETTER(other_gradient_fraction, optional_float(model.other_gradient_fraction()))
AV_MODEL_GETTER(tree_count, PyLong_FromUnsignedLongLong(model.tree_count()))

#undef AV_MODEL_GETTER

#define AV_MODEL_PROPERTY(name, doc) {#name, get_##name, nullptr, doc, nullptr}

PyGetSetDef model_getset[] = {
    AV_MODEL_PROPERTY(algorithm, "\"dt\", \"rf\" or \"gbm\"."),
    AV_MODEL_PROPERTY(task, "\"classification\" or \"regression\"."),
    AV_MODEL_PROPERTY(tree_type, "\"id3\", \"c45\", \"cart\", \"randomized\" or \"oblivious\"."),
    AV_MODEL_PROPERTY(criterion, "The split criterion as resolved at training."),
    AV_MODEL_PROPERTY(canaries, "Canary copies per feature in the training table."),
    AV_MODEL_PROPERTY(max_depth, "Maximum tree depth, or None."),
    AV_MODEL_PROPERTY(min_samples_split, "Fewest rows a node needs to be split, or None."),
    AV_MODEL_PROPERTY(min_samples_leaf, "Fewest rows on each side of a split, or None."),
    AV_MODEL_PROPERTY(n_trees, "Number of trees of an ensemble, or None."),
    AV_MODEL_PROPERTY(max_features, "Features sampled per split, or None when all were used."),
    AV_MODEL_PROPERTY(seed, "The configured seed, or None."),
    AV_MODEL_PROPERTY(compute_oob, "Whether an out-of-bag score was computed."),
    AV_MODEL_PROPERTY(bootstrap, "Whether boosting drew bootstrap samples."),
    AV_MODEL_PROPERTY(oob_score, "The out-of-bag score, or None."),
    AV_MODEL_PROPERTY(learning_rate, "Boosting's learning rate, or None."),
    AV_MODEL_PROPERTY(top_gradient_fraction, "Boosting's kept fraction of large gradients, or None."),
    AV_MODEL_PROPERTY(other_gradient_fraction, "Boosting's sampled fraction of the rest, or None."),
    AV_MODEL_PROPERTY(tree_count, "Number of trees in the model."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef AV_MODEL_PROPERTY

PyObject* model_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances; use arborvane.train()",
               type->tp_name);
  return nullptr;
}

void model_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_model(self)->model.~shared_ptr();
  as_model(self)->labels.~optional();
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kModelDoc =
    "A trained decision tree, random forest or boosted ensemble.\n"
    "\n"
    "Made by arborvane.train(); immutable. predict() and predict_proba() accept the same inputs\n"
    "as training (arrays, lists of rows, data frames, dicts of columns, sparse matrices, Table).";

PyType_Slot model_slots[] = {
    {Py_tp_doc, const_cast<char*>(kModelDoc)},
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_methods, model_methods},
    {Py_tp_getset, model_getset},
    {0, nullptr},
};

unsigned int model_flags() {
  unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
  return flags;
}

PyType_Spec model_spec = {
    "arborvane.Model", sizeof(ModelObject), 0, model_flags(), model_slots,
};

}  // namespace

PyRef create_model_type() {
  PyRef type = checked(PyType_FromSpec(&model_spec));
  if (model_type == nullptr) {
    model_type = reinterpret_cast<PyTypeObject*>(PyRef(type).release());
  }
  return type;
}

PyRef new_model_object(core::Model model, std::optional<std::vector<std::string>> labels) {
  AV_CHECK(model_type != nullptr, "the Model type is created at import");
  auto shared = std::make_shared<const core::Model>(std::move(model));
  PyRef self = checked(model_type->tp_alloc(model_type, 0));
  ModelObject* object = as_model(self.get());
  new (&object->model) std::shared_ptr<const core::Model>(std::move(shared));
  new (&object->labels) std::optional<std::vector<std::string>>(std::move(labels));
  return self;
}

}  // namespace arborvane::python
