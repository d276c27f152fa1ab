"""The Parameters class: defaults, conversions of its setters, errors and text form."""
import math
import sys

import numpy as np
import pytest

import ovelt

ATTRIBUTES = [
    ("n_passes", 2, "Number of refinement passes."),
    ("e1", 2.0, "E1 parameter for Pij calculation."),
    ("e2", 5.0, "E2 parameter for Pij calculation."),
    ("gap_open", 3.0, "Gap opening penalty."),
    ("gap_extend", 0.5, "Gap extension penalty."),
    ("use_secondary", True, "Whether to use secondary structure in scoring."),
    ("max_iter", 100, "Maximum iterations for refinement."),
    ("cutoff_dist", 10.0, "Distance cutoff for scoring."),
    ("score_cutoff", 2.0, "Score cutoff for alignment."),
    ("convergence", 0.01, "Convergence threshold."),
    ("verbosity", 1, "Verbosity level."),
]
INT_ATTRS = ["n_passes", "max_iter", "verbosity"]
FLOAT_ATTRS = [name for name, default, _ in ATTRIBUTES if isinstance(default, float)]


def test_defaults_order_and_docstrings():
    p = ovelt.Parameters()
    props = [k for k, v in vars(ovelt.Parameters).items() if isinstance(v, type(ovelt.Parameters.e1))]
    assert props == [name for name, _, _ in ATTRIBUTES]
    for name, default, doc in ATTRIBUTES:
        value = getattr(p, name)
        assert type(value) is type(default) and value == default
        assert getattr(ovelt.Parameters, name).__doc__ == doc
    assert ovelt.Parameters.__doc__ == (
        "Python wrapper for alignment parameters.\n\n"
        "All parameters have sensible defaults matching the original PELDA behavior.")
    assert ovelt.Parameters.__text_signature__ == "()"


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"e1": 3.0})])
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        ovelt.Parameters(*args, **kwargs)


class Real:
    def __float__(self):
        return 7.25


class Index:
    def __index__(self):
        return 9


@pytest.mark.parametrize("value, stored", [
    (3, 3.0), (True, 1.0), (np.float64(0.5), 0.5), (np.int32(-4), -4.0), (Real(), 7.25), (10 ** 20, 1e20),
])
@pytest.mark.parametrize("name", FLOAT_ATTRS)
def test_float_setters_convert(name, value, stored):
    p = ovelt.Parameters()
    setattr(p, name, value)
    assert type(getattr(p, name)) is float and getattr(p, name) == stored


@pytest.mark.parametrize("value, stored", [(0, 0), (4294967295, 4294967295), (True, 1), (np.uint8(7), 7), (Index(), 9)])
@pytest.mark.parametrize("name", INT_ATTRS)
def test_int_setters_convert(name, value, stored):
    p = ovelt.Parameters()
    setattr(p, name, value)
    assert type(getattr(p, name)) is int and getattr(p, name) == stored


@pytest.mark.parametrize("name, value, error", [
    ("n_passes", -1, OverflowError),
    ("max_iter", 4294967296, OverflowError),
    ("verbosity", 10 ** 30, OverflowError),
    ("n_passes", 2.5, TypeError),
    ("max_iter", "3", TypeError),
    ("verbosity", None, TypeError),
    ("e1", "2.0", TypeError),
    ("gap_open", None, TypeError),
    ("convergence", [1.0], TypeError),
    ("cutoff_dist", 10 ** 400, OverflowError),
    ("use_secondary", 1, TypeError),
    ("use_secondary", 0, TypeError),
    ("use_secondary", None, TypeError),
    ("use_secondary", "true", TypeError),
])
def test_failed_assignment_names_value_and_keeps_the_old_value(name, value, error):
    p = ovelt.Parameters()
    before = getattr(p, name)
    with pytest.raises(error, match="value"):
        setattr(p, name, value)
    assert getattr(p, name) == before


def test_use_secondary_takes_python_and_numpy_bools():
    p = ovelt.Parameters()
    p.use_secondary = False
    assert p.use_secondary is False
    p.use_secondary = np.bool_(True)
    assert p.use_secondary is True


@pytest.mark.parametrize("name", [name for name, _, _ in ATTRIBUTES])
def test_attributes_cannot_be_deleted(name):
    p = ovelt.Parameters()
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(p, name)


def test_out_of_range_values_are_stored_unchanged():
    p = ovelt.Parameters()
    p.e1, p.convergence, p.gap_open = -1.5, 0.0, -3.0
    assert (p.e1, p.convergence, p.gap_open) == (-1.5, 0.0, -3.0)


def test_default_repr():
    assert repr(ovelt.Parameters()) == "Parameters(n_passes=2, e1=2, e2=5, gap_open=3, use_secondary=true)"


@pytest.mark.parametrize("value, text", [
    (0.5, "0.5"), (1e-7, "0.0000001"), (math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"), (-0.0, "-0"),
    (3, "3"), (1e22, "10000000000000000000000"), (0.1 + 0.2, "0.30000000000000004"), (-2.75, "-2.75"),
    (5e-324, "0." + "0" * 323 + "5"), (1e300, "1" + "0" * 300),
    (-sys.float_info.max, "-17976931348623157" + "0" * 292),
])
def test_repr_numbers_round_trip_without_exponent(value, text):
    p = ovelt.Parameters()
    p.e1 = value
    p.n_passes = 4294967295
    p.use_secondary = False
    assert repr(p) == f"Parameters(n_passes=4294967295, e1={text}, e2=5, gap_open=3, use_secondary=false)"


def test_objects_are_distinct_values():
    a, b = ovelt.Parameters(), ovelt.Parameters()
    assert a != b and a is not b
    a.e1 = 9.0
    assert b.e1 == 2.0
