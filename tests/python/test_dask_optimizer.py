"""veltrix_core.dask as dask's optimizer: real dask.array and dask.delayed programs compute the
same values with it on and off (bits, dtype, shape and Python type; every NaN one value), on the
threaded scheduler; it really runs where dask calls a low-level optimizer, keeps output keys and
annotations, never leaves more tasks than dask's own optimizer, and hands a graph it cannot read
back to dask with a warning."""

import itertools
import operator
import os
import pickle
import random
import subprocess
import sys
import textwrap
import warnings

import pytest
from optional import require

np = require("numpy")
dask = require("dask")
da = require("dask.array")

from dask._task_spec import Alias, DataNode, Dict, List, Task, TaskRef  # noqa: E402
from dask.array.optimization import optimize as dask_optimize  # noqa: E402
from dask.highlevelgraph import HighLevelGraph  # noqa: E402

import veltrix_core.dask as vd  # noqa: E402
from veltrix_core.dask import _optimize, _record  # noqa: E402


def bits(value):
    """What two results must share to be the same: Python type, dtype, shape and bits, with every
    NaN one value; the items of an object array compared the same way, one by one."""
    if type(value) is not np.ndarray and not isinstance(value, (np.generic, int, float, complex)):
        return (type(value), repr(value))
    array = np.array(value)
    if array.dtype.kind == "O":
        return (type(value), array.shape, tuple(bits(item) for item in array.reshape(-1)))
    if array.dtype.kind in "fc":
        parts = array.reshape(-1).view(array.real.dtype)
        parts[np.isnan(parts)] = np.nan
    return (type(value), array.dtype.str, array.shape, array.tobytes())


def computed(collection, scheduler="threads"):
    (value,) = dask.compute(collection, scheduler=scheduler)
    return value


def on_and_off(collection, **enabled):
    with warnings.catch_warnings():
        warnings.simplefilter("error", vd.OptimizerDeclined)  # a declined graph fails the test
        with vd.enabled(**enabled):
            on = computed(collection)
    return on, computed(collection)


def tasks(graph):
    """The tasks of an optimized graph, without the aliases that only rename a key."""
    return sum(not isinstance(node, Alias) for node in dict(graph).values())


def _arrays():
    rng = np.random.default_rng(0)
    base = rng.standard_normal((30, 20))
    base[3, 4] = np.nan
    base[5, 6] = -0.0
    x = da.from_array(base, chunks=(7, 6))
    y = da.random.default_rng(1).random((20,), chunks=5)
    z = da.random.default_rng(2).standard_normal((30, 20), chunks=(10, 5))
    return base, x, y, z


def _programs():
    base, x, y, z = _arrays()
    strings = np.array(["a", "bc", "", "def", "g"])
    objects = np.array([1, "a", None, 2.5, (1, 2)], dtype=object)
    return {
        "broadcast arithmetic": (x + y) * 2 - z / (y + 1),
        "ufuncs": da.exp(da.sin(x)) + da.log1p(da.abs(z)) - np.float32(0.5),
        "sum split_every": z.sum(axis=0, split_every=2) + x.sum(split_every=3),
        "mean std var": z.mean(axis=1) + z.std() + x.var(axis=0).sum(),
        "nan reductions": da.nanmax(x, axis=0) - da.nanmean(x),
        "argmax": z.argmax(axis=0) + x.argmin(axis=1).sum(),
        "cumulative sums": z.cumsum(axis=1) - x.cumprod(axis=0),
        "slicing": z[3:17:2, ::-3] + x[-7:, 1],
        "fancy indexing": x[[1, 5, 2, 29], :][:, [0, 19, 3]],
        "boolean indexing": z[z[:, 0] > 0],
        "rechunk": x.rechunk((15, 4)) + z.rechunk((3, 20)),
        "concatenate stack": da.concatenate([x, z * 2], axis=0)[::7] + da.stack([x, z], axis=0).sum(axis=0)[:1],
        "where astype": da.where(z > 0.5, x, -x).astype(np.float32) + (z * 100).astype(np.int16),
        "map_blocks": x.map_blocks(lambda b: b * 2 + 1, dtype=x.dtype),
        "map_overlap": z.map_overlap(lambda b: b + np.roll(b, 1, axis=0), depth=1, boundary="reflect"),
        "matmul tensordot": x @ z.T + da.tensordot(z, x, axes=([1], [1])),
        "random with seeds": da.random.RandomState(5).normal(size=(20,), chunks=5)
        + da.random.default_rng(7).integers(0, 10, size=20, chunks=5),
        "strings": da.from_array(strings, chunks=2) + "x",
        "objects": da.from_array(objects, chunks=2)[::-1],
        "written twice": (x * z).sum() - (z * x).sum() + (x + y).mean() * (y + x).mean(),
        "equal slices two ways": z[:10].sum() + z[0:10:1].sum(),
        "scalar": z.sum() + 1,
    }


