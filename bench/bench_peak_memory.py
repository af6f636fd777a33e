"""Peak memory benchmark: the resident memory of a reduction, per node, against the store it reduces.

For the shared generator's program (default 10^6 and 10^7 nodes) each size runs in a fresh
child process that reads the graph from a blob and reduces it against its output marks. The
child resets the kernel's peak counter just before the reduction, so the figure is the highest
resident set while it ran: the input store, the reduction's own arrays, the new store and the
interpreter. It reports that peak in bytes per input node, the input store's resident bytes per
node (the peer: what holding the graph costs at all) and their ratio, and the reduction's time.

    .venv/bin/python bench/bench_peak_memory.py [--sizes 1000000,10000000] [--blobs DIR]

Target: at most 200 bytes a node at 10^7 nodes, the input store included.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
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


def measure(path: str) -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1000000,10000000")
    parser.add_argument("--blobs", help="a folder to keep the generated graphs in (default: a temporary one)")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.blobs or scratch
        os.makedirs(folder, exist_ok=True)
        print(f"{'nodes':>10} {'peak B/node':>12} {'store B/node':>13} {'peak/store':>11} {'reduce s':>9}")
        for n in sizes:
            r = measure(write_blob(n, folder))
            peak, held = r["peak"] / r["nodes"], r["held"] / r["nodes"]
            print(f"{r['nodes']:>10} {peak:12.1f} {held:13.1f} {peak / held:11.2f} {r['seconds']:9.2f}", flush=True)
    print("(target: at most 200 bytes a node at 10^7 nodes, the input store included)")


if __name__ == "__main__":
    main()
