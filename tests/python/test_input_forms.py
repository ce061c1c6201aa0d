"""Every feature and target form the module reads gives the same table as plain lists."""

import re

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
import scipy.sparse as sp
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import arborvane

# Both matrices hold only small integers, so every dtype below represents them exactly; the
# binary one must come out sparse, which a misread value (a wrong stride, a wrong element type)
# would break.
BINARY = [[0, 1, 1], [1, 0, 1], [0, 0, 0], [1, 1, 0]]
NUMERIC = [[0, 2, 1], [1, 0, 3], [4, 0, 0], [1, 1, 0]]
TARGETS = [0.0, 1.0, 1.0, 2.0]


def shape(table):
    return (table.kind, table.n_rows, table.n_features, table.canaries)


def strided(rows, dtype=np.float64, filler=0.5):
    """The matrix as a non-contiguous view into a larger array full of another value."""
    base = np.full((2 * len(rows), 3 * len(rows[0])), filler, dtype=dtype)
    base[::2, ::3] = rows
    return base[::2, ::3]


class Columns:
    """Only a `to_pydict`, as a column store offers."""

    def __init__(self, rows):
        self.rows = rows

    def to_pydict(self):
        return {f"c{j}": [row[j] for row in self.rows] for j in range(len(self.rows[0]))}


class Records:
    """Only a `to_pylist` of rows."""

    def __init__(self, rows):
        self.rows = rows

    def to_pylist(self):
        return [list(row) for row in self.rows]


class ArrayLike:
    """Only `__array__`, returning a new array."""

    def __init__(self, rows):
        self.rows = rows

    def __array__(self, dtype=None, copy=None):
        return np.array(self.rows, dtype=np.float64)


def polars_frame(rows):
    return pl.DataFrame({f"c{j}": [float(row[j]) for row in rows] for j in range(len(rows[0]))})


FEATURE_FORMS = {
    "list-of-lists": lambda m: [list(map(float, r)) for r in m],
    "list-of-int-lists": lambda m: [list(r) for r in m],
    "tuple-of-tuples": lambda m: tuple(tuple(r) for r in m),
    "list-of-numpy-rows": lambda m: [np.array(r, dtype=np.float64) for r in m],
    "list-of-int32-rows": lambda m: [np.array(r, dtype=np.int32) for r in m],
    "generator": lambda m: (list(r) for r in m),
    "float64": lambda m: np.array(m, dtype=np.float64),
    "float64-fortran": lambda m: np.asfortranarray(np.array(m, dtype=np.float64)),
    "float64-transposed-view": lambda m: np.array(m, dtype=np.float64).T.copy().T,
    "float64-strided": strided,
    "float64-big-endian": lambda m: np.array(m, dtype=">f8"),
    "int64": lambda m: np.array(m, dtype=np.int64),
    "int64-fortran": lambda m: np.asfortranarray(np.array(m, dtype=np.int64)),
    "int32": lambda m: np.array(m, dtype=np.int32),
    "int32-strided": lambda m: strided(m, np.int32, 7),
    "float32": lambda m: np.array(m, dtype=np.float32),
    "uint8": lambda m: np.array(m, dtype=np.uint8),
    "object": lambda m: np.array(m, dtype=object),
    "array-like": ArrayLike,
    "pandas": lambda m: pd.DataFrame(np.array(m, dtype=np.float64)),
    "pandas-mixed-dtypes": lambda m: pd.DataFrame(
        {"c0": [float(r[0]) for r in m], "c1": [r[1] for r in m], "c2": [r[2] for r in m]}
    ),
    "polars": polars_frame,
    "polars-lazy": lambda m: polars_frame(m).lazy(),
    "pyarrow-table": lambda m: pa.table({f"c{j}": [float(r[j]) for r in m] for j in range(3)}),
    "to_pydict": Columns,
    "to_pylist": Records,
    "scipy-csr-array": lambda m: sp.csr_array(np.array(m, dtype=np.float64)),
}


