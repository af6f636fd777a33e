"""Dask optimizer benchmark: veltrix_core.dask.optimize against dask's own array optimizer
(dask.array.optimization.optimize) on dask.array graphs, both measured in the same run.

Programs, each sized to about 10^4, 10^5 and 10^6 tasks as dask materializes them after its
blockwise fusion (``--sizes``):

- elementwise: a chain of ufuncs and arithmetic over a random array of many chunks;
- elementwise numpy input: the same over ``from_array`` of a numpy array;
- tree reduction: a sum with ``split_every=4`` over an elementwise product of random arrays;
- rechunk: a random array rechunked, shifted, rechunked across the other axis and summed.

For each it reports, in milliseconds and as ratios (dask's time over ours, so above 1 means
faster):

- the optimizer call as a whole, as dask calls it (``array_optimize(graph, keys)``);
- the part after materialization: dask's cull, convert_legacy_graph, linear fusion and slice
  fusion, against the optimizer's recording (which reads Blockwise layers block by block
  without materializing them), the batched record call, the reduction and the writing back;
- recording against convert_legacy_graph on dask's materialized graph;
- the tasks each leaves (an Alias that only renames a key is not a task);
- with ``--cluster-sizes``, compute() on a two-worker LocalCluster on loopback with each
  optimizer: wall time and tasks.

Timings run with the garbage collector off, best of ``--repeats`` runs (one at 10^6 tasks).

    PYTHONPATH=build/overlay .venv/bin/python bench/bench_dask_optimizer.py [--sizes 10000,100000,1000000]
        [--repeats 3] [--cluster-sizes 10000,100000]

Targets: the part after materialization at least 5x faster than dask's, the whole call at least
2x, recording at least 3x faster than convert_legacy_graph, never more tasks than dask leaves,
and compute() on the cluster no slower.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from timing import best_of  # noqa: E402


def _elementwise(size: int):
    import dask.array as da  # noqa: PLC0415

    chunks = max(1, size // 2)  # a random chunk and one fused elementwise task per chunk
    x = da.random.default_rng(0).random((chunks * 100,), chunks=100)
    return ((da.sin(x) + 1) * 2 - da.cos(x)) * x


def _elementwise_numpy(size: int):
    import dask.array as da  # noqa: PLC0415
    import numpy as np  # noqa: PLC0415

    chunks = max(1, size)  # one fused read-and-compute task per chunk
    x = da.from_array(np.arange(chunks * 100, dtype=np.float64), chunks=100)
    return ((da.sin(x) + 1) * 2 - da.cos(x)) * x


def _tree(size: int):
    import dask.array as da  # noqa: PLC0415

    side = max(2, round(math.sqrt(size / 3.4)))
    x = da.random.default_rng(1).random((side * 8, side * 8), chunks=8)
    y = da.random.default_rng(2).random((side * 8, side * 8), chunks=8)
    return (x * y + 1).sum(split_every=4)


def _rechunk(size: int):
    import dask.array as da  # noqa: PLC0415

    side = max(2, round(math.sqrt(size / 8.1)))
    x = da.random.default_rng(3).random((side * 4, side * 4), chunks=4)
    return ((x.rechunk((8, 2)) + 1).rechunk((2, 8)) * 2).sum(axis=0)


PROGRAMS = {
    "elementwise": _elementwise,
    "elementwise numpy input": _elementwise_numpy,
    "tree reduction": _tree,
    "rechunk": _rechunk,
}


def tasks(graph) -> int:
    from dask._task_spec import Alias  # noqa: PLC0415

    return sum(not isinstance(node, Alias) for node in dict(graph).values())


def dask_steps(graph, keys) -> dict:
    """dask's array optimizer, step by step: the same steps as dask.array.optimization.optimize."""
    from dask._task_spec import convert_legacy_graph, fuse_linear_task_spec  # noqa: PLC0415
    from dask.array.optimization import _optimize_slices  # noqa: PLC0415
    from dask.blockwise import fuse_roots, optimize_blockwise  # noqa: PLC0415
    from dask.core import flatten  # noqa: PLC0415
    from dask.utils import ensure_dict  # noqa: PLC0415

    steps = {}
    flat = list(flatten(keys))
    start = time.perf_counter()
    hlg = fuse_roots(optimize_blockwise(graph, keys=flat), keys=flat)
    steps["high-level"] = time.perf_counter() - start
    start = time.perf_counter()
    culled = hlg.cull(set(flat))
    steps["cull"] = time.perf_counter() - start
    start = time.perf_counter()
    materialized = ensure_dict(culled)
    steps["materialize"] = time.perf_counter() - start
    start = time.perf_counter()
    converted = convert_legacy_graph(materialized)
    steps["convert"] = time.perf_counter() - start
    start = time.perf_counter()
    fused = fuse_linear_task_spec(converted, keys=flat)
    steps["fuse"] = time.perf_counter() - start
    start = time.perf_counter()
    _optimize_slices(fused)
    steps["slices"] = time.perf_counter() - start
    steps["materialized tasks"] = len(materialized)
    return steps


