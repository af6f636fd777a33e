"""A lazy-array front end on veltrix_core: numpy-like user code records a graph as it runs; the
graph is reduced, then run in this process and on a two-worker dask cluster.

    .venv/bin/python examples/lazy.py [--chunks 40] [--rows 64]

Each operator on a LazyArray records one node and returns a new LazyArray; nothing is computed
until `run`. The pipeline below scores orders chunk by chunk, as library code would write it:
helpers that normalise by adding 0.0 and scaling by 1.0, the same product written both ways
round, and a debugging branch nobody reads. The reduced graph merges and drops all of that and
fuses the element-wise chains, so the cluster runs far fewer tasks for the same values.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import veltrix_core as vc
from veltrix_core import run


class Graph:
    """The store being recorded and the data its sources stand for."""

    def __init__(self):
        self.store, self.data = vc.GraphStore(), {}

    def array(self, name: str, value) -> LazyArray:
        self.data[name] = np.asarray(value)
        return LazyArray(self, self.store.add_source(name))


class LazyArray:
    __slots__ = ("graph", "id")
    __array_ufunc__ = None  # numpy scalars on the left defer to us instead of iterating

    def __init__(self, graph: Graph, node_id: int):
        self.graph, self.id = graph, node_id

    def _op(self, name: str, *others, params=None) -> LazyArray:
        return LazyArray(self.graph, self.graph.store.add_op(name, [self.id, *(o.id for o in others)], params))

    def _binary(self, name: str, other, side: str = "r") -> LazyArray:
        if isinstance(other, LazyArray):
            return self._op(name, other) if side == "r" else other._op(name, self)
        return self._op(name, params={"scalar": float(other), "side": side})  # a constant operand

    __add__ = lambda self, o: self._binary("add", o)  # noqa: E731
    __radd__ = lambda self, o: self._binary("add", o, "l")  # noqa: E731
    __sub__ = lambda self, o: self._binary("sub", o)  # noqa: E731
    __rsub__ = lambda self, o: self._binary("sub", o, "l")  # noqa: E731
    __mul__ = lambda self, o: self._binary("mul", o)  # noqa: E731
    __rmul__ = lambda self, o: self._binary("mul", o, "l")  # noqa: E731
    __truediv__ = lambda self, o: self._binary("div", o)  # noqa: E731
    __pow__ = lambda self, o: self._binary("pow", o)  # noqa: E731
    __lt__ = lambda self, o: self._binary("lt", o)  # noqa: E731
    __gt__ = lambda self, o: self._binary("lt", o, "l")  # noqa: E731
    __or__ = lambda self, o: self._binary("or", o)  # noqa: E731
    __neg__ = lambda self: self._op("neg")  # noqa: E731
    __abs__ = lambda self: self._op("abs")  # noqa: E731

    def _reduce(self, name: str, axis=None, keepdims=False) -> LazyArray:
        params = {"keepdims": keepdims} if axis is None else {"axis": axis, "keepdims": keepdims}
        return LazyArray(self.graph, self.graph.store.add_reduction(name, [self.id], params))

    def sum(self, axis=None, keepdims=False):
        return self._reduce("sum", axis, keepdims)

    def mean(self, axis=None, keepdims=False):
        return self._reduce("mean", axis, keepdims)

    def max(self, axis=None, keepdims=False):
        return self._reduce("max", axis, keepdims)

    def shuffle(self, partitions: int) -> LazyArray:
        return LazyArray(
            self.graph, self.graph.store.add_exchange([self.id], {"scheme": "hash", "partitions": partitions})
        )


def maximum(a, b):
    return a._binary("maximum", b)


def minimum(a, b):
    return a._binary("minimum", b)


def where(condition, a, b):
    return condition._op("where", a, b)


def tanh(x):
    return x._op("tanh")


def sqrt(x):
    return x._op("sqrt")


def log1p(x):
    return x._op("log1p")


def normalise(x):
    """Library code: 'make sure it is a float array', which is adding 0.0 and scaling by 1.0."""
    return 1.0 * (x + 0.0)


# Three feature helpers, as separate library functions would write them: each normalises its
# inputs again and computes revenue its own way round.
def spend_feature(price, qty):
    revenue = normalise(price) * normalise(qty)
    return tanh(log1p(revenue) * 0.25 - 1.0)


def shipping_feature(price, qty, weight):
    revenue = qty * price
    shipping = maximum(weight * qty + price, price + qty * weight)  # one value, written twice
    return minimum(maximum((revenue - shipping) / (revenue + 1.0), -1.0), 1.0)


def bulk_feature(qty, weight):
    heavy = (normalise(weight) > 2.0) | (qty > 6.0)
    return where(heavy, sqrt(abs(weight * qty)) * 0.1, (qty * weight) * 0.05)


def score_chunk(price, qty, weight):
    score = (
        0.5 * spend_feature(price, qty) + 0.3 * shipping_feature(price, qty, weight) + 0.2 * bulk_feature(qty, weight)
    )
    _debug = abs(score - normalise(score)).max()  # looked at once, never again: dead code
    return score, normalise(price * qty) - qty * weight


def record_pipeline(chunks: int, rows: int, seed: int = 0) -> tuple[Graph, list[int]]:
    graph, rng = Graph(), np.random.default_rng(seed)
    total_score = total_margin = None
    for i in range(chunks):
        price = graph.array(f"price/{i}", rng.uniform(1, 20, rows))
        qty = graph.array(f"qty/{i}", rng.integers(1, 9, rows).astype(float))
        weight = graph.array(f"weight/{i}", rng.uniform(0.1, 3, rows))
        score, margin = score_chunk(price, qty, weight)
        part_score, part_margin = score.shuffle(8).sum(), margin.sum()
        total_score = part_score if total_score is None else total_score + part_score
        total_margin = part_margin if total_margin is None else part_margin + total_margin
    best = maximum(total_score, total_margin * 0.001)
    return graph, [total_score.id, total_margin.id, best.id]


def same_values(want: list, got: list) -> bool:
    """Every requested output holds the same value, dtype and shape in both lists."""
    return all(
        a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)
        for a, b in zip(map(np.asarray, want), map(np.asarray, got), strict=True)
    )


def timed(step, *args):
    start = time.perf_counter()
    result = step(*args)
    return result, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--chunks", type=int, default=40)
    parser.add_argument("--rows", type=int, default=64)
    args = parser.parse_args()
    (graph, outputs), seconds = timed(lambda: record_pipeline(args.chunks, args.rows))
    print(f"recorded {graph.store.node_count()} nodes in {seconds * 1e3:.0f} ms")
    # `reduction.outputs` holds the reduced id of each requested output, in the order asked: the
    # reduced store marks merged outputs once, so its own marks cannot say which answers which.
    reduction, seconds = timed(lambda: run.reduce(graph.store, outputs))
    reduced, report = reduction.store, reduction.report
    print(f"reduced to {report['reduced_nodes']} nodes ({report['stages']} stages) in {seconds * 1e3:.0f} ms")
    want, seconds = timed(lambda: run.evaluate(graph.store, outputs, sources=graph.data))
    got, reduced_seconds = timed(lambda: run.evaluate(reduced, reduction.outputs, sources=graph.data))
    assert same_values(want, got)
    print(f"local: {seconds * 1e3:.0f} ms recorded, {reduced_seconds * 1e3:.0f} ms reduced; values {want}")

    from distributed import Client, LocalCluster  # noqa: PLC0415

    with (
        LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address="127.0.0.1:0") as cluster,
        Client(cluster) as client,
    ):
        for name, store, ids in [("recorded", graph.store, outputs), ("reduced", reduced, reduction.outputs)]:
            dsk, keys = run.to_dask(store, ids, sources=graph.data)
            values, seconds = timed(client.get, dsk, keys)
            assert same_values(want, values)
            print(f"cluster, {name}: {len(dsk)} tasks in {seconds:.2f} s")

    from demo import write_pictures  # noqa: PLC0415 (beside this file)

    print("a two-chunk pipeline before and after reduction:")
    small, small_outputs = record_pipeline(2, 8)
    marked = vc.GraphStore.deserialize(small.store.serialize(outputs=small_outputs))  # outputs drawn as such
    write_pictures({"lazy": marked, "lazy-reduced": run.reduce(small.store, small_outputs).store})


if __name__ == "__main__":
    main()
