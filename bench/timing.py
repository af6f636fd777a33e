"""Timing shared by the benchmarks."""

from __future__ import annotations

import gc
import time


def best_of(step, repeats: int):
    """The shortest of `repeats` runs of `step()` with the garbage collector off, and the result
    of the last run. No run pays for freeing the result of the run before it."""
    best, result = float("inf"), None
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeats):
            result = None  # the previous run's result is freed before the clock starts
            start = time.perf_counter()
            result = step()
            best = min(best, time.perf_counter() - start)
    finally:
        gc.enable()
    return best, result
