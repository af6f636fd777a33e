"""Large-graph benchmark: the time and peak resident memory of a whole reduction through Python,
per node, with one worker thread and with two.

For the shared generator's program (default 10^6 and 10^7 nodes) every run is a fresh child
process that reads the graph from a blob and reduces it against its output marks, with
VELTRIX_THREADS set to 1 or 2; the two thread counts alternate, run after run. The child resets
the kernel's peak counter just before the reduction, so the memory figure is the highest
resident set while it ran: the input store, the reduction's own arrays, the new store and the
interpreter. It reports, per thread count, the median reduction time of the runs and the
median peak in bytes per input node, the input store's resident bytes per node (the peer: what
holding the graph costs at all), and the speed-up of two threads over one.

    .venv/bin/python bench/bench_peak_memory.py [--sizes 1000000,10000000] [--runs 5] [--blobs DIR]

Targets at 10^7 nodes: at most 200 bytes a node, the input store included; at most 4.5 s with
two threads; two threads at least 1.6 times as fast as one.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import graphgen  # noqa: E402

CHILD = r"""
import json, sys, time
import veltrix_core

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024

with open(sys.argv[1], "rb") as f:
    store = veltrix_core.GraphStore.deserialize(f.read())
nodes = store.node_count()
held = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak counter starts again from the current resident set
start = time.perf_counter()
store.reduce()
seconds = time.perf_counter() - start
print(json.dumps({"nodes": nodes, "held": held, "peak": status("VmHWM:"), "seconds": seconds}))
"""


def write_blob(n: int, folder: str) -> str:
    import veltrix_core  # noqa: PLC0415

    path = os.path.join(folder, f"graph-{n}.vir")
    if not os.path.exists(path):
        program = graphgen.generate_program(n, seed=1)
        store = veltrix_core.GraphStore()
        program.replay(store)
        with open(path, "wb") as f:
            f.write(store.serialize(outputs=program.sinks()))
        del store, program
        gc.collect()
    return path


def measure(path: str, threads: int) -> dict:
    env = dict(os.environ, VELTRIX_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, text=True, check=True, env=env)
    return json.loads(done.stdout)


def median(values: list[float]) -> float:
    return statistics.median(values)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1000000,10000000")
    parser.add_argument("--runs", type=int, default=5, help="fresh processes per thread count")
    parser.add_argument("--blobs", help="a folder to keep the generated graphs in (default: a temporary one)")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.blobs or scratch
        os.makedirs(folder, exist_ok=True)
        print(
            f"{'nodes':>10} {'threads':>7} {'peak B/node':>12} {'store B/node':>13} {'peak/store':>11} "
            f"{'reduce s':>9} {'speed-up':>8}"
        )
        for n in sizes:
            path = write_blob(n, folder)
            runs: dict[int, list[dict]] = {1: [], 2: []}
            for _ in range(args.runs):
                for threads in runs:
                    runs[threads].append(measure(path, threads))
            one = median([r["seconds"] for r in runs[1]])
            for threads, rows in runs.items():
                nodes = rows[0]["nodes"]
                peak = median([r["peak"] for r in rows]) / nodes
                held = median([r["held"] for r in rows]) / nodes
                seconds = median([r["seconds"] for r in rows])
                print(
                    f"{nodes:>10} {threads:>7} {peak:12.1f} {held:13.1f} {peak / held:11.2f} {seconds:9.2f} "
                    f"{one / seconds:7.2f}x",
                    flush=True,
                )
    print("(targets at 10^7: at most 200 bytes a node; at most 4.5 s with 2 threads; 2 threads >= 1.6x 1 thread)")


if __name__ == "__main__":
    main()
