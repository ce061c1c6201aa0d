import math
import re

import numpy as np
import pytest

import arborvane

STRING_TARGETS = "Table does not support string targets; pass raw inputs to train(...) instead."


def whole(message):
    return re.escape(message) + "$"


def shape(table):
    return (table.kind, table.n_rows, table.n_features, table.canaries)


X = [[0.5, 1.0], [2.0, 0.0], [3.0, 1.0]]
Y = [1.0, 2.0, 3.0]


def test_canaries_count_only_with_targets():
    assert shape(arborvane.Table(X)) == ("dense", 3, 2, 0)
    assert shape(arborvane.Table(X, canaries=5)) == ("dense", 3, 2, 0)
    assert shape(arborvane.Table(X, Y)) == ("dense", 3, 2, 2)
    assert shape(arborvane.Table(X, Y, canaries=0)) == ("dense", 3, 2, 0)
    assert shape(arborvane.Table(X, Y, 3, "auto")) == ("dense", 3, 2, 3)
    assert shape(arborvane.Table(X, None)) == ("dense", 3, 2, 0)


def test_table_as_x_shares_the_table():
    source = arborvane.Table(X, Y, canaries=3)
    for copy in (arborvane.Table(source), arborvane.Table(source, None, 7, "auto")):
        assert copy is not source
        assert shape(copy) == shape(source) == ("dense", 3, 2, 3)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"y": Y}, "y must be omitted when x is already a Table."),
        ({"y": Y, "bins": 8}, "y must be omitted when x is already a Table."),
        ({"bins": 8}, "bins must be omitted when x is already a Table."),
    ],
)
def test_table_as_x_refuses_targets_and_fixed_bins(kwargs, message):
    source = arborvane.Table(X, Y)
    with pytest.raises(ValueError, match=whole(message)):
        arborvane.Table(source, **kwargs)


@pytest.mark.parametrize(
    "targets",
    [
        np.array(["b", "a", "b"]),
        np.array([["b"], ["a"], ["b"]]),
        np.array([["b", "a", "b"]]),
        np.array(["b", "a", "b"], dtype=object),
        ["b", "a", "b"],
        ("b", "a", "b"),
        [np.str_("b"), "a", "b"],
    ],
    ids=["numpy", "numpy-column", "numpy-row", "numpy-object", "list", "tuple", "numpy-str-items"],
)
def test_string_targets_are_refused(targets):
    with pytest.raises(ValueError, match=whole(STRING_TARGETS)):
        arborvane.Table(X, targets)


def test_string_targets_need_one_row_or_column():
    with pytest.raises(
        ValueError,
        match=whole("Target arrays must be one-dimensional or have a single row/column."),
    ):
        arborvane.Table(X, np.array([["a", "b"], ["c", "d"], ["e", "f"]]))


def test_construction_errors_are_checked_before_string_targets():
    mismatch = "Mismatched lengths: X has 3 rows while y has 2 values."
    with pytest.raises(ValueError, match=whole(mismatch)):
        arborvane.Table(X, ["a", "b"])


@pytest.mark.parametrize("targets", [["a", 1.0, 2.0], [1.0, "a", 2.0]])
def test_mixed_string_targets_fail_as_numbers(targets):
    with pytest.raises(TypeError):
        arborvane.Table(X, targets)