PROGRAMS = _programs()


@pytest.mark.parametrize("batch", [1, 10**9], ids=["blocks as columns", "block by block"])
@pytest.mark.parametrize("name", list(PROGRAMS))
def test_array_programs_compute_the_same_values(name, batch, monkeypatch):
    monkeypatch.setattr(_record, "_BATCH", batch)
    on, off = on_and_off(PROGRAMS[name])
    assert bits(on) == bits(off)


def test_an_array_over_a_memmap(tmp_path):
    data = np.memmap(tmp_path / "m.dat", dtype="float32", mode="w+", shape=(40, 10))
    data[:] = np.random.default_rng(3).random((40, 10))
    data.flush()
    x = da.from_array(np.memmap(tmp_path / "m.dat", dtype="float32", mode="r", shape=(40, 10)), chunks=(10, 5))
    on, off = on_and_off((x + 1).sum(axis=0) - x[::3].mean())
    assert bits(on) == bits(off)


def test_several_collections_at_once_keep_their_values():
    _, x, y, z = _arrays()
    a, b, c = x + y, (x + y).sum(), z.T
    with vd.enabled():
        on = dask.compute(a, b, c, scheduler="threads")
    assert [bits(v) for v in on] == [bits(v) for v in dask.compute(a, b, c, scheduler="threads")]


@pytest.mark.parametrize("name", list(PROGRAMS))
def test_never_more_tasks_than_dask_leaves(name):
    collection = PROGRAMS[name]
    graph, keys = collection.__dask_graph__(), collection.__dask_keys__()
    assert tasks(vd.optimize(graph, keys)) <= tasks(dask_optimize(graph, keys))


def _legacy_root(name, value):
    """An array of one chunk whose graph holds a tuple task reading another of its layer."""
    layer = {(name, "ones"): (np.ones, 4), (name, 0): (operator.mul, (name, "ones"), value)}
    return da.Array(HighLevelGraph.from_collections(name, layer), name, chunks=((4,),), dtype=float)


ROOT_FUSION = {
    **PROGRAMS,
    "roots of tuple tasks": _legacy_root("root-a", 2.0) + _legacy_root("root-b", 3.0),
}


@pytest.mark.parametrize("name", list(ROOT_FUSION))
def test_root_fusion_is_skipped_only_where_it_changes_no_task(name):
    from dask.blockwise import fuse_roots, optimize_blockwise  # noqa: PLC0415
    from dask.core import flatten  # noqa: PLC0415
    from dask.tokenize import tokenize  # noqa: PLC0415

    collection = ROOT_FUSION[name]
    keys = list(flatten(collection.__dask_keys__()))
    graph = optimize_blockwise(collection.__dask_graph__(), keys=keys)
    fused, plain = dict(fuse_roots(graph, keys=keys)), dict(graph)
    unchanged = fused.keys() == plain.keys() and all(tokenize(fused[k]) == tokenize(plain[k]) for k in fused)
    if _optimize._root_fusion_idle(graph):
        assert unchanged
    assert name != "roots of tuple tasks" or not unchanged  # dask fuses these: it must run
    on, off = on_and_off(collection)
    assert bits(on) == bits(off)


def test_merging_removes_calls_written_twice():
    _, _, y, z = _arrays()
    once = (y * z).sum()
    twice = (y * z).sum() - (z * y).sum()
    optimized = [vd.optimize(c.__dask_graph__(), c.__dask_keys__()) for c in (once, twice)]
    # the commuted product and its sum are computed once: the difference adds one task
    assert tasks(optimized[1]) == tasks(optimized[0]) + 1
    assert bits(on_and_off(twice)[0]) == bits(np.float64(0.0))


def test_output_keys_are_kept_and_the_optimizer_runs(monkeypatch):
    calls = []
    original = _optimize.optimize_graph

    def counting(*args, **kwargs):
        calls.append(args[1])
        return original(*args, **kwargs)

    monkeypatch.setattr(_optimize, "optimize_graph", counting)
    _, x, y, _ = _arrays()
    total = (x + y).sum(axis=0)
    with vd.enabled():
        assert x.__dask_optimize__ is vd.optimize
        value = total.compute(scheduler="sync")
        (persisted,) = dask.persist(total, scheduler="sync")
    assert x.__dask_optimize__ is not vd.optimize
    assert len(calls) == 2
    assert bits(value) == bits(total.compute())
    assert set(dict(persisted.__dask_graph__())) >= set(total.__dask_keys__())
    graph = vd.optimize(total.__dask_graph__(), total.__dask_keys__())
    assert set(total.__dask_keys__()) <= set(graph)


