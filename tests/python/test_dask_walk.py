"""The native walk over a dask graph's keys that the optimizer's recording starts with: the order
and groups it gives on any graph, and a clean failure on graphs it cannot walk."""

from __future__ import annotations

import contextlib
import operator
import threading
import warnings

import pytest
from optional import require

require("dask")
require("numpy")

from dask._task_spec import Task, TaskRef  # noqa: E402
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import veltrix_core  # noqa: E402
import veltrix_core.dask as vd  # noqa: E402
from veltrix_core.dask._blockwise import Block  # noqa: E402

_walk = veltrix_core._walk_tasks


def _lookup(graph):
    """A lookup over {key: (layer rank, keys read)}: (value, keys read, pinned), None outside."""

    def lookup(key):
        found = graph.get(key)
        return None if found is None else (f"value of {key}", found[1], False)

    return lookup


@st.composite
def _graphs(draw):
    """Keys 0..n-1 in layers of nondecreasing rank; a key reads earlier keys (or, drawn apart,
    any key: cycles, and reads of a later layer) and keys the graph does not hold (negative)."""
    count = draw(st.integers(1, 24))
    ranks = sorted(draw(st.lists(st.integers(0, 4), min_size=count, max_size=count)))
    loose = draw(st.booleans())
    graph = {}
    for key in range(count):
        reads = draw(st.lists(st.integers(-3, count - 1 if loose else key - 1), max_size=4))
        graph[key] = (ranks[key], [read for read in reads if read < key or loose])
    outputs = draw(st.lists(st.integers(-1, count - 1), min_size=1, max_size=4))
    return graph, outputs


def _reachable(graph, outputs):
    found, stack = set(), list(outputs)
    while stack:
        key = stack.pop()
        if key not in found:
            found.add(key)
            stack.extend(graph[key][1] if key in graph else ())
    return found


def _has_cycle(graph, keys):
    state = {}

    def visit(key):  # the graphs drawn are small: recursion is fine here
        if state.get(key) == 1:
            return True
        if state.get(key) == 2 or key not in graph:
            return False
        state[key] = 1
        if any(visit(read) for read in graph[key][1]):
            return True
        state[key] = 2
        return False

    return any(visit(key) for key in keys)


@given(_graphs())
def test_the_walk_gives_every_key_read_after_the_keys_it_reads(drawn):
    graph, outputs = drawn
    ranks = {key: rank for key, (rank, _) in graph.items()}
    reachable = _reachable(graph, outputs)
    result = _walk(outputs, _lookup(graph), ranks, {}, Block)
    if _has_cycle(graph, outputs):
        assert result[0] is None and result[1] in graph
        return
    ranked, externals, items = result
    assert sorted(externals) == sorted(key for key in reachable if key not in graph)
    if ranked:
        groups = [[key for key, _ in group] for _, group in items]
        order = [key for group in groups for key in group]
        for group in groups:  # a group's keys are of one layer and read none of each other
            assert len({ranks[key] for key in group}) == 1
            assert not any(read in group for key in group for read in graph[key][1])
        assert [ranks[key] for key in order] == sorted(ranks[key] for key in order)
    else:
        order = [key for key, _ in items]
        assert any(ranks[read] > ranks[key] for key in order for read in graph[key][1] if read in graph)
    assert sorted(order) == sorted(key for key in reachable if key in graph)
    place = {key: index for index, key in enumerate(order)}
    assert all(place[read] < place[key] for key in order for read in graph[key][1] if read in graph)


class _Unhashable:
    def __hash__(self):
        raise RuntimeError("no hash")


class _Uncomparable:
    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise RuntimeError("no comparison")


def _chain(length):
    return {key: (0, [key - 1] if key else []) for key in range(length)}


@pytest.mark.parametrize(
    ("outputs", "lookup", "ranks", "error"),
    [
        (["a"], _lookup({"a": (0, [_Unhashable()])}), None, RuntimeError),
        ([_Uncomparable(), _Uncomparable()], lambda key: (1, [], False), None, RuntimeError),
        (["a"], _lookup({"a": (0, 5)}), None, TypeError),  # keys read that are not iterable
        (["a"], lambda key: [1, [], False], None, TypeError),  # an entry that is not a tuple
        (["a"], lambda key: (1, []), None, TypeError),
        (["a"], lambda key: 1 / 0, None, ZeroDivisionError),
        (["a"], _lookup({"a": (0, [])}), {}, KeyError),  # a key without a rank
        (["a"], _lookup({"a": (0, [])}), {"a": -1}, ValueError),
        (["a"], _lookup({"a": (0, [])}), {"a": "one"}, TypeError),
        (5, _lookup({}), None, TypeError),
        (["a"], "not callable", None, TypeError),
        (["a"], _lookup({}), ["not", "a", "dict"], TypeError),
    ],
)
def test_a_graph_the_walk_cannot_read_raises_and_nothing_else(outputs, lookup, ranks, error):
    with pytest.raises(error):
        _walk(outputs, lookup, ranks, {}, Block)


@pytest.mark.parametrize("ranked", [True, False])
def test_deep_chains_and_cycles_are_walked_without_recursion(ranked):
    length = 300_000
    graph = _chain(length)
    ranks = dict.fromkeys(graph, 0) if ranked else None
    result = _walk([length - 1], _lookup(graph), ranks, {}, Block)
    order = [key for _, group in result[2] for key, _ in group] if ranked else [key for key, _ in result[2]]
    assert order == list(range(length))
    graph[0] = (0, [length - 1])
    assert _walk([length - 1], _lookup(graph), ranks, {}, Block)[0] is None


def test_a_block_that_cannot_be_read_raises():
    block = Block.__new__(Block)  # no attributes set: reading its task raises AttributeError
    with pytest.raises(AttributeError):
        _walk(["a"], lambda key: (block, [], False), {"a": 0}, {}, Block)


@pytest.mark.parametrize(
    "graph",
    [
        {"a": Task("a", operator.add, TaskRef("b"), 1), "b": Task("b", operator.add, TaskRef("a"), 1)},
        {"a": (operator.add, ("b", _Unhashable()), 1), "b": 1},
    ],
)
def test_an_unwalkable_graph_is_left_to_dask_with_a_warning(graph):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with contextlib.suppress(Exception):  # dask's own optimizer may refuse it in turn
            vd.optimize(graph, ["a"])
    assert any(issubclass(warning.category, vd.OptimizerDeclined) for warning in caught)


def test_walks_on_several_threads_over_one_graph_agree():
    graph = {key: (key % 3, [read for read in (key - 1, key // 2, -1 - key % 5) if read != key]) for key in range(3000)}
    ranks = {key: rank for key, (rank, _) in graph.items()}
    lookup = _lookup(graph)
    expected = _walk([2999, 1500], lookup, ranks, {}, Block)
    results = [None] * 4

    def walk(slot):
        results[slot] = _walk([2999, 1500], lookup, ranks, {}, Block)

    threads = [threading.Thread(target=walk, args=(slot,)) for slot in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * len(results)