@pytest.mark.parametrize(
    "canaries, error, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.5, TypeError, "argument 'canaries': 'float' object cannot be interpreted as an integer"),
        (
            None,
            TypeError,
            "argument 'canaries': 'NoneType' object cannot be interpreted as an integer",
        ),
        ("2", TypeError, "argument 'canaries': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_canaries_argument(canaries, error, message):
    with pytest.raises(error) as raised:
        arborvane.Table(X, Y, canaries=canaries)
    if message is not None:
        assert str(raised.value) == message


def test_arguments_are_parsed_like_a_python_signature():
    with pytest.raises(TypeError):
        arborvane.Table()
    with pytest.raises(TypeError):
        arborvane.Table(X, Y, 2, None, 5)
    with pytest.raises(TypeError):
        arborvane.Table(X, z=1)
    assert shape(arborvane.Table(x=X, y=Y, canaries=1, bins=4)) == ("dense", 3, 2, 1)


@pytest.mark.parametrize(
    "x, kind",
    [
        ([[0.0, 1.0], [1.0, 0.0], [1.0, 1.0]], "sparse"),
        ([[0.0, 1.0], [1.0, 0.0], [1.0, 0.5]], "dense"),
        ([[0.0, 1.0], [1.0, 0.0], [1.0, -0.0]], "dense"),
        ([[0.0, 1.0], [1.0, 0.0], [1.0, math.nan]], "dense"),
        ([[True, False], [False, True], [True, True]], "sparse"),
        (np.array([[0, 1], [1, 0], [1, 1]], dtype=np.int64), "sparse"),
        (np.array([[0, 1], [1, 0], [1, 2]], dtype=np.int32), "dense"),
    ],
)
def test_storage_follows_the_binary_test(x, kind):
    assert shape(arborvane.Table(x, [0.0, 1.0, 2.0])) == (kind, 3, 2, 2)
    assert shape(arborvane.Table(x)) == (kind, 3, 2, 0)


MISMATCH = "Mismatched lengths: X has 3 rows while y has 2 values."


@pytest.mark.parametrize(
    "x, y, message",
    [
        ([[1.0], [2.0], [3.0]], [1.0, 2.0], MISMATCH),
        (np.ones((3, 2)), [1.0, 2.0], MISMATCH),
        ([[1.0, 2.0], [1.0, 2.0], [1.0, 2.0, 3.0]], [1.0, 2.0, 3.0],
         "Ragged row at index 2: expected 2 columns, found 3."),
        ([[1.0, 2.0], [1.0]], None, "Ragged row at index 1: expected 2 columns, found 1."),
    ],
)
def test_construction_errors(x, y, message):
    with pytest.raises(ValueError, match=whole(message)):
        arborvane.Table(x, y)


@pytest.mark.parametrize(
    "x, expected",
    [
        ([], ("sparse", 0, 0, 0)),
        ((), ("sparse", 0, 0, 0)),
        (np.empty((0, 3)), ("sparse", 0, 0, 0)),
        (np.empty((3, 0)), ("sparse", 3, 0, 0)),
        ([[], [], []], ("sparse", 3, 0, 0)),
        ({}, ("sparse", 0, 0, 0)),
        ([[math.inf, -math.inf], [math.nan, 0.0]], ("dense", 2, 2, 0)),
    ],
)
def test_edge_inputs_build_tables(x, expected):
    assert shape(arborvane.Table(x)) == expected


def test_empty_targets_with_empty_features():
    assert shape(arborvane.Table([], [])) == ("sparse", 0, 0, 2)
    assert shape(arborvane.Table(np.empty((0, 4)), np.empty(0))) == ("sparse", 0, 0, 2)


@pytest.mark.parametrize(
    "x, error",
    [
        (5, TypeError),
        (None, TypeError),
        ([1.0, 2.0], TypeError),
        ([["a", 1.0]], TypeError),
        ([[1.0, object()]], TypeError),
        ([[1.0, 2**2000]], OverflowError),
        (np.array([1.0, 2.0]), TypeError),
        (np.zeros((2, 2, 2)), TypeError),
    ],
)
def test_unreadable_features_raise_the_interpreter_error(x, error):
    with pytest.raises(error):
        arborvane.Table(x)


def test_values_convert_through_float():
    class Number:
        def __init__(self, value):
            self.value = value

        def __float__(self):
            return self.value

    table = arborvane.Table([[Number(0.0), Number(1.0)]], [Number(2.5)])
    assert shape(table) == ("sparse", 1, 2, 2)
    assert shape(arborvane.Table([[Number(0.5)]])) == ("dense", 1, 1, 0)


@pytest.mark.parametrize("canaries", [2**62, 2**64 - 1])
def test_absurd_canary_counts_fail_cleanly(canaries):
    with pytest.raises(MemoryError):
        arborvane.Table(X, Y, canaries=canaries)


def test_broadcast_arrays_claiming_huge_shapes_fail_cleanly():
    with pytest.raises(MemoryError):
        arborvane.Table(np.broadcast_to(np.float64(0.5), (2**40, 4)))
    with pytest.raises(MemoryError):
        arborvane.Table(np.ones((2, 2)), np.broadcast_to(np.float64(1.0), (2**42,)))