def measure(name: str, size: int, repeats: int) -> dict:
    from dask.array.optimization import optimize as dask_optimize  # noqa: PLC0415
    from dask.core import flatten  # noqa: PLC0415

    import veltrix_core.dask as vd  # noqa: PLC0415
    from veltrix_core.dask import _optimize  # noqa: PLC0415

    array = PROGRAMS[name](size)
    graph, keys = array.__dask_graph__(), array.__dask_keys__()
    row = {"program": name, "size": size}
    row["dask"], dask_graph = best_of(lambda: dask_optimize(graph, keys), repeats)
    row["ours"], our_graph = best_of(lambda: vd.optimize(graph, keys), repeats)
    row["dask tasks"], row["our tasks"] = tasks(dask_graph), tasks(our_graph)
    steps = {}
    for _ in range(repeats):
        gc.disable()
        try:
            found = dask_steps(graph, keys)
        finally:
            gc.enable()
        steps = {k: min(v, steps.get(k, v)) for k, v in found.items()}
    row.update({f"dask {k}": v for k, v in steps.items()})
    phases: dict = {}
    for _ in range(repeats):
        timings: dict = {}
        gc.disable()
        try:
            _optimize.optimize_graph(graph, keys, array=True, timings=timings)
        finally:
            gc.enable()
        phases = {k: min(v, phases.get(k, v)) for k, v in timings.items()}
    row.update({f"our {k}": v for k, v in phases.items()})
    row["dask after"] = sum(steps[k] for k in ("cull", "convert", "fuse", "slices"))
    row["our after"] = sum(phases[k] for k in ("recording", "columns", "reduction", "writing"))
    row["keys"] = len(list(flatten(keys)))
    return row


def cluster_rows(sizes: list[int]) -> list[dict]:
    import dask  # noqa: PLC0415
    import distributed  # noqa: PLC0415

    import veltrix_core.dask as vd  # noqa: PLC0415

    rows = []
    from loopback_cluster import two_workers  # noqa: PLC0415

    with two_workers(distributed, 120) as client:
        for size in sizes:
            for name, program in PROGRAMS.items():
                array = program(size)
                graph, keys = array.__dask_graph__(), array.__dask_keys__()
                row = {"program": name, "size": size}
                for label, optimizer in (("dask", None), ("ours", vd.optimize)):
                    settings = {"array_optimize": optimizer} if optimizer else {}
                    with dask.config.set(settings):
                        optimized = array.__dask_optimize__(graph, keys)
                        row[f"{label} tasks"] = tasks(optimized)
                        best = float("inf")
                        for _ in range(2):
                            start = time.perf_counter()
                            client.compute(array).result(timeout=1800)
                            best = min(best, time.perf_counter() - start)
                        row[label] = best
                rows.append(row)
    return rows


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:9.1f}"


def report(rows: list[dict]) -> None:
    print("\nThe optimizer call (ms; ratio = dask / ours)")
    print(f"{'program':26} {'tasks':>9} {'dask':>9} {'ours':>9} {'ratio':>6}   tasks left: dask  ours")
    for r in rows:
        ratio = r["dask"] / r["ours"]
        print(
            f"{r['program']:26} {r['dask materialized tasks']:9d} {ms(r['dask'])} {ms(r['ours'])} {ratio:6.2f}"
            f"   {r['dask tasks']:>15d} {r['our tasks']:5d}"
        )
    print("\nAfter materialization (ms): dask cull+convert+fuse+slices, ours recording+columns+reduction+writing")
    print(f"{'program':26} {'tasks':>9} {'dask':>9} {'ours':>9} {'ratio':>6}   {'materialize':>11} {'our layers':>10}")
    for r in rows:
        print(
            f"{r['program']:26} {r['dask materialized tasks']:9d} {ms(r['dask after'])} {ms(r['our after'])}"
            f" {r['dask after'] / r['our after']:6.2f}   {ms(r['dask materialize']):>11} {ms(r['our layers']):>10}"
        )
    print("\nRecording (ms): convert_legacy_graph of dask's materialized graph, ours recording+columns")
    print(f"{'program':26} {'tasks':>9} {'rows':>9} {'convert':>9} {'ours':>9} {'ratio':>6}")
    for r in rows:
        ours = r["our recording"] + r["our columns"]
        print(
            f"{r['program']:26} {r['dask materialized tasks']:9d} {int(r['our rows']):9d} {ms(r['dask convert'])}"
            f" {ms(ours)} {r['dask convert'] / ours:6.2f}"
        )
    print("\nOur steps (ms)")
    names = ["high-level", "layers", "recording", "columns", "reduction", "writing"]
    print(f"{'program':26} {'tasks':>9} " + " ".join(f"{n:>10}" for n in names))
    for r in rows:
        print(
            f"{r['program']:26} {r['dask materialized tasks']:9d} "
            + " ".join(f"{ms(r['our ' + n]):>10}" for n in names)
        )


def report_cluster(rows: list[dict]) -> None:
    print("\ncompute() on a two-worker LocalCluster (s; ratio = dask / ours)")
    print(f"{'program':26} {'size':>9} {'dask':>8} {'ours':>8} {'ratio':>6}   tasks: dask  ours")
    for r in rows:
        print(
            f"{r['program']:26} {r['size']:9d} {r['dask']:8.2f} {r['ours']:8.2f} {r['dask'] / r['ours']:6.2f}"
            f"   {r['dask tasks']:>11d} {r['our tasks']:5d}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cluster-sizes", default="", help="sizes to compute on a LocalCluster (10^4 takes minutes)")
    parser.add_argument("--programs", default=",".join(PROGRAMS), help="a comma-separated subset")
    args = parser.parse_args()
    warnings.simplefilter("error")  # a graph the optimizer declines would not be measured
    rows = []
    for size in [int(s) for s in args.sizes.split(",") if s]:
        for name in args.programs.split(","):
            repeats = 1 if size >= 1_000_000 else args.repeats
            rows.append(measure(name, size, repeats))
            print(f"measured {name} at {size} tasks", flush=True)
    if rows:
        report(rows)
    cluster_sizes = [int(s) for s in args.cluster_sizes.split(",") if s]
    if cluster_sizes:
        warnings.simplefilter("default")
        report_cluster(cluster_rows(cluster_sizes))


if __name__ == "__main__":
    main()
