import re

import numpy as np
import pytest
import scipy.sparse as sp

import arborvane

BINARY = np.array([[0, 1, 1], [1, 0, 1], [0, 0, 0], [1, 1, 0]], dtype=np.float64)
STORED_VALUES = "SparseTable requires binary sparse inputs with stored values equal to 1."


def csr_with_int64_indices(array):
    rows, cols = np.nonzero(array)
    indptr = np.r_[0, np.cumsum(np.bincount(rows, minlength=array.shape[0]))]
    return sp.csr_matrix(
        (np.ones(len(cols)), cols.astype(np.int64), indptr.astype(np.int64)), shape=array.shape
    )


def shape(table):
    return (table.kind, table.n_rows, table.n_features, table.canaries)


def whole(message):
    return re.escape(message) + "$"


FORMATS = {
    "csr": sp.csr_matrix,
    "csc": sp.csc_matrix,
    "coo": sp.coo_matrix,
    "csr-int64-indices": csr_with_int64_indices,
}


@pytest.mark.parametrize("make", FORMATS.values(), ids=FORMATS.keys())
def test_binary_sparse_matrices_give_sparse_tables(make):
    matrix = make(BINARY)
    assert shape(arborvane.Table(matrix, [0.0, 1.0, 2.0, 3.0])) == ("sparse", 4, 3, 2)
    assert shape(arborvane.Table(matrix)) == ("sparse", 4, 3, 0)


def test_unsorted_repeated_entries_are_accepted():
    rows = np.array([3, 0, 3, 1])
    cols = np.array([2, 0, 2, 2])
    matrix = sp.coo_matrix((np.ones(4), (rows, cols)), shape=(5, 3))
    assert shape(arborvane.Table(matrix, np.arange(5.0))) == ("sparse", 5, 3, 2)


def test_empty_sparse_matrices():
    assert shape(arborvane.Table(sp.csr_matrix((0, 0)))) == ("sparse", 0, 0, 0)
    assert shape(arborvane.Table(sp.csr_matrix((3, 0)), [1.0, 2.0, 3.0])) == ("sparse", 3, 0, 2)
    assert shape(arborvane.Table(sp.csr_matrix((3, 2)))) == ("sparse", 3, 2, 0)


@pytest.mark.parametrize("stored", [2.0, 0.0, -1.0, 0.5, np.nan])
@pytest.mark.parametrize(
    "make", [sp.csr_matrix, sp.csc_matrix, sp.coo_matrix], ids=["csr", "csc", "coo"]
)
def test_stored_values_other_than_one_are_refused(make, stored):
    matrix = make((np.array([1.0, stored]), (np.array([0, 1]), np.array([0, 1]))), shape=(2, 2))
    for args in ((matrix,), (matrix, [0.0, 1.0])):
        with pytest.raises(ValueError, match=whole(STORED_VALUES)):
            arborvane.Table(*args)


def test_target_count_is_checked_against_sparse_rows():
    message = "Mismatched lengths: X has 4 rows while y has 2 values."
    with pytest.raises(ValueError, match=whole(message)):
        arborvane.Table(sp.csr_matrix(BINARY), [1.0, 2.0])


class FakeSparse:
    """The attributes a sparse matrix is read through, each settable."""

    def __init__(self, shape=(2, 2), data=(1.0,), rows=(0,), cols=(1,)):
        self.shape = shape
        self.data = data
        self.rows = rows
        self.cols = cols

    def getnnz(self):
        return len(self.data)

    def nonzero(self):
        return (self.rows, self.cols)


INCONSISTENT = "Sparse input metadata is inconsistent."
OUT_OF_BOUNDS = "Sparse input indices are out of bounds."
NEGATIVE = "Sparse indices must be non-negative."


@pytest.mark.parametrize(
    "fake, error, message",
    [
        (FakeSparse(shape=(2, 2, 2)), ValueError, "Sparse inputs must be two-dimensional."),
        (FakeSparse(shape=(2,)), ValueError, "Sparse inputs must be two-dimensional."),
        (FakeSparse(shape="ab"), TypeError, None),
        (FakeSparse(shape=5), TypeError, None),
        (FakeSparse(shape=(2, -1)), OverflowError, None),
        (FakeSparse(shape=(2, 2**70)), OverflowError, None),
        (FakeSparse(data=(1.0, 2.0)), ValueError, STORED_VALUES),
        (FakeSparse(data=(True,)), None, None),
        (FakeSparse(rows=(0, 1)), ValueError, INCONSISTENT),
        (FakeSparse(data=(1.0, 1.0), rows=(0, 1)), ValueError, INCONSISTENT),
        (FakeSparse(rows=(2,)), ValueError, OUT_OF_BOUNDS),
        (FakeSparse(cols=(2,)), ValueError, OUT_OF_BOUNDS),
        (FakeSparse(rows=(-1,)), ValueError, NEGATIVE),
        (FakeSparse(cols=np.array([-1])), ValueError, NEGATIVE),
        (FakeSparse(cols=np.array([-1], dtype=np.int32)), ValueError, NEGATIVE),
        (FakeSparse(rows=(-(2**70),)), ValueError, NEGATIVE),
        (FakeSparse(rows=(2**70,)), OverflowError, None),
        (FakeSparse(rows=(0.0,)), TypeError, None),
        (FakeSparse(rows=np.array([0], dtype=np.uint64)), None, None),
    ],
)
def test_sparse_metadata_rules(fake, error, message):
    if error is None:
        assert shape(arborvane.Table(fake)) == ("sparse", 2, 2, 0)
        return
    with pytest.raises(error) as raised:
        arborvane.Table(fake)
    if message is not None:
        assert str(raised.value) == message


def test_nonzero_must_return_a_pair():
    class Triple(FakeSparse):
        def nonzero(self):
            return ((0,), (1,), (0,))

    with pytest.raises(TypeError):
        arborvane.Table(Triple())


@pytest.mark.parametrize("shape_claim", [(2**60, 2), (2**40, 2), (2, 2**60), (2, 2**40)])
def test_claimed_shapes_never_reserve_memory_first(shape_claim):
    fake = FakeSparse(shape=shape_claim, data=(), rows=(), cols=())
    with pytest.raises(MemoryError):
        arborvane.Table(fake)


def test_claimed_rows_without_targets_to_match_report_the_mismatch():
    fake = FakeSparse(shape=(2**60, 2), data=(), rows=(), cols=())
    message = f"Mismatched lengths: X has {2**60} rows while y has 2 values."
    with pytest.raises(ValueError, match=whole(message)):
        arborvane.Table(fake, [0.0, 1.0])
