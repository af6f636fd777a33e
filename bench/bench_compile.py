"""Compile benchmark: reduce a recorded program and lower the reduced graph to a dask graph,
against dask's linear fusion of the recorded graph's lowering, in one run, and where the
compile time goes.

For the shared generator's evaluable programs (default 10^4, 10^5 and 10^6 nodes) it reports
the steps of a compile in milliseconds and per node of the reduced graph: reduction
(veltrix_core.run.reduce), reading the reduced store as columns, building the run plan
(one implementation per node shape), writing the dask graph; and dask's own optimization of
the recorded graph's lowering as it applies it to delayed graphs (converting the tuple tasks to
task objects, then linear fusion and cull). Timings run with the garbage collector off, best
of a few runs.

    .venv/bin/python bench/bench_compile.py [--sizes 10000,100000,1000000] [--repeats 3]
Sizes below 10^5 get more runs than --repeats (up to 20). Target: compile at least 8x faster than dask's linear fusion, with the plan time per node flat
from 10^4 to 10^6 nodes.
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import graphgen  # noqa: E402
from timing import best_of  # noqa: E402


def measure(n: int, repeats: int) -> dict:
    from dask._task_spec import convert_legacy_graph, fuse_linear_task_spec  # noqa: PLC0415
    from dask.highlevelgraph import HighLevelGraph  # noqa: PLC0415

    import veltrix_core as vc  # noqa: PLC0415
    from veltrix_core import columns, run  # noqa: PLC0415
    from veltrix_core.run.lowering import lower_plan  # noqa: PLC0415
    from veltrix_core.run.plan import read_plan  # noqa: PLC0415

    store = vc.GraphStore()
    program, kwargs = graphgen.recorded_evaluable(n, 1, store)
    outputs = program.sinks(1)
    sources, models = kwargs["sources"], kwargs.get("models")

    def compile_():
        reduction = run.reduce(store, outputs)
        return run.to_dask(reduction.store, reduction.outputs, **kwargs)

    row = {"nodes": store.node_count()}
    row["compile"], _ = best_of(compile_, repeats)
    row["reduce"], reduction = best_of(lambda: run.reduce(store, outputs), repeats)
    reduced, mapped = reduction.store, reduction.outputs
    row["reduced"] = reduced.node_count()
    row["columns"], _ = best_of(lambda: columns.read(reduced, mapped), repeats)
    row["plan"], plan = best_of(lambda: read_plan(reduced, mapped, sources, None, models), repeats)
    row["lower"], _ = best_of(lambda: lower_plan(plan), repeats)
    row["nodes()"], _ = best_of(reduced.nodes, repeats)

    graph, keys = run.to_dask(store, outputs, **kwargs)

    def linear():
        fused = fuse_linear_task_spec(convert_legacy_graph(graph), keys)
        return HighLevelGraph.from_collections(id(fused), fused, dependencies=()).cull(set(keys))

    row["dask"], _ = best_of(linear, max(1, repeats - 1))
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    # A compile of 10^4 nodes takes milliseconds, where one preempted run on a busy machine costs
    # as much again: small sizes get more runs (as many as cost about one run of 10^5 nodes).
    rows = [measure(int(n), max(args.repeats, min(20, 10**5 // int(n)))) for n in args.sizes.split(",")]
    print(
        "compile = reduce + lowering of the reduced graph to dask, against dask's linear fusion of the recorded graph"
    )
    print(
        f"{'nodes':>9} {'reduced':>8} {'reduce ms':>9} {'columns':>8} {'plan ms':>8} {'lower ms':>8} "
        f"{'compile ms':>10} {'dask ms':>9} {'speed-up':>8} {'plan ns/node':>12} {'nodes() ms':>10}"
    )
    for r in rows:
        print(
            f"{r['nodes']:>9} {r['reduced']:>8} {r['reduce'] * 1e3:>9.1f} {r['columns'] * 1e3:>8.1f} "
            f"{r['plan'] * 1e3:>8.1f} {r['lower'] * 1e3:>8.1f} {r['compile'] * 1e3:>10.1f} {r['dask'] * 1e3:>9.1f} "
            f"{r['dask'] / r['compile']:>7.1f}x {r['plan'] / r['reduced'] * 1e9:>12.0f} {r['nodes()'] * 1e3:>10.1f}"
        )
    print("(target: speed-up at least 8x; plan time per node flat; the plan includes reading the columns)")


if __name__ == "__main__":
    main()
