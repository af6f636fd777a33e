"""Checks that reductions give exactly the results recorded in bench/reduction_digests.txt.

A change that only makes reduction faster or lighter must not change a single result. This
script reduces a fixed set of generated graphs and compares, line by line, fingerprints of every
result with the recorded ones:
  - for the shared generator's programs (several sizes and seeds, and some with half of the nodes
    removable by the rules), sha256 of reduced_store.serialize() and the report of
    store.reduce(outputs=sinks), with and without maximal_fusion;
  - for the same graphs, runs cut short by node limits and iteration limits and a run under both,
    through the native program bench/native/reduction_digests (digest of the reduced store's
    bytes, the counters, the stop reason, the iteration count and the e-graph's size);
  - for the native e-graph benchmark's workload, the partition, every class's node list and the
    iteration reports, under the optimizer's limits and tighter ones.
Nothing here depends on timing, except that a run stopped by the time limit would differ (none
should be).

    PYTHONPATH=build/perf/python .venv/bin/python bench/check_reduction_digests.py [--quick]
    ... --record     rewrite the expected file (only when a result is meant to change)
The native program is looked up in build/*/bench/ (newest first) or named by
VELTRIX_DIGEST_BENCH. --quick leaves out the largest graphs (10^6 nodes).
"""

from __future__ import annotations

import argparse
import glob
import hashlib
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXPECTED = os.path.join(HERE, "reduction_digests.txt")
sys.path.insert(0, HERE)

import graphgen  # noqa: E402

# (name, nodes, seed, removable_share); "large" cases are left out by --quick.
GRAPHS = [
    ("g1k-s1", 1_000, 1, None),
    ("g1k-s2", 1_000, 2, None),
    ("g1k-s3", 1_000, 3, None),
    ("g10k-s1", 10_000, 1, None),
    ("g10k-s7", 10_000, 7, None),
    ("g100k-s1", 100_000, 1, None),
    ("g100k-s2", 100_000, 2, None),
    ("r1k-s4", 1_000, 4, 0.5),
    ("r10k-s5", 10_000, 5, 0.5),
    ("r100k-s6", 100_000, 6, 0.5),
    ("g1m-s1", 1_000_000, 1, None),
]
LARGE = {"g1m-s1"}
EGRAPH_OPS = [10_000, 100_000]
EGRAPH_OPS_LARGE = [1_000_000]


def find_native():
    named = os.environ.get("VELTRIX_DIGEST_BENCH")
    if named:
        return named
    found = sorted(glob.glob(os.path.join(ROOT, "build", "*", "bench", "reduction_digests")), key=os.path.getmtime)
    if not found:
        sys.exit("bench/native/reduction_digests not found: build with -DVELTRIX_BUILD_BENCH=ON")
    return found[-1]


def python_lines(name, store, outputs):
    lines = []
    for maximal in (False, True):
        reduced, report = store.reduce(outputs=outputs, maximal_fusion=maximal)
        digest = hashlib.sha256(reduced.serialize()).hexdigest()
        counters = ",".join(f"{key}={report[key]}" for key in sorted(report))
        lines.append(f"{name} reduce maximal={maximal} sha256={digest} {counters}")
    return lines


def collect(quick, native, log):
    import veltrix_core  # noqa: PLC0415

    lines = []
    with tempfile.TemporaryDirectory() as tmp:
        blobs = []
        for name, nodes, seed, share in GRAPHS:
            if quick and name in LARGE:
                continue
            start = time.perf_counter()
            program = graphgen.generate_program(nodes, seed=seed, removable_share=share)
            store = veltrix_core.GraphStore()
            program.replay(store)
            outputs = program.sinks()
            lines.extend(python_lines(name, store, outputs))
            path = os.path.join(tmp, name)
            with open(path, "wb") as f:
                f.write(store.serialize(outputs=outputs))
            blobs.append(path)
            log(f"{name}: {time.perf_counter() - start:.1f}s")
            del store, program
        start = time.perf_counter()
        out = subprocess.run([native, *blobs], check=True, capture_output=True, text=True).stdout
        lines.extend(out.splitlines())
        log(f"native cut-short runs: {time.perf_counter() - start:.1f}s")
    start = time.perf_counter()
    ops = EGRAPH_OPS + ([] if quick else EGRAPH_OPS_LARGE)
    out = subprocess.run([native, "--egraph", *map(str, ops)], check=True, capture_output=True, text=True).stdout
    lines.extend(out.splitlines())
    log(f"native e-graph runs: {time.perf_counter() - start:.1f}s")
    return lines


def key_of(line):
    return " ".join(line.split()[:2]) if " reduce " not in line else " ".join(line.split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="leave out the 10^6-node graphs")
    parser.add_argument("--record", action="store_true", help="write the expected file instead of checking")
    args = parser.parse_args()
    native = find_native()
    lines = collect(args.quick, native, lambda text: print(text, file=sys.stderr, flush=True))

    if args.record:
        with open(EXPECTED, "w") as f:
            f.write("\n".join(lines) + "\n")
        print(f"recorded {len(lines)} results in {os.path.relpath(EXPECTED, ROOT)}")
        return 0

    with open(EXPECTED) as f:
        expected = {key_of(line): line for line in f.read().splitlines() if line}
    mismatches = 0
    for line in lines:
        want = expected.get(key_of(line))
        if want is None:
            print(f"NOT RECORDED: {line}")
            mismatches += 1
        elif want != line:
            print(f"DIFFERS:\n  expected {want}\n  got      {line}")
            mismatches += 1
    print(f"{len(lines) - mismatches}/{len(lines)} results identical ({native})")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
