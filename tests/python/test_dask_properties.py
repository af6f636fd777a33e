"""Random dask.array expressions compute the same values with veltrix_core.dask on and off:
elementwise arithmetic and ufuncs over arrays of different chunkings (so that dask aligns and
broadcasts them), reductions folded back by broadcasting, cumulative sums, reversals, rechunks,
where, and subexpressions written twice with their operands swapped, so that merging happens."""

import operator
import warnings

import pytest
from optional import require

np = require("numpy")
require("dask")
da = require("dask.array")
hypothesis = require("hypothesis")

import dask  # noqa: E402
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from test_dask_optimizer import bits  # noqa: E402

import veltrix_core.dask as vd  # noqa: E402
from veltrix_core.dask import _record  # noqa: E402

SHAPE = (12, 10)


def _bases():
    rng = np.random.default_rng(5)
    floats = rng.standard_normal(SHAPE)
    floats[0, 0], floats[1, 1] = np.nan, -0.0
    return {
        "floats": da.from_array(floats, chunks=(5, 4)),
        "random": da.random.default_rng(1).random(SHAPE, chunks=(4, 5)),
        "ints": da.from_array(rng.integers(-50, 50, SHAPE, dtype=np.int32), chunks=(6, 10)),
        "row": da.random.default_rng(2).standard_normal((SHAPE[1],), chunks=3),
        "ones": da.ones(SHAPE, chunks=(3, 3), dtype=np.float32),
    }


BASES = _bases()
BINARY = {"+": operator.add, "-": operator.sub, "*": operator.mul, "max": da.maximum, "==": operator.eq}
UNARY = {
    "sin": da.sin,
    "abs": abs,
    "neg": operator.neg,
    "center": lambda x: x - x.mean(axis=0),
    "rowsum": lambda x: x.sum(axis=-1, keepdims=True, split_every=2) * 0.5,
    "cumsum": lambda x: x.cumsum(axis=-1),
    "reverse": lambda x: x[::-1],
    "rechunk": lambda x: x.rechunk((7, 3)[-x.ndim :]),
    "where": lambda x: da.where(x > 0, x, 0.25),
    "float32": lambda x: x.astype(np.float32),
}


def _expressions():
    leaves = st.sampled_from(sorted(BASES)).map(lambda name: ("leaf", name))
    scalars = st.sampled_from([2, 0.5, -1.0, 3]).map(lambda value: ("scalar", value))

    def extend(children):
        return st.one_of(
            st.tuples(st.just("unary"), st.sampled_from(sorted(UNARY)), children),
            st.tuples(st.just("binary"), st.sampled_from(sorted(BINARY)), children, st.one_of(children, scalars)),
            # op(a, b) and op(b, a) side by side: equal for the commutative ones, and merged
            st.tuples(st.just("twice"), st.sampled_from(["+", "*", "=="]), children, children),
        )

    return st.recursive(leaves, extend, max_leaves=6)


def build(expression):
    kind = expression[0]
    if kind == "leaf":
        return BASES[expression[1]]
    if kind == "scalar":
        return expression[1]
    if kind == "unary":
        return UNARY[expression[1]](build(expression[2]))
    op = BINARY[expression[1]]
    a, b = build(expression[2]), build(expression[3])
    if kind == "binary":
        return op(a, b)
    return op(a, b) * 2 - op(b, a)


@given(_expressions(), st.sampled_from(["none", "sum", "sum0"]), st.sampled_from([1, 10**9]))
def test_random_expressions_compute_the_same_values(expression, ending, batch):
    """(batch: from how many blocks on a Blockwise layer is recorded as columns at once.) A
    program that fails (a boolean negated, say) fails the same way with the optimizer on."""
    try:
        array = build(expression)
    except (TypeError, ValueError, AttributeError):
        array = None
    hypothesis.assume(isinstance(array, da.Array))
    if ending == "sum":
        array = array.sum(split_every=3)
    elif ending == "sum0":
        array = array.sum(axis=0)
    saved, _record._BATCH = _record._BATCH, batch
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", vd.OptimizerDeclined)
            with vd.enabled():
                on = _outcome(array)
    finally:
        _record._BATCH = saved
    assert on == _outcome(array)


def _outcome(array):
    try:
        (value,) = dask.compute(array, scheduler="threads")
    except Exception as error:  # noqa: BLE001 (the program's own failure, compared by type)
        return ("failed", type(error))
    return bits(value)


@pytest.mark.parametrize("name", sorted(BASES))
def test_each_base_array_alone(name):
    with vd.enabled():
        (on,) = dask.compute(BASES[name], scheduler="threads")
    assert bits(on) == bits(BASES[name].compute())