def test_array_query_planning_never_calls_the_optimizer():
    script = textwrap.dedent(
        """
        import dask, dask.array as da
        import veltrix_core.dask as vd
        from veltrix_core.dask import _optimize
        calls = []
        original = _optimize.optimize_graph
        _optimize.optimize_graph = lambda *a, **k: calls.append(1) or original(*a, **k)
        x = da.ones((10, 10), chunks=5)
        with vd.enabled():
            assert float((x + 1).sum().compute()) == 200.0
        print(len(calls))
        """
    )
    counts = {}
    for planning in ("False", "True"):
        env = dict(os.environ, DASK_ARRAY__QUERY_PLANNING=planning)
        result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        counts[planning] = int(result.stdout.split()[-1])
    assert counts == {"False": 1, "True": 0}


def test_annotated_layers_keep_their_annotations():
    from dask.base import collections_to_expr  # noqa: PLC0415

    _, x, _, _ = _arrays()
    with dask.annotate(retries=3, resources={"GPU": 1}):
        marked = x * 3
    total = (marked + 1).sum()
    with vd.enabled():
        annotations = collections_to_expr([total]).__dask_annotations__()
        value = total.compute(scheduler="threads")
    assert annotations["retries"] and set(annotations["retries"].values()) == {3}
    assert {k for k in annotations["resources"]} <= set(annotations["retries"])
    assert bits(value) == bits(total.compute())


def test_every_optimized_task_pickles():
    cloudpickle = require("cloudpickle")
    for collection in PROGRAMS.values():
        graph = vd.optimize(collection.__dask_graph__(), collection.__dask_keys__())
        for key, node in dict(graph).items():
            copy = pickle.loads(cloudpickle.dumps(node))
            assert copy.key == key and copy.dependencies == node.dependencies


def _noisy(value):
    return value


@pytest.mark.parametrize(
    ("graph", "reason"),
    [
        ({"a": Task("a", dict, **{"0": 1})}, "keyword"),
        ({"a": Task("a", dict, Dict({1: TaskRef("b")})), "b": DataNode("b", 2)}, "Dict with a key of type int"),
    ],
)
def test_a_graph_it_cannot_read_goes_to_dask_with_a_warning(graph, reason):
    with pytest.warns(vd.OptimizerDeclined, match=reason):
        result = vd.optimize(graph, ["a"])
    assert set(dict(result)) >= {"a"}


def test_a_declined_graph_still_computes():
    graph = {"a": Task("a", dict, **{"0": 1}), "b": Task("b", len, TaskRef("a"))}
    with pytest.warns(vd.OptimizerDeclined):
        optimized = vd.optimize(graph, ["b"])
    assert dask.get(dict(optimized), "b") == 1


def test_legacy_tuple_graphs_are_read_as_dask_reads_them():
    graph = {
        "x": np.arange(6.0),
        "y": (operator.mul, "x", 2),
        "z": (sum, ["y", "x", (operator.add, "x", 1)]),
        "w": (dict, [["a", "z"], ["b", "missing-key-is-a-literal"]]),
        "alias": "z",
        "data": [1, 2, 3],
    }
    keys = ["w", "alias", "data"]
    optimized = vd.optimize(graph, keys)
    assert [bits(v) if k != "w" else None for k, v in zip(keys, dask.get(dict(optimized), keys))] == [
        bits(v) if k != "w" else None for k, v in zip(keys, dask.get(graph, keys))
    ]
    got, want = dask.get(dict(optimized), "w"), dask.get(graph, "w")
    assert got.keys() == want.keys() and bits(got["a"]) == bits(want["a"]) and got["b"] == want["b"]


def test_an_unknown_key_stays_a_reference():
    graph = HighLevelGraph.from_collections("g", {"b": Task("b", operator.add, TaskRef("elsewhere"), 1)})
    optimized = vd.optimize(graph, ["b"])
    assert dask.get({**dict(optimized), "elsewhere": DataNode("elsewhere", 41)}, "b") == 42


