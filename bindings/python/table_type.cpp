#include "bindings/python/table_type.hpp"

#include <new>
#include <utility>

#include "bindings/python/arguments.hpp"
#include "bindings/python/bins.hpp"
#include "bindings/python/errors.hpp"
#include "bindings/python/training_table.hpp"

namespace arborvane::python {

namespace {

struct TableObject {
  PyObject_HEAD
  std::shared_ptr<const data::Table> table;
};

// Owned by this file for the life of the process; the module holds its own reference.
PyTypeObject* table_type = nullptr;

TableObject* as_table(PyObject* self) { return reinterpret_cast<TableObject*>(self); }

const data::Table& table_ref(PyObject* self) { return *as_table(self)->table; }

PyObject* new_table_object(PyTypeObject* type, std::shared_ptr<const data::Table> table) {
  PyRef self = checked(type->tp_alloc(type, 0));
  new (&as_table(self.get())->table) std::shared_ptr<const data::Table>(std::move(table));
  return self.release();
}

std::shared_ptr<const data::Table> construct(PyObject* x, PyObject* y, PyObject* canaries_arg,
                                             PyObject* bins_arg) {
  const std::uint64_t canaries =
      canaries_arg == nullptr ? 2 : unsigned_argument(canaries_arg, "canaries");
  const data::NumericBins bins = parse_bins(bins_arg);
  if (y != nullptr && y != Py_None) {
    TrainingTable built = build_training_table(x, y, canaries, bins);
    if (built.labels) {
      raise(PyExc_ValueError,
            "Table does not support string targets; pass raw inputs to train(...) instead.");
    }
    return std::move(built.table);
  }
  // Without targets there is nothing for canaries to guard: the argument is not used.
  if (is_table(x)) {
    if (bins.kind == data::NumericBins::Kind::Fixed) {
      raise(PyExc_ValueError, "bins must be omitted when x is already a Table.");
    }
    return table_of(x);
  }
  return build_feature_table(x, bins);
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"x", "y", "canaries", "bins", nullptr};
  PyObject* x = nullptr;
  PyObject* y = nullptr;
  PyObject* canaries = nullptr;
  PyObject* bins = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:Table", const_cast<char**>(keywords), &x,
                                   &y, &canaries, &bins)) {
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&] {
    return new_table_object(type, construct(x, y, canaries, bins));
  });
}

void table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_table(self)->table.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* get_kind(PyObject* self, void*) {
  switch (table_ref(self).kind()) {
    case data::Table::Kind::Dense:
      return PyUnicode_FromString("dense");
    case data::Table::Kind::Sparse:
      return PyUnicode_FromString("sparse");
  }
  PyErr_SetString(PyExc_RuntimeError, "internal error: unknown table kind");
  return nullptr;
}

PyObject* get_n_rows(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(table_ref(self).n_rows());
}

PyObject* get_n_features(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(table_ref(self).n_features());
}

PyObject* get_canaries(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(table_ref(self).canaries());
}

PyGetSetDef table_getset[] = {
    {"kind", get_kind, nullptr, "Storage of the table: \"dense\" or \"sparse\".", nullptr},
    {"n_rows", get_n_rows, nullptr, "Number of rows.", nullptr},
    {"n_features", get_n_features, nullptr, "Number of real features (canary columns not counted).",
     nullptr},
    {"canaries", get_canaries, nullptr, "Number of canary copies made of every feature.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kTableDoc =
    "Table(x, y=None, canaries=2, bins=None)\n"
    "--\n"
    "\n"
    "An immutable training table: features binned once, targets and canary columns.\n"
    "\n"
    "Build it once and pass it as x to train() or to prediction methods to reuse the binning.\n"
    "x is any feature input train() accepts; without y every target is 0.0 and the table has\n"
    "no canary columns.";

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTableDoc)},
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_getset, table_getset},
    {0, nullptr},
};

unsigned int table_flags() {
  unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
  return flags;
}

PyType_Spec table_spec = {
    "arborvane.Table", sizeof(TableObject), 0, table_flags(), table_slots,
};

}  // namespace

PyRef create_table_type() {
  PyRef type = checked(PyType_FromSpec(&table_spec));
  if (table_type == nullptr) {
    table_type = reinterpret_cast<PyTypeObject*>(PyRef(type).release());
  }
  return type;
}

bool is_table(PyObject* object) {
  return table_type != nullptr && PyObject_TypeCheck(object, table_type);
}

std::shared_ptr<const data::Table> table_of(PyObject* object) { return as_table(object)->table; }

}  // namespace arborvane::python
