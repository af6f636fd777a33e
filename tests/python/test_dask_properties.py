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
from dask._task_spec import Alias, DataNode, List, Task, TaskRef  # noqa: E402
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


def _operands(keys):
    """An argument of a materialized task: a reference or an alias to an earlier key, a literal
    (an int too large to be a param among them), a data node, or a list of such."""
    leaf = st.one_of(
        st.sampled_from(keys).map(TaskRef),
        st.sampled_from(keys).map(Alias),
        st.sampled_from([0, 2, -3, 2**70, 0.5, -0.0, float("nan")]),
        st.sampled_from([1, 2.5]).map(lambda value: DataNode(None, value)),
    )
    return st.one_of(leaf, st.lists(leaf, min_size=1, max_size=3).map(lambda items: List(*items)))


TASK_FUNCS = [operator.add, operator.sub, operator.mul, max]


def _as_number(value):
    return sum(value) if isinstance(value, list) else value


def _call(func, a, b):
    return func(_as_number(a), _as_number(b))


@given(st.data(), st.sampled_from([1, 10**9]))
def test_materialized_task_graphs_compute_the_same_values(data, batch):
    """Graphs of materialized tasks, many of one form (the same callable with references and
    literals at the same places), as a task-by-task graph gives them."""
    graph = {("x", i): DataNode(("x", i), float(i) - 1.5) for i in range(3)}
    keys = list(graph)
    for i in range(data.draw(st.integers(16, 32))):
        func = data.draw(st.sampled_from(TASK_FUNCS))
        a, b = data.draw(_operands(keys)), data.draw(_operands(keys))
        key = (data.draw(st.sampled_from(["p", "q"])), i)
        graph[key] = Task(key, _call, func, a, b)
        keys.append(key)
    outputs = keys[-3:] + data.draw(st.lists(st.sampled_from(keys), max_size=4, unique=True))
    saved, _record._BATCH = _record._BATCH, batch
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", vd.OptimizerDeclined)
            optimized = dict(vd.optimize(graph, outputs))
    finally:
        _record._BATCH = saved
    # Python numbers: their type and repr tell them apart exactly (-0.0, every NaN one value)
    want = [(type(value), repr(value)) for value in dask.get(graph, outputs)]
    assert [(type(value), repr(value)) for value in dask.get(optimized, outputs)] == want


def _literals():
    scalars = st.one_of(
        st.none(),
        st.integers(-(2**70), 2**70),
        st.floats(allow_nan=True),
        st.booleans(),
        st.text(max_size=3),
    )
    slices = st.builds(slice, scalars, scalars, scalars)
    items = st.one_of(scalars, slices)
    return st.recursive(
        items,
        lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple)),
        max_leaves=8,
    )


def _keywords():
    values = st.one_of(st.none(), st.integers(), st.text(max_size=2), st.sampled_from([int, float, type(None)]))
    return st.dictionaries(
        st.one_of(st.text(max_size=2), st.integers(0, 2)), st.one_of(values, st.floats()), max_size=3
    )


@given(st.lists(st.one_of(_literals(), _keywords()), max_size=12))
def test_literal_keys_of_a_column_are_those_of_each_literal(values):
    from veltrix_core.dask._literals import LiteralKeys  # noqa: PLC0415

    keys = LiteralKeys()
    assert keys.keys(values) == [keys.key(value) for value in values]
