"""Reduction benchmark: GraphStore.reduce against dask's cull + fuse, in one run.

For the shared generator's program at 10^4, 10^5 and 10^6 nodes, with the nodes nothing consumes
as outputs (minus a tenth, left dead), it reports
  - reduce time per node at each size, and how the largest size's cost compares with the
    smallest's (a flat cost per node means the pipeline scales linearly);
  - the rewrite engine's share of that time and how its run stopped, measured by the native
    program bench/native/reduce_bench on the same graph (written as an IR blob); a run cut
    short by the time limit would make results depend on the machine;
  - whether repeated reductions gave byte-identical stores;
  - the ratio against what a user would otherwise pick: the same graph as a dask task-graph
    dict run through dask.optimization's cull and fuse (dead-code elimination and linear
    fusion only).
Each side is measured in a fresh child process that reads the graph from the blob, so no run
inherits another's heap. Run against the installed module:
    .venv/bin/python bench/bench_reduce.py [--sizes 10000,100000,1000000] [--repeats 3]
The native program is looked up in build/*/bench/ (or named by VELTRIX_REDUCE_BENCH); build it
with -DVELTRIX_BUILD_BENCH=ON.
"""

from __future__ import annotations

import argparse
import gc
import glob
import json
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import graphgen  # noqa: E402


def load_store(path):
    import veltrix_core  # noqa: PLC0415

    with open(path, "rb") as f:
        return veltrix_core.GraphStore.deserialize(f.read())


# The dask side: one callable per node kind, as a framework would emit; fuse only looks at the
# graph's shape, never calls them.
def _source(name):
    return name


def _op(*args):
    return args


def _reduction(*args):
    return args


def _external(*args):
    return args


def _exchange(*args):
    return args


CALLABLES = {"source": _source, "op": _op, "reduction": _reduction, "external": _external, "exchange": _exchange}


def dask_graph(store):
    dsk = {}
    for view in store.nodes():
        key = f"n{view['id']}"
        if view["kind"] == "source":
            dsk[key] = (_source, view["name"])
        else:
            dsk[key] = (CALLABLES[view["kind"]], *[f"n{i}" for i in view["inputs"]])
    return dsk


def enough(times, repeats, budget):
    """Best-of-N timing: at least `repeats` runs, more while they are quick (small graphs are
    noisy), never past the time budget."""
    total = sum(times)
    return total > budget or len(times) >= 30 or (len(times) >= repeats and total >= 1.0)


def child(task, path, repeats, budget):
    store = load_store(path)
    outputs = store.outputs()
    times = []
    gc.collect()
    gc.disable()
    if task == "veltrix":
        blobs = set()
        while not enough(times, repeats, budget):
            start = time.perf_counter()
            reduced, report = store.reduce(outputs=outputs)
            times.append(time.perf_counter() - start)
            blobs.add(reduced.serialize())
            del reduced
        return {"seconds": min(times), "report": report, "identical": len(blobs) == 1, "runs": len(times)}
    from dask.optimization import cull, fuse  # noqa: PLC0415

    dsk = dask_graph(store)
    keys = [f"n{i}" for i in outputs]
    del store
    while not enough(times, repeats, budget):
        start = time.perf_counter()
        culled, dependencies = cull(dsk, keys)
        fused, _ = fuse(culled, keys=keys, dependencies=dependencies)
        times.append(time.perf_counter() - start)
        sizes = (len(culled), len(fused))
        del culled, fused, dependencies
    return {"seconds": min(times), "culled": sizes[0], "fused": sizes[1], "runs": len(times)}


def run_child(task, path, repeats, budget):
    out = subprocess.run(
        [sys.executable, __file__, "--child", task, path, str(repeats), str(budget)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def find_native():
    named = os.environ.get("VELTRIX_REDUCE_BENCH")
    if named:
        return named
    found = sorted(glob.glob(os.path.join(ROOT, "build", "*", "bench", "reduce_bench")), key=os.path.getmtime)
    return found[-1] if found else None


def run_native(binary, path, repeats):
    out = subprocess.run([binary, "--repeats", str(repeats), path], check=True, capture_output=True, text=True).stdout
    summary = next(line for line in out.splitlines() if line.startswith("summary "))
    fields = dict(re.findall(r"(\w+)=(\S+)", summary))
    return {
        "share": float(fields["engine_share"]),
        "stop": fields["stop"],
        "time_limit_hits": int(fields["time_limit_hits"]),
        "detail": out,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--verbose", action="store_true", help="print the native program's phase table too")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    native = find_native()

    import veltrix_core  # noqa: PLC0415

    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in sizes:
            program = graphgen.generate_program(n, seed=args.seed)
            store = veltrix_core.GraphStore()
            program.replay(store)
            outputs = program.sinks()
            path = os.path.join(tmp, f"graph-{n}.vir")
            with open(path, "wb") as f:
                f.write(store.serialize(outputs=outputs))
            del store, program
            gc.collect()

            ours = run_child("veltrix", path, args.repeats, budget=30.0)
            peer = run_child("dask", path, args.repeats, budget=60.0)
            engine = run_native(native, path, args.repeats) if native else None
            rows.append((n, len(outputs), ours, peer, engine))
            if args.verbose and engine:
                print(engine["detail"])

    print("reduce (GraphStore.reduce) vs dask.optimization cull + fuse; outputs = sinks minus a tenth")
    header = (
        f"{'nodes':>9} {'outputs':>8} {'reachable':>9} {'reduced':>8} {'reduce ms':>10} {'ns/node':>8} "
        f"{'engine':>7} {'stop':<18} {'same':>5} {'dask ms':>10} {'dask out':>9} {'speed-up':>9}"
    )
    print(header)
    for n, n_out, ours, peer, engine in rows:
        report = ours["report"]
        share = f"{engine['share'] * 100:.0f}%" if engine else "n/a"
        stop = engine["stop"] if engine else "n/a"
        print(
            f"{n:>9} {n_out:>8} {report['reachable_nodes']:>9} {report['reduced_nodes']:>8} "
            f"{ours['seconds'] * 1e3:>10.1f} {ours['seconds'] * 1e9 / n:>8.0f} {share:>7} {stop:<18} "
            f"{'yes' if ours['identical'] else 'NO':>5} {peer['seconds'] * 1e3:>10.1f} {peer['fused']:>9} "
            f"{peer['seconds'] / ours['seconds']:>8.1f}x"
        )
    first, last = rows[0], rows[-1]
    growth = (last[2]["seconds"] / last[0]) / (first[2]["seconds"] / first[0])
    print(f"cost per node, {last[0]} nodes / {first[0]} nodes: {growth:.2f}x (target: at most 1.5x)")
    print(
        f"speed-up over dask cull + fuse: {min(r[3]['seconds'] / r[2]['seconds'] for r in rows):.1f}x at worst "
        f"(target: at least 10x)"
    )
    if native:
        hits = sum(r[4]["time_limit_hits"] for r in rows)
        share = ", ".join(f"{r[4]['share'] * 100:.0f}%" for r in rows)
        print(f"engine share of the pipeline: {share}; runs stopped by the time limit: {hits} (target: none)")
    else:
        print("engine share and stop reason: build bench/native/reduce_bench (-DVELTRIX_BUILD_BENCH=ON) to see them")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        task, path, repeats, budget = sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
        print(json.dumps(child(task, path, repeats, budget)))
    else:
        main()