@pytest.mark.parametrize("form", FEATURE_FORMS.values(), ids=FEATURE_FORMS.keys())
@pytest.mark.parametrize(
    "matrix, kind", [(BINARY, "sparse"), (NUMERIC, "dense")], ids=["binary", "numeric"]
)
def test_feature_forms_agree(form, matrix, kind):
    assert shape(arborvane.Table(form(matrix), TARGETS)) == (kind, 4, 3, 2)
    assert shape(arborvane.Table(form(matrix))) == (kind, 4, 3, 0)


@pytest.mark.parametrize(
    "x",
    [
        np.array(BINARY, dtype=bool),
        np.asfortranarray(np.array(BINARY, dtype=bool)),
        strided(BINARY, bool, True),
        [[bool(v) for v in row] for row in BINARY],
        [[np.bool_(v) for v in row] for row in BINARY],
        pd.DataFrame(np.array(BINARY, dtype=bool)),
        pl.DataFrame({f"c{j}": [bool(r[j]) for r in BINARY] for j in range(3)}),
    ],
    ids=["numpy", "numpy-fortran", "numpy-strided", "python", "numpy-scalars", "pandas", "polars"],
)
def test_booleans_read_as_zero_and_one(x):
    assert shape(arborvane.Table(x, TARGETS)) == ("sparse", 4, 3, 2)


TARGET_FORMS = {
    "list": lambda t: list(t),
    "tuple": lambda t: tuple(t),
    "generator": lambda t: (v for v in t),
    "list-of-bools": lambda t: [bool(v) for v in t],
    "float64": lambda t: np.array(t),
    "float64-column": lambda t: np.array(t).reshape(-1, 1),
    "float64-row": lambda t: np.array(t).reshape(1, -1),
    "float64-strided": lambda t: np.repeat(np.array(t), 3)[::3],
    "int64": lambda t: np.array(t, dtype=np.int64),
    "int64-column": lambda t: np.array(t, dtype=np.int64).reshape(-1, 1),
    "int32-row": lambda t: np.array(t, dtype=np.int32).reshape(1, -1),
    "bool": lambda t: np.array(t, dtype=bool),
    "bool-column": lambda t: np.array(t, dtype=bool).reshape(-1, 1),
    "float32": lambda t: np.array(t, dtype=np.float32),
    "uint8": lambda t: np.array(t, dtype=np.uint8),
    "pandas": lambda t: pd.Series(t),
    "pandas-int": lambda t: pd.Series(t, dtype="int64"),
    "polars": lambda t: pl.Series(t),
    "pyarrow-array": lambda t: pa.array(t),
    "pyarrow-chunked": lambda t: pa.chunked_array([t[:2], t[2:]]),
    "scipy-sparse-row": lambda t: sp.csr_matrix(np.array([t])),
}


@pytest.mark.parametrize("form", TARGET_FORMS.values(), ids=TARGET_FORMS.keys())
def test_target_forms_agree(form):
    assert shape(arborvane.Table(NUMERIC, form(TARGETS))) == ("dense", 4, 3, 2)


@pytest.mark.parametrize(
    "targets",
    [np.zeros((4, 2)), np.zeros((2, 2), dtype=np.int64), np.zeros((0, 3), dtype=bool)],
    ids=["float64-n-by-2", "int64-2-by-2", "bool-empty-rows"],
)
def test_two_dimensional_targets_need_a_single_row_or_column(targets):
    message = "Target arrays must be one-dimensional or have a single row/column."
    with pytest.raises(ValueError, match=re.escape(message) + "$"):
        arborvane.Table(NUMERIC, targets)


def test_target_count_is_checked_against_rows():
    message = "Mismatched lengths: X has 4 rows while y has 3 values."
    with pytest.raises(ValueError, match=re.escape(message) + "$"):
        arborvane.Table(NUMERIC, np.array([[1.0, 2.0, 3.0]]))


def test_unequal_columns_are_refused():
    class Unequal:
        def to_pydict(self):
            return {"a": [1.0, 2.0], "b": [1.0]}

    message = "Column-oriented input must contain equally sized columns."
    with pytest.raises(ValueError, match=re.escape(message) + "$"):
        arborvane.Table(Unequal())