def _forms_graph():
    """Materialized tasks of a few forms: plain calls with keyword arguments and data nodes,
    params that are sometimes too large to be one, a chain inside the layer, twice-written
    calls, lists of references and literals, and subgraph tasks sharing one inner graph, or one
    whose value is its input."""
    from dask._task_spec import _execute_subgraph  # noqa: PLC0415

    graph = {("x", i): DataNode(("x", i), np.arange(3.0) + i) for i in range(40)}
    for i in range(40):
        scale = 2**70 if i % 7 == 0 else i  # an int beyond 64 bits is a literal, not a param
        graph[("a", i)] = Task(("a", i), np.multiply, TaskRef(("x", i)), scale, dtype=DataNode(None, "float64"))
        graph[("b", i)] = Task(("b", i), operator.add, TaskRef(("a", i)), TaskRef(("a", (i + 1) % 40)))
        graph[("twice", i)] = Task(("twice", i), operator.add, TaskRef(("a", i)), TaskRef(("a", (i + 1) % 40)))
        graph[("chain", i)] = Task(
            ("chain", i), operator.sub, TaskRef(("chain", i - 1) if i else ("b", 0)), TaskRef(("b", i))
        )
    inner = {
        "out": Task("out", operator.mul, TaskRef("sum"), TaskRef("#1")),
        "sum": Task("sum", operator.add, TaskRef("#0"), TaskRef("#1")),
    }
    passing_on = {"out": Alias("out", "#0")}
    for i in range(40):
        graph[("sub", i)] = Task(("sub", i), _execute_subgraph, inner, "out", ("#0", "#1"), TaskRef(("b", i)), i)
        graph[("out", i)] = Task(("out", i), _execute_subgraph, passing_on, "out", ("#0",), TaskRef(("sub", i)))
    for i in range(40):  # lists of references, aliases and literals
        items = (TaskRef(("a", i)), Alias(("b", i)), np.zeros(3) if i % 2 else DataNode(None, np.ones(3)))
        graph[("cat", i)] = Task(("cat", i), np.concatenate, List(*items))
    draw = "draw-0c3e5a62-6f1e-4c1b-9a57-3d2b8f4e7a10"  # a name with a uuid: calls that are impure
    for i in range(40):
        graph[(draw, i)] = Task((draw, i), np.multiply, TaskRef(("x", i % 2)), 3, dtype=DataNode(None, "float64"))
    outputs = [("out", i) for i in range(40)] + [("chain", 39)]
    return graph, outputs + [(name, i) for name in ("b", "twice", "cat", draw) for i in range(40)]


@pytest.mark.parametrize("batch", [1, 10**9], ids=["blocks as columns", "block by block"])
def test_materialized_tasks_of_one_form_keep_their_values(batch, monkeypatch):
    monkeypatch.setattr(_record, "_BATCH", batch)
    graph, outputs = _forms_graph()
    with warnings.catch_warnings():
        warnings.simplefilter("error", vd.OptimizerDeclined)
        optimized = dict(vd.optimize(HighLevelGraph.from_collections("forms", graph), outputs))
    assert [bits(v) for v in dask.get(optimized, outputs)] == [bits(v) for v in dask.get(graph, outputs)]
    aliases = {key[0] for key in outputs if isinstance(optimized[key], Alias)}
    assert aliases == {"twice"}  # each the same call as its "b"; the impure draws all kept


def _tuple_tasks_graph():
    """Tasks written as tuples, as dask's reductions write them: nested lists of keys, keys that
    are strings, literal lists and tuples of slices, params, lists mixing keys and literals; and
    some a form does not cover (a tuple of keys, a nested task, a dict holding a task)."""
    import functools  # noqa: PLC0415

    graph = {("x", i): np.arange(4.0) * (i + 1) for i in range(24)}
    graph["s"] = np.ones(4)
    total = functools.partial(np.sum, axis=0)
    for i in range(6):
        quad = [[("x", 4 * i), ("x", 4 * i + 1)], [("x", 4 * i + 2), ("x", 4 * i + 3)]]
        graph[("quad", i)] = (np.block, quad)
        graph[("cut", i)] = (operator.getitem, ("quad", i), (slice(0, 2), slice(1, None)))
        graph[("mixed", i)] = (total, ["s", ("x", i), np.zeros(4), [1.0, 2.0, 3.0, 4.0]])
        graph[("scaled", i)] = (np.multiply, ("mixed", i), 2 if i % 2 else 2.5)
        graph[("pair", i)] = (sum, (("x", i), ("x", i + 1)))
        graph[("nested", i)] = (np.add, (np.negative, ("x", i)), "s")
        graph[("dict", i)] = (dict, [["a", ("x", i)], ["b", [1, 4]]])
    outputs = [(name, i) for name in ("cut", "scaled", "pair", "nested") for i in range(6)]
    return graph, outputs + [("dict", 0)]


