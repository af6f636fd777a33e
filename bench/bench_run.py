"""Running benchmark: reduced graphs against the recorded ones, on a dask cluster and locally.

Workloads: the shared generator's evaluable programs (default 10^4 and 10^5 nodes, 4x4 arrays,
so that scheduling dominates as it does in real task graphs) and the example front end's
pipeline (examples/lazy.py) grown to about 10^4 nodes. For each it reports, reduced over
recorded, in one run:
  - dask tasks (one per node; a stage is one task) and the end-to-end wall time of running
    the graph on a LocalCluster of two single-threaded worker processes on loopback
    (client.get, from handing over the graph to having the values back), and the same with
    compiling included (recorded: lowering; reduced: reduce plus lowering);
  - compile time, reduce plus lowering, against dask's own optimization of the recorded
    graph's lowering: what dask applies to delayed graphs today (converting the tuple tasks,
    linear fusion, cull) and the older dask.optimization cull + fuse;
  - the local evaluator's peak bytes held against the sum of every value it computed;
  - soundness of every reduced form (bench/soundness.py) on larger programs than the tests run.
Compile timings run with the garbage collector off on both sides, best of a few runs.

    .venv/bin/python bench/bench_run.py [--sizes 10000,100000] [--chunks 192] [--repeats 2]
                                        [--soundness 30000,100000]
Targets: wall-time ratio no worse than the task-count ratio plus 0.1; the example pipeline at
least 2x faster end to end; compile time at least 5x faster than dask's optimization.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))

import graphgen  # noqa: E402
import soundness  # noqa: E402


def best_of(step, repeats: int, budget: float = 20.0) -> tuple[float, object]:
    times, result = [], None
    gc.collect()
    gc.disable()
    try:
        while len(times) < repeats or (sum(times) < 0.5 and len(times) < 20):
            start = time.perf_counter()
            result = step()
            times.append(time.perf_counter() - start)
            if sum(times) > budget:
                break
    finally:
        gc.enable()
    return min(times), result


def dask_optimizations(graph, keys):
    from dask._task_spec import convert_legacy_graph, fuse_linear_task_spec  # noqa: PLC0415
    from dask.highlevelgraph import HighLevelGraph  # noqa: PLC0415
    from dask.optimization import cull, fuse  # noqa: PLC0415

    def linear():
        fused = fuse_linear_task_spec(convert_legacy_graph(graph), keys)
        return HighLevelGraph.from_collections(id(fused), fused, dependencies=()).cull(set(keys))

    def legacy():
        culled, dependencies = cull(graph, keys)
        return fuse(culled, keys=keys, dependencies=dependencies)[0]

    return {"linear fusion": linear, "cull+fuse": legacy}


def views_to_tasks(store) -> dict:
    """What any lowering through node views costs at least: reading the views and writing one
    task per node, with no registry lookup, no check and no plan."""
    views = store.nodes()
    names = ["veltrix-0123456789ab-" + text for text in map(str, range(len(views)))]
    graph = {}
    for view in views:
        graph[names[view["id"]]] = (len, view["id"], *[names[i] for i in view["inputs"]])
    return graph


def generator_workload(n: int, seed: int = 1):
    import veltrix_core as vc  # noqa: PLC0415

    store = vc.GraphStore()
    program, kwargs = graphgen.recorded_evaluable(n, seed, store)
    return store, program.sinks(seed), kwargs


def lazy_workload(chunks: int, rows: int):
    import lazy  # noqa: PLC0415

    graph, outputs = lazy.record_pipeline(chunks, rows)
    return graph.store, outputs, {"sources": graph.data}


def measure(name, store, outputs, kwargs, client, repeats):
    from veltrix_core import run  # noqa: PLC0415

    row = {"name": name, "nodes": store.node_count()}
    run.to_dask(store, outputs, **kwargs)  # imports and first-call costs out of the way
    row["lower"], (graph, keys) = best_of(lambda: run.to_dask(store, outputs, **kwargs), repeats)

    def compile_reduced():
        reduction = run.reduce(store, outputs)
        return reduction, run.to_dask(reduction.store, reduction.outputs, **kwargs)

    row["compile"], (reduction, (reduced_graph, reduced_keys)) = best_of(compile_reduced, repeats)
    reduced, mapped = reduction.store, reduction.outputs
    row["reduce"], _ = best_of(lambda: store.reduce(outputs=outputs), repeats)
    row["floor"], _ = best_of(lambda: views_to_tasks(store.reduce(outputs=outputs)[0]), repeats)
    row["dask"] = {label: best_of(step, repeats)[0] for label, step in dask_optimizations(graph, keys).items()}
    row["tasks"], row["reduced tasks"] = len(graph), len(reduced_graph)

    want, memory = run.evaluate_measured(store, outputs, **kwargs)
    got, reduced_memory = run.evaluate_measured(reduced, mapped, **kwargs)
    row["memory"], row["reduced memory"] = memory, reduced_memory
    row["local agrees"] = not soundness.compare_outputs(want, got)

    def on_cluster(g, k):
        start = time.perf_counter()
        values = client.get(g, k)
        return time.perf_counter() - start, values

    runs, reduced_runs = [], []
    for _ in range(repeats):  # alternate, so that a slow spell of the machine hits both sides
        seconds, values = on_cluster(*run.to_dask(store, outputs, **kwargs))
        runs.append(seconds)
        seconds, reduced_values = on_cluster(*run.to_dask(reduced, mapped, **kwargs))
        reduced_runs.append(seconds)
    row["cluster agrees"] = not soundness.compare_outputs(want, list(values)) and not soundness.compare_outputs(
        want, list(reduced_values)
    )
    row["run"], row["reduced run"] = min(runs), min(reduced_runs)
    return row


def report(rows):
    print("\ndask tasks and wall time on a two-worker LocalCluster, reduced / recorded")
    print(
        f"{'workload':<22} {'nodes':>7} {'tasks':>7} {'reduced':>7} {'task ratio':>10} {'run s':>7} "
        f"{'reduced s':>9} {'time ratio':>10} {'target':>7} {'e2e ratio':>9} {'speed-up':>8} {'same':>5}"
    )
    for r in rows:
        task_ratio = r["reduced tasks"] / r["tasks"]
        time_ratio = r["reduced run"] / r["run"]
        e2e = (r["compile"] + r["reduced run"]) / (r["lower"] + r["run"])
        ok = "yes" if time_ratio <= task_ratio + 0.1 else "NO"
        same = "yes" if r["local agrees"] and r["cluster agrees"] else "NO"
        print(
            f"{r['name']:<22} {r['nodes']:>7} {r['tasks']:>7} {r['reduced tasks']:>7} {task_ratio:>10.3f} "
            f"{r['run']:>7.2f} {r['reduced run']:>9.2f} {time_ratio:>10.3f} {ok:>7} {e2e:>9.3f} {1 / e2e:>7.2f}x {same:>5}"
        )

    print(
        "\ncompile: reduce + lowering of the reduced graph, against dask's optimization of the recorded "
        "graph's lowering (GC off, best of runs)"
    )
    print(
        f"{'workload':<22} {'reduce ms':>9} {'compile ms':>10} {'lower rec. ms':>13} {'linear ms':>12} "
        f"{'ratio':>6} {'cull+fuse ms':>12} {'ratio':>6} {'floor ms':>9} {'ratio':>6}"
    )
    for r in rows:
        linear, legacy = r["dask"]["linear fusion"], r["dask"]["cull+fuse"]
        print(
            f"{r['name']:<22} {r['reduce'] * 1e3:>9.1f} {r['compile'] * 1e3:>10.1f} {r['lower'] * 1e3:>13.1f} "
            f"{linear * 1e3:>12.1f} {linear / r['compile']:>5.1f}x {legacy * 1e3:>12.1f} {legacy / r['compile']:>5.1f}x "
            f"{r['floor'] * 1e3:>9.1f} {linear / r['floor']:>5.1f}x"
        )
    print(
        "  floor: reduce, then node views read and one task written per node with no registry lookup or "
        "check (the least any lowering through views costs)"
    )

    print("\nlocal evaluator: peak bytes held against the sum of every value computed")
    print(
        f"{'workload':<22} {'graph':<9} {'values':>7} {'sum KiB':>10} {'peak KiB':>10} {'peak/sum':>9} {'peak values':>11}"
    )
    for r in rows:
        for label, m in (("recorded", r["memory"]), ("reduced", r["reduced memory"])):
            print(
                f"{r['name']:<22} {label:<9} {m.nodes_run:>7} {m.total_bytes / 1024:>10.1f} "
                f"{m.peak_bytes / 1024:>10.1f} {m.peak_bytes / m.total_bytes:>9.4f} {m.peak_values:>11}"
            )


def memory_at_scale(chunks: int, rows: int):
    """The example pipeline on large arrays: the evaluator's own count and what tracemalloc saw."""
    from veltrix_core import run  # noqa: PLC0415

    store, outputs, kwargs = lazy_workload(chunks, rows)
    reduced, _, mapped = run.reduce(store, outputs)
    print(
        f"\nexample pipeline, {chunks} chunks of {rows} rows: peak against sum of values, and the "
        f"process's traced peak during evaluation (sources excluded: they exist beforehand)"
    )
    for label, graph, ids in (("recorded", store, outputs), ("reduced", reduced, mapped)):
        tracemalloc.start()
        _, m = run.evaluate_measured(graph, ids, **kwargs)
        traced = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print(
            f"  {label:<9} sum {m.total_bytes / 2**20:8.1f} MiB  peak {m.peak_bytes / 2**20:7.1f} MiB "
            f"({m.peak_bytes / m.total_bytes:.3f} of the sum)  traced peak {traced / 2**20:7.1f} MiB"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000")
    parser.add_argument("--chunks", type=int, default=192, help="example pipeline chunks (192: about 10^4 nodes)")
    parser.add_argument("--rows", type=int, default=64)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--soundness", default="30000,100000", help="program sizes for the soundness check")
    args = parser.parse_args()
    import distributed  # noqa: PLC0415
    from loopback_cluster import two_workers  # noqa: PLC0415

    rows = []
    with two_workers(distributed, 600) as client:
        client.get({"warm": (sum, [1, 2])}, ["warm"])
        for n in [int(s) for s in args.sizes.split(",") if s]:
            store, outputs, kwargs = generator_workload(n)
            rows.append(measure(f"generator {n}", store, outputs, kwargs, client, args.repeats))
            print(f"measured generator {n}", flush=True)
        store, outputs, kwargs = lazy_workload(args.chunks, args.rows)
        rows.append(measure(f"example x{args.chunks}", store, outputs, kwargs, client, args.repeats))
    report(rows)
    memory_at_scale(16, 200_000)

    print("\nsoundness: every reduced form against the recorded program (bench/soundness.py)")
    for n in [int(s) for s in args.soundness.split(",") if s]:
        start = time.perf_counter()
        outcome = soundness.check_program(n, seed=n % 97)
        verdict = "all equal" if outcome.ok else {k: v[:3] for k, v in outcome.problems.items() if v}
        sizes = ", ".join(f"{k} {v}" for k, v in outcome.sizes.items())
        print(f"  {n} nodes, {outcome.outputs} outputs ({sizes}): {verdict} [{time.perf_counter() - start:.1f} s]")


if __name__ == "__main__":
    main()
