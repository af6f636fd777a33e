"""Recording benchmark: GraphStore against a plain-Python interning store, in one run.

For the generated program of 10^4, 10^5 and 10^6 nodes it reports
  - the per-call time of the add_* calls (arguments prepared beforehand) against the peer's own
    add calls,
  - batched recording (veltrix_core.columns.record, the same calls as columns prepared
    beforehand) per row against the peer and against the add_* calls, and its memory per node;
    once with a params dict per row, once with the params as a table the rows index,
  - reading the columns of every node (veltrix_core.columns.read) against nodes(),
  - nodes() against pickle.loads of an identical list of dicts,
  - resident memory per node against the peer, measured as the growth of the resident set,
and prints the ratios. Every measurement runs in a fresh child process that loads the prepared
program from a file, so no run inherits another's heap (the generator itself leaves a large,
fragmented heap behind). Run against the installed module:
    .venv/bin/python bench/bench_recording.py [--sizes 100000,1000000]
"""

from __future__ import annotations

import argparse
import array
import gc
import json
import os
import pickle
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import graphgen  # noqa: E402
from pure_python_store import PurePythonStore  # noqa: E402

METHODS = ("add_source", "add_op", "add_reduction", "add_external", "add_exchange")


def make_store(kind):
    if kind == "veltrix":
        import veltrix_core  # noqa: PLC0415

        return veltrix_core.GraphStore()
    return PurePythonStore()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


KIND_CODES = {"add_source": 0, "add_op": 1, "add_reduction": 2, "add_external": 3, "add_exchange": 5}


def as_columns(calls, share_params=False):
    """The add_* calls as the columns of one batch: every input names an existing id, as the
    calls' own arguments do. With `share_params`, equal params dicts are one object, as a front
    end that holds its graph as columns keeps them (a params table)."""
    kinds, names, params, descriptors, offsets, inputs = bytearray(), [], [], [], [0], []
    for name, args in calls:
        kinds.append(KIND_CODES[name])
        if name == "add_source":
            names.append(args[0]), params.append(args[1] if len(args) > 1 else None), descriptors.append(None)
        elif name == "add_external":
            names.append(None), params.append(args[2] if len(args) > 2 else None), descriptors.append(args[0])
            inputs.extend(args[1])
        elif name == "add_exchange":
            names.append(None), params.append(args[1] if len(args) > 1 else None), descriptors.append(None)
            inputs.extend(args[0])
        else:
            names.append(args[0]), params.append(args[2] if len(args) > 2 else None), descriptors.append(None)
            inputs.extend(args[1])
        offsets.append(len(inputs))
    if share_params:
        table = {}
        params = [
            None if p is None else table.setdefault(tuple((k, type(v), repr(v)) for k, v in p.items()), p)
            for p in params
        ]
    return bytes(kinds), names, params, descriptors, array.array("q", offsets), array.array("q", inputs)


def as_table_columns(calls):
    """The same batch with its params as a table the rows index (`param_rows`): each distinct
    params dict once, as a front end that holds its graph as columns keeps them."""
    kinds, names, params, descriptors, offsets, inputs = as_columns(calls, share_params=True)
    entries: dict[int, tuple[int, object]] = {}
    rows = array.array("q", (entries.setdefault(id(p), (len(entries), p))[0] for p in params))
    table = [p for _, p in entries.values()]
    return (kinds, names, table, descriptors, offsets, inputs), {"param_rows": rows}