def test_columns_must_come_as_a_dict():
    class NotADict:
        def to_pydict(self):
            return [("a", [1.0])]

    with pytest.raises(TypeError):
        arborvane.Table(NotADict())


def test_empty_columns_give_no_rows():
    class Empty:
        def __init__(self, columns):
            self.columns = columns

        def to_pydict(self):
            return self.columns

    assert shape(arborvane.Table(Empty({}))) == ("sparse", 0, 0, 0)
    assert shape(arborvane.Table(Empty({"a": [], "b": []}), [])) == ("sparse", 0, 0, 2)


PROBED = ["collect", "toarray", "todense", "__array__", "to_numpy", "to_pydict", "to_pylist"]


class ProbeFailed(Exception):
    pass


def failing_input(method):
    """An object whose `method` raises, with readable rows behind every other route."""

    def fail(self, *args, **kwargs):
        raise ProbeFailed(method)

    return type("Failing", (), {method: fail, "__iter__": lambda self: iter([[0.5], [1.5]])})()


@pytest.mark.parametrize("method", PROBED)
def test_a_raising_feature_probe_stops_reading(method):
    with pytest.raises(ProbeFailed, match=f"^{method}$"):
        arborvane.Table(failing_input(method))


@pytest.mark.parametrize(
    "method", ["to_pylist", "tolist", "toarray", "todense", "__array__", "to_numpy"]
)
def test_a_raising_target_probe_stops_reading(method):
    def fail(self, *args, **kwargs):
        raise ProbeFailed(method)

    targets = type("Failing", (), {method: fail, "__iter__": lambda self: iter([1.0, 2.0])})()
    with pytest.raises(ProbeFailed, match=f"^{method}$"):
        arborvane.Table([[0.5], [1.5]], targets)


def test_probes_returning_ever_new_objects_end_in_recursion_error():
    class Endless:
        def to_numpy(self):
            return Endless()

    with pytest.raises(RecursionError):
        arborvane.Table(Endless())
    with pytest.raises(RecursionError):
        arborvane.Table([[1.0]], Endless())


LAYOUTS = {
    "C": np.ascontiguousarray,
    "F": np.asfortranarray,
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "strided": lambda a: strided(a.tolist(), a.dtype, 0),
    "reversed": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
}


@pytest.mark.parametrize("dtype, odd", [(np.float64, 0.5), (np.int64, 2), (np.int32, -1)])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_every_cell_of_an_array_is_read(layout, dtype, odd):
    # One non-binary cell anywhere makes the table dense, so a layout read that skips or
    # repeats cells shows up as a sparse table.
    for i in range(4):
        for j in range(5):
            array = np.zeros((4, 5), dtype=dtype)
            array[i, j] = odd
            assert arborvane.Table(layout(array)).kind == "dense", (i, j)
    assert arborvane.Table(layout(np.ones((4, 5), dtype=dtype))).kind == "sparse"


@settings(max_examples=60, deadline=None)
@given(
    hnp.arrays(
        np.float64,
        hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=6),
        elements=st.sampled_from([0.0, 1.0, -0.0, 0.5, np.nan]),
    ),
    st.sampled_from(["C", "F", "transposed", "strided"]),
)
def test_array_layouts_read_the_same_values_as_lists(array, layout):
    if layout == "F":
        array = np.asfortranarray(array)
    elif layout == "transposed":
        array = np.ascontiguousarray(array.T).T
    elif layout == "strided" and array.size:
        array = strided(array.tolist())
    binary = all(v == 0.0 and not np.signbit(v) or v == 1.0 for v in array.ravel())
    n_rows = array.shape[0]
    n_features = array.shape[1] if n_rows else 0
    from_array = arborvane.Table(array, np.zeros(n_rows))
    from_lists = arborvane.Table(array.tolist(), [0.0] * n_rows)
    expected = ("sparse" if binary else "dense", n_rows, n_features, 2)
    assert shape(from_array) == shape(from_lists) == expected
