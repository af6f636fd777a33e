"""Reduction cost per node across graph shapes (bench/shapes.py) and sizes.

For every shape at 10^4, 10^5 and 10^6 nodes it writes the graph as an IR blob whose marks are
the shape's outputs, then times GraphStore.reduce on it in fresh child processes (median of the
repeats, each child reads the blob, reduces once and reports). A flat cost per node means the
shape scales linearly: the table's ratio column is the largest size's cost per node over the
smallest's, against a target of at most 1.5. The native program bench/native/reduce_bench, if
built, runs the same blobs to report where the time goes and how the rewrite run stopped; a
stop by the time limit would make results depend on the machine.

    .venv/bin/python bench/bench_shapes.py [--sizes 10000,100000,1000000] [--repeats 5]
                                           [--shapes wide_fan_in,...] [--phases]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import shapes  # noqa: E402
from bench_reduce import find_native, run_native  # noqa: E402

TARGET = 1.5

CHILD = """
import sys, time, veltrix_core
with open(sys.argv[1], "rb") as f:
    store = veltrix_core.GraphStore.deserialize(f.read())
start = time.perf_counter()
reduced, report = store.reduce()
print(time.perf_counter() - start, store.node_count())
"""


def write_blob(shape, n, directory):
    import veltrix_core  # noqa: PLC0415

    store, outputs = shapes.SHAPES[shape](n, veltrix_core)
    path = os.path.join(directory, f"{shape}-{n}.vir")
    with open(path, "wb") as f:
        f.write(store.serialize(outputs=list(dict.fromkeys(outputs))))
    return path


def time_reduce(path, repeats):
    seconds, nodes = [], 0
    for _ in range(repeats):
        out = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, text=True, check=True)
        elapsed, nodes = out.stdout.split()
        seconds.append(float(elapsed))
    return statistics.median(seconds), int(nodes)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--shapes", default=",".join(shapes.SHAPES))
    parser.add_argument("--phases", action="store_true", help="print the native phase table of every blob")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    program = find_native()
    if program is None:
        print("(bench/native/reduce_bench not built: no stop reasons; build with -DVELTRIX_BUILD_BENCH=ON)")

    header = f"{'shape':18s}" + "".join(f"{'ns/node @' + format(n, '.0e'):>15s}" for n in sizes)
    print(header + f"{'ratio':>8s}  {'target':>6s}  stops (time-limit hits)")
    worst = 0.0
    with tempfile.TemporaryDirectory() as directory:
        for shape in args.shapes.split(","):
            costs, stops, phases = [], [], []
            for n in sizes:
                path = write_blob(shape, n, directory)
                seconds, nodes = time_reduce(path, args.repeats)
                costs.append(seconds / nodes * 1e9)
                if program:
                    native = run_native(program, path, 3)
                    stops.append(f"{native['stop']}({native['time_limit_hits']})")
                    phases.append(native["detail"].splitlines()[1])
                os.unlink(path)
            ratio = costs[-1] / costs[0]
            worst = max(worst, ratio)
            row = f"{shape:18s}" + "".join(f"{c:15.0f}" for c in costs)
            row += f"{ratio:8.2f}  {'met' if ratio <= TARGET else 'MISSED':>6s}  {' '.join(stops)}"
            print(row, flush=True)
            if args.phases:
                for line in phases:
                    print("    " + line)
    print(f"worst ratio {worst:.2f} (target {TARGET})")


if __name__ == "__main__":
    main()