@pytest.mark.parametrize("batch", [1, 10**9], ids=["blocks as columns", "block by block"])
def test_tuple_tasks_read_as_forms_keep_their_values_and_calls(batch, monkeypatch):
    from veltrix_core.dask import _blockwise  # noqa: PLC0415

    monkeypatch.setattr(_record, "_BATCH", batch)
    graph, outputs = _tuple_tasks_graph()
    want = dask.get(graph, outputs)
    found = []
    for forms in (True, False):
        if not forms:  # each task read on its own, as the recorder reads a tuple task
            monkeypatch.setattr(_blockwise.TaskForms, "legacy_block", lambda self, task, is_key: None)
        timings = {}
        optimized = dict(_optimize.optimize_graph(graph, outputs, array=False, timings=timings))
        got = dask.get(optimized, outputs)
        assert [bits(v) for v in got[:-1]] == [bits(v) for v in want[:-1]]
        assert got[-1].keys() == want[-1].keys() and bits(got[-1]["a"]) == bits(want[-1]["a"])
        found.append((timings["rows"], tasks(optimized)))
    assert found[0] == found[1]  # the same calls recorded either way, and the same tasks left


# dask.delayed


def test_pure_delayed_calls_merge_where_their_operands_are_numbers():
    delayed = dask.delayed
    x = delayed(operator.mul, pure=True)(3, 4)
    y = delayed(operator.add, pure=True)(x, 0.5)
    twice = delayed(operator.sub, pure=True)(
        delayed(operator.add, pure=True)(x, y), delayed(operator.add, pure=True)(y, x)
    )
    graph = dict(vd.optimize_delayed(twice.__dask_graph__(), twice.__dask_keys__()))
    assert len(graph) == len(dict(twice.__dask_graph__())) - 1  # the commuted add is computed once
    (difference,) = graph[twice.key].dependencies  # of the same value, twice
    on, off = on_and_off(twice, delayed=True)
    assert on == off == 0.0


def test_impure_delayed_calls_never_merge():
    counter = itertools.count()
    first, second = dask.delayed(next)(counter), dask.delayed(next)(counter)
    pair = dask.delayed(tuple)([first, second])
    with vd.enabled(delayed=True):
        a, b = pair.compute(scheduler="sync")
    assert a != b  # both calls ran
    draws = dask.delayed(list)([dask.delayed(random.random)() for _ in range(3)])
    with vd.enabled(delayed=True):
        values = draws.compute(scheduler="threads")
    assert len(set(values)) == 3


def test_delayed_programs_compute_the_same_values():
    delayed = dask.delayed

    @delayed(pure=True)
    def load(i):
        return np.arange(10.0) * i

    parts = [load(i) for i in range(4)]
    total = delayed(sum)([p.sum() for p in parts]) + delayed(np.mean)(parts[1] * parts[2])
    on, off = on_and_off(total, delayed=True)
    assert bits(on) == bits(off)


# The documentation's examples (tagged python3: they need dask, which the README test does not).


def _documented_blocks(path, section=None):
    import re  # noqa: PLC0415

    text = path.read_text()
    if section is not None:
        text = text[text.index(section) :]
        text = text[: text.find("\n## ", 1)] if "\n## " in text[1:] else text
    if path.suffix == ".md":
        return [block for block in re.findall(r"^```python3\n(.*?)^```", text, re.S | re.M)]
    blocks = []
    for match in re.finditer(r"^\.\. code-block:: python3\n\n((?:(?:   .*)?\n)+)", text, re.M):
        blocks.append(textwrap.dedent(match.group(1)))
    return blocks


@pytest.mark.parametrize(
    ("page", "section"), [("README.md", "## Using it as dask's optimizer"), ("docs/guide/dask.rst", None)]
)
def test_the_documented_examples_run(page, section):
    import pathlib  # noqa: PLC0415

    root = pathlib.Path(__file__).resolve().parents[2]
    blocks = _documented_blocks(root / page, section)
    assert blocks
    settings = ("array_optimize", "delayed_optimize")
    saved = {name: dask.config.config.get(name, _MISSING) for name in settings}
    namespace = {"__name__": "docs_example"}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", vd.OptimizerDeclined)
            for block in blocks:
                exec(compile(block, page, "exec"), namespace)
    finally:  # a page may turn the optimizer on for the whole program
        for name, value in saved.items():
            if value is _MISSING:
                dask.config.config.pop(name, None)
            else:
                dask.config.config[name] = value


_MISSING = object()
