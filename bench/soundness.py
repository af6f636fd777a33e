"""Soundness of reduction, checked by running programs: the values of a recorded program's
outputs against those of every reduced form of it.

For an evaluable program of the shared generator it evaluates the recorded store and four
reduced stores: `reduce` under the single-use rule and under the maximal rule, a reduction of
the reduced store (re-reduction), and `IncrementalReducer.finalize` after steps taken while
the program was recorded. Values must be equal output by output, bit for bit: same Python
type, dtype and shape, every NaN one value, and the signs of zeros counting.

Each reduced form is made through veltrix_core.run's reduce and finalize, which say which
reduced node answers each requested output (repeats and merged outputs included), so value i of
the reduced form is compared with value i of the recorded one.

Used by tests/python/test_run_soundness.py (small programs) and bench/bench_run.py (large ones).
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field

import graphgen


def value_key(value) -> tuple:
    """Equal for two values exactly when they are the same result: same Python type, dtype,
    shape and bits, with every NaN one value (each part of a complex one) and zeros keeping
    their sign, as the registry's meanings promise."""
    import numpy as np  # noqa: PLC0415

    array = np.array(value)  # a copy, whose NaNs may be rewritten
    if array.dtype.kind in "fc":
        parts = array.reshape(-1).view(array.real.dtype)
        parts[np.isnan(parts)] = np.nan
    return (type(value), array.dtype.str, array.shape, array.tobytes())


def same_value(a, b) -> bool:
    return value_key(a) == value_key(b)


def describe_value(value) -> str:
    import numpy as np  # noqa: PLC0415

    array = np.asarray(value)
    return f"{array.dtype}{list(array.shape)} {np.array2string(array.ravel()[:6], precision=4)}"


def compare_outputs(before: list, after: list) -> list[str]:
    """What disagrees between two value lists that answer the same requested outputs in the same
    order (a reduction's mapped outputs answer the recorded ones position by position), as one
    line per problem; empty when all agree."""
    if len(before) != len(after):
        return [f"{len(after)} values for {len(before)} requested outputs"]
    return [
        f"output {position}: {describe_value(want)} became {describe_value(got)}"
        for position, (want, got) in enumerate(zip(before, after))
        if not same_value(want, got)
    ]


@dataclass
class Outcome:
    """One program's check: problems per reduced form, and sizes and times."""

    nodes: int
    outputs: int
    problems: dict[str, list[str]] = field(default_factory=dict)
    sizes: dict[str, int] = field(default_factory=dict)
    seconds: dict[str, float] = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return not any(self.problems.values())


def check_program(n_nodes: int, seed: int, array_size: int = 4, steps: int = 7) -> Outcome:
    import veltrix_core as vc  # noqa: PLC0415
    from veltrix_core import run  # noqa: PLC0415

    program = graphgen.generate_program(n_nodes, seed=seed, evaluable=True, array_size=array_size)
    models = graphgen.models(program)
    outputs = program.sinks(seed)
    store = vc.GraphStore()
    reducer = vc.IncrementalReducer()
    calls = program.bound_calls(store)
    chunk = max(1, len(calls) // steps)
    for start in range(0, len(calls), chunk):
        for method, args in calls[start : start + chunk]:
            method(*args)
        reducer.step(store)
    outcome = Outcome(nodes=store.node_count(), outputs=len(outputs))

    def evaluate(name, graph, ids):
        begin = time.perf_counter()
        values = run.evaluate(graph, ids, sources=graphgen.source_value, models=models)
        outcome.seconds[name] = time.perf_counter() - begin
        outcome.sizes[name] = graph.node_count()
        return values

    before = evaluate("recorded", store, outputs)
    single = run.reduce(store, outputs)
    forms = {
        "reduce": single,
        "reduce maximal": run.reduce(store, outputs, maximal_fusion=True),
        "re-reduce": run.reduce(single.store, single.outputs),
        "finalize": run.finalize(reducer, store, outputs),
    }
    for name, reduction in forms.items():
        outcome.problems[name] = compare_outputs(before, evaluate(name, reduction.store, reduction.outputs))
    return outcome
