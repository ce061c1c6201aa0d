import re

import numpy as np
import pytest

import arborvane

INVALID = "Invalid bins value {}. Expected 'auto' or an integer between 1 and 128."
UNSUPPORTED_TEXT = "Unsupported bins value '{}'. Expected 'auto' or an integer between 1 and 128."
UNSUPPORTED_TYPE = "Unsupported bins value. Expected 'auto' or an integer between 1 and 128."
BINS_WITH_TABLE = "bins must be omitted when x is already a Table."


@pytest.fixture(scope="module")
def table():
    return arborvane.Table([[0.5, 1.0], [2.0, 0.0]], [0.0, 1.0])


# Passing a Table as x tells the two accepted settings apart: a fixed count is refused there.
@pytest.mark.parametrize(
    "bins, fixed",
    [(None, False), ("auto", False), (1, True), (16, True), (128, True), (np.int64(32), True),
     (True, True)],
)
def test_accepted_bins(table, bins, fixed):
    assert arborvane.Table([[0.5], [1.5]], [1.0, 2.0], bins=bins).n_rows == 2
    if fixed:
        with pytest.raises(ValueError, match=re.escape(BINS_WITH_TABLE) + "$"):
            arborvane.Table(table, bins=bins)
    else:
        assert arborvane.Table(table, bins=bins).n_rows == 2


@pytest.mark.parametrize(
    "bins, error, message",
    [
        (0, ValueError, INVALID.format(0)),
        (129, ValueError, INVALID.format(129)),
        (False, ValueError, INVALID.format(0)),
        (2**64 - 1, ValueError, INVALID.format(2**64 - 1)),
        ("10", ValueError, UNSUPPORTED_TEXT.format("10")),
        ("", ValueError, UNSUPPORTED_TEXT.format("")),
        ("Auto", ValueError, UNSUPPORTED_TEXT.format("Auto")),
        ("\udcff", ValueError, UNSUPPORTED_TEXT.format("\udcff")),
        (1.5, TypeError, UNSUPPORTED_TYPE),
        (16.0, TypeError, UNSUPPORTED_TYPE),
        (-1, TypeError, UNSUPPORTED_TYPE),
        (2**64, TypeError, UNSUPPORTED_TYPE),
        (2**70, TypeError, UNSUPPORTED_TYPE),
        ([16], TypeError, UNSUPPORTED_TYPE),
        (b"auto", TypeError, UNSUPPORTED_TYPE),
    ],
)
def test_refused_bins(bins, error, message):
    for args in (([[0.5], [1.5]],), ([[0.5], [1.5]], [1.0, 2.0])):
        with pytest.raises(error) as raised:
            arborvane.Table(*args, bins=bins)
        assert str(raised.value) == message
