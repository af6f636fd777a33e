"""Incremental reduction benchmark, ratios measured in one run.

1. While recording the generated program of 10^6 nodes, an IncrementalReducer steps every 1,000
   nodes. Reported: the step cost per node against the cost of the add_* calls themselves
   (target: at most 0.5x, so incremental upkeep adds at most half to recording).
2. On a program where about half the recorded nodes are commuted twins or identity ops:
   finalize (after stepping along) against reduce of the same store with the same outputs
   (target: finalize at least 1.5x faster).

Each part runs in a fresh child process that loads the prepared program from a file.
    .venv/bin/python bench/bench_incremental.py [--nodes 1000000]
"""

from __future__ import annotations

import argparse
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

METHODS = ("add_source", "add_op", "add_reduction", "add_external", "add_exchange")
STEP_EVERY = 1000


def bind(store, calls):
    methods = {name: getattr(store, name) for name in METHODS}
    return [(methods[name], args) for name, args in calls]


def step_points(calls):
    """Indices of the calls after which the store's node count reaches a multiple of 1,000."""
    import veltrix_core  # noqa: PLC0415

    store = veltrix_core.GraphStore()
    points, next_mark = [], STEP_EVERY
    for index, (method, args) in enumerate(bind(store, calls)):
        method(*args)
        if store.node_count() >= next_mark:
            points.append(index)
            next_mark += STEP_EVERY
    return points


def child_steps(calls, repeats):
    import veltrix_core  # noqa: PLC0415

    points = step_points(calls)
    record = steps = float("inf")
    for _ in range(repeats):
        store = veltrix_core.GraphStore()
        bound = bind(store, calls)
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        for method, args in bound:
            method(*args)
        record = min(record, time.perf_counter() - start)
        gc.enable()

        store = veltrix_core.GraphStore()
        reducer = veltrix_core.IncrementalReducer()
        bound = bind(store, calls)
        gc.collect()
        gc.disable()
        spent, position = 0.0, 0
        for index in points + [len(bound) - 1]:
            for method, args in bound[position : index + 1]:
                method(*args)
            position = index + 1
            start = time.perf_counter()
            reducer.step(store)
            spent += time.perf_counter() - start
        gc.enable()
        steps = min(steps, spent)
        assert reducer.total_work() == store.node_count()
    return {"add_per_call": record / len(calls), "step_per_node": steps / store.node_count(), "steps": len(points) + 1}


def child_finalize(calls, outputs, repeats):
    import veltrix_core  # noqa: PLC0415

    points = set(step_points(calls))
    best_finalize = best_reduce = float("inf")
    for _ in range(repeats):
        store = veltrix_core.GraphStore()
        reducer = veltrix_core.IncrementalReducer()
        for index, (method, args) in enumerate(bind(store, calls)):
            method(*args)
            if index in points:
                reducer.step(store)
        gc.collect()
        start = time.perf_counter()
        _, finalized = reducer.finalize(store, outputs=outputs)
        best_finalize = min(best_finalize, time.perf_counter() - start)
        gc.collect()
        start = time.perf_counter()
        _, reduced = store.reduce(outputs=outputs)
        best_reduce = min(best_reduce, time.perf_counter() - start)
    return {
        "finalize": best_finalize,
        "reduce": best_reduce,
        "canonical": reducer.canonical_count(),
        "nodes": store.node_count(),
        "finalized": finalized,
        "reduced": reduced,
    }


def run_child(*args):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", *map(str, args)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--child", nargs=3, metavar=("TASK", "PATH", "REPEATS"))
    args = parser.parse_args()
    if args.child:
        task, path, repeats = args.child
        with open(path, "rb") as f:
            payload = pickle.load(f)
        if task == "steps":
            result = child_steps(payload["calls"], int(repeats))
        else:
            result = child_finalize(payload["calls"], payload["outputs"], int(repeats))
        print(json.dumps(result))
        return

    print("incremental reduction benchmark (same programs, same run)")
    with tempfile.TemporaryDirectory() as tmp:
        program = graphgen.generate_program(args.nodes, args.seed)
        path = os.path.join(tmp, "steps.pickle")
        with open(path, "wb") as f:
            pickle.dump({"calls": program.calls}, f, protocol=pickle.HIGHEST_PROTOCOL)
        del program
        steps = run_child("steps", path, args.repeats)
        ratio = steps["step_per_node"] / steps["add_per_call"]
        print(f"\nrecording {args.nodes:,} nodes, stepping every {STEP_EVERY:,} nodes ({steps['steps']:,} steps)")
        print(f"  add_* per call    {steps['add_per_call'] * 1e9:7.0f} ns")
        print(f"  step per node     {steps['step_per_node'] * 1e9:7.0f} ns   ratio {ratio:5.2f}   (target <= 0.5)")

        program = graphgen.generate_program(args.nodes, args.seed, removable_share=0.5)
        path = os.path.join(tmp, "finalize.pickle")
        with open(path, "wb") as f:
            pickle.dump({"calls": program.calls, "outputs": program.sinks()}, f, protocol=pickle.HIGHEST_PROTOCOL)
        del program
        fin = run_child("finalize", path, args.repeats)
        print(f"\nfinalize vs reduce, {fin['nodes']:,} nodes of which about half are commuted twins or identity ops")
        print(f"  canonical form    {fin['canonical']:,} nodes ({fin['canonical'] / fin['nodes']:.0%} of the store)")
        print(f"  finalize          {fin['finalize'] * 1e3:7.0f} ms")
        print(
            f"  reduce            {fin['reduce'] * 1e3:7.0f} ms   speed-up {fin['reduce'] / fin['finalize']:5.2f}x"
            "   (target >= 1.5x)"
        )
        print(f"  reports           finalize {fin['finalized']}\n                    reduce   {fin['reduced']}")


if __name__ == "__main__":
    main()