def child(task, kind, path, repeats):
    with open(path, "rb") as f:
        calls = pickle.load(f)
    gc.collect()
    if task in ("batch", "batch-memory", "batch-table"):
        from veltrix_core import columns  # noqa: PLC0415

        batch, options = (as_columns(calls), {}) if task != "batch-table" else as_table_columns(calls)
        if task == "batch-memory":
            gc.collect()
            before = resident_bytes()
            store = make_store("veltrix")
            columns.record(store, *batch)
            del batch
            gc.collect()
            return {"per_node": (resident_bytes() - before) / store.node_count()}
        best = float("inf")
        for _ in range(repeats):
            store = make_store("veltrix")
            gc.disable()
            start = time.perf_counter()
            columns.record(store, *batch, **options)
            best = min(best, time.perf_counter() - start)
            gc.enable()
            del store
            gc.collect()
        return {"per_call": best / len(calls)}
    if task == "columns":
        from veltrix_core import columns  # noqa: PLC0415

        store = make_store("veltrix")
        columns.record(store, *as_columns(calls))
        views = read = float("inf")
        for _ in range(repeats):
            gc.collect()
            start = time.perf_counter()
            result = store.nodes()
            views = min(views, time.perf_counter() - start)
            del result
            gc.collect()
            start = time.perf_counter()
            result = columns.read(store)
            read = min(read, time.perf_counter() - start)
            del result
        return {"views": views, "read": read}
    if task == "record":
        best = float("inf")
        for _ in range(repeats):
            store = make_store(kind)
            methods = {name: getattr(store, name) for name in METHODS}
            bound = [(methods[name], args) for name, args in calls]
            gc.disable()
            start = time.perf_counter()
            for method, args in bound:
                method(*args)
            best = min(best, time.perf_counter() - start)
            gc.enable()
            del store, bound, methods
            gc.collect()
        return {"per_call": best / len(calls)}
    if task == "memory":
        before = resident_bytes()
        store = make_store(kind)
        methods = {name: getattr(store, name) for name in METHODS}
        for name, args in calls:
            methods[name](*args)
        gc.collect()
        return {"per_node": (resident_bytes() - before) / store.node_count()}
    if task == "views":
        store = make_store("veltrix")
        methods = {name: getattr(store, name) for name in METHODS}
        for name, args in calls:
            methods[name](*args)
        blob = pickle.dumps(store.nodes(), protocol=pickle.HIGHEST_PROTOCOL)
        views = loads = float("inf")
        for _ in range(repeats):
            gc.collect()
            start = time.perf_counter()
            result = store.nodes()
            views = min(views, time.perf_counter() - start)
            del result
            gc.collect()
            start = time.perf_counter()
            result = pickle.loads(blob)
            loads = min(loads, time.perf_counter() - start)
            del result
        return {"views": views, "loads": loads}
    raise ValueError(task)


def run_child(task, kind, path, repeats):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", task, kind, path, str(repeats)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", nargs=4, metavar=("TASK", "KIND", "PATH", "REPEATS"))
    args = parser.parse_args()
    if args.child:
        task, kind, path, repeats = args.child
        print(json.dumps(child(task, kind, path, int(repeats))))
        return

    print("recording benchmark: GraphStore vs a pure-Python interning store (same program, same run)")
    with tempfile.TemporaryDirectory() as tmp:
        for n in (int(s) for s in args.sizes.split(",")):
            program = graphgen.generate_program(n, args.seed)
            path = os.path.join(tmp, f"program-{n}.pickle")
            with open(path, "wb") as f:
                pickle.dump(program.calls, f, protocol=pickle.HIGHEST_PROTOCOL)
            calls, duplicates = len(program.calls), program.duplicate_calls
            del program
            ours = run_child("record", "veltrix", path, args.repeats)["per_call"]
            peer = run_child("record", "peer", path, args.repeats)["per_call"]
            views = run_child("views", "veltrix", path, args.repeats)
            batched = run_child("batch", "veltrix", path, args.repeats)["per_call"]
            tabled = run_child("batch-table", "veltrix", path, args.repeats)["per_call"]
            read = run_child("columns", "veltrix", path, args.repeats)
            mem_ours = run_child("memory", "veltrix", path, 1)["per_node"]
            mem_peer = run_child("memory", "peer", path, 1)["per_node"]
            mem_batch = run_child("batch-memory", "veltrix", path, 1)["per_node"]
            print(f"\nn = {n:,} nodes ({calls:,} add calls, {duplicates / calls:.0%} re-recorded)")
            print(
                f"  add_* per call    {ours * 1e9:8.0f} ns   peer {peer * 1e9:8.0f} ns   "
                f"speed-up {peer / ours:5.2f}x   (target >= 4x)"
            )
            print(
                f"  batched per row   {batched * 1e9:8.0f} ns   peer {peer / batched:5.2f}x faster (target >= 15x)   "
                f"add_* {ours / batched:5.2f}x faster (target >= 4x)"
            )
            print(
                f"  params as table   {tabled * 1e9:8.0f} ns   peer {peer / tabled:5.2f}x faster                 "
                f"add_* {ours / tabled:5.2f}x faster"
            )
            print(
                f"  columns.read      {read['read'] * 1e3:8.1f} ms   nodes() {read['views'] * 1e3:8.1f} ms   "
                f"{read['views'] / read['read']:5.1f}x faster (target >= 10x)"
            )
            print(
                f"  nodes()           {views['views'] * 1e3:8.1f} ms   pickle.loads {views['loads'] * 1e3:8.1f} ms   "
                f"ratio {views['views'] / views['loads']:5.2f}   (target <= 1.5)"
            )
            print(
                f"  memory per node   {mem_ours:8.1f} B    peer {mem_peer:8.1f} B    "
                f"ratio {mem_ours / mem_peer:5.3f}   (target <= 0.25)"
            )
            print(f"  batched memory    {mem_batch:8.1f} B    per call {mem_ours:8.1f} B   (target: no more)")


if __name__ == "__main__":
    main()
