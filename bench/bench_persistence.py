"""Persistence benchmark: IR blobs against pickle of the node views, and DOT throughput, in one run.

For the generated program of 10^5 and 10^6 nodes it reports
  - serialize() against pickle.dumps of store.nodes() (the views built beforehand),
  - GraphStore.deserialize() against pickle.loads of that pickle,
  - the size of the blob against the size of the pickle,
  - the throughput of to_dot() in MB of DOT text per second,
and prints the ratios. Each figure is the best of a few repeats with the garbage collector off
during the timed call, as timeit does. Run against the installed module:
    PYTHONPATH=bench .venv/bin/python bench/bench_persistence.py [--sizes 100000,1000000]
"""

from __future__ import annotations

import argparse
import functools
import gc
import os
import pickle
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import graphgen  # noqa: E402

import veltrix_core  # noqa: E402


def best_time(call, repeats):
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        result = call()
        elapsed = time.perf_counter() - start
        gc.enable()
        del result
        best = min(best, elapsed)
    return best


def build_store(n, seed):
    program = graphgen.generate_program(n, seed)
    store = veltrix_core.GraphStore()
    program.replay(store)
    del program
    gc.collect()
    return store


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    print("persistence benchmark: IR blob vs pickle of store.nodes() (same store, same run)")
    for n in (int(s) for s in args.sizes.split(",")):
        store = build_store(n, args.seed)
        views = store.nodes()
        blob = store.serialize()
        pickled = pickle.dumps(views, protocol=pickle.HIGHEST_PROTOCOL)
        assert veltrix_core.GraphStore.deserialize(blob).serialize() == blob

        serialize = best_time(store.serialize, args.repeats)
        dumps = best_time(functools.partial(pickle.dumps, views, protocol=pickle.HIGHEST_PROTOCOL), args.repeats)
        deserialize = best_time(functools.partial(veltrix_core.GraphStore.deserialize, blob), args.repeats)
        loads = best_time(functools.partial(pickle.loads, pickled), args.repeats)
        dot_bytes = len(store.to_dot().encode())
        to_dot = best_time(store.to_dot, args.repeats)

        print(f"\nn = {store.node_count():,} nodes")
        print(
            f"  serialize         {serialize * 1e3:8.1f} ms   pickle.dumps {dumps * 1e3:8.1f} ms   "
            f"speed-up {dumps / serialize:6.1f}x   (target >= 10x)"
        )
        print(
            f"  deserialize       {deserialize * 1e3:8.1f} ms   pickle.loads {loads * 1e3:8.1f} ms   "
            f"speed-up {loads / deserialize:6.1f}x   (target >= 3x)"
        )
        print(
            f"  size              {len(blob) / 1e6:8.2f} MB   pickle       {len(pickled) / 1e6:8.2f} MB   "
            f"ratio    {len(blob) / len(pickled):6.3f}    (target < 1)"
        )
        print(
            f"  to_dot            {to_dot * 1e3:8.1f} ms   {dot_bytes / 1e6:.1f} MB of text   "
            f"{dot_bytes / 1e6 / to_dot:8.1f} MB/s"
        )
        del store, views, blob, pickled


if __name__ == "__main__":
    main()
