"""Soundness of reduction, checked by running programs: the values of a recorded program's
outputs against those of every reduced form of it.

For an evaluable program of the shared generator it evaluates the recorded store and four
reduced stores: `reduce` under the single-use rule and under the maximal rule, a reduction of
the reduced store (re-reduction), and `IncrementalReducer.finalize` after steps taken while
the program was recorded. Values must be equal output by output, bit for bit: same Python
type, dtype and shape, every NaN one value, and the signs of zeros counting.

A reduced store marks each requested output once, in order of first request, so requested
outputs map to its marks by first occurrence. When two different requested outputs became one
node (commuted twins, say), the store has fewer marks than distinct requests; each request then
maps either to the next new mark or to one already taken, and the search below finds the
mapping under which every value agrees, if there is one.

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


def match_outputs(
    requested: list[int], before: list, marks: list[int], after: list, budget: int = 100_000
) -> list[str]:
    """What disagrees between `before` (values of `requested`, in order) and `after` (values of
    a reduced store's `marks`), as one line per problem; empty when all agree."""
    first_value = {}
    for node_id, value in zip(requested, before):
        first_value.setdefault(node_id, value)
    distinct = list(first_value)
    if len(distinct) < len(marks):
        return [f"{len(marks)} marks for {len(distinct)} distinct requested outputs"]
    if len(distinct) == len(marks):
        return [
            f"output {node_id} -> mark {mark}: {describe_value(first_value[node_id])} became {describe_value(value)}"
            for node_id, mark, value in zip(distinct, marks, after)
            if not same_value(first_value[node_id], value)
        ]
    # Fewer marks: find a restricted-growth assignment (each request takes the next new mark or
    # an earlier one) under which every value agrees; depth-first, new marks tried first, with
    # a bounded number of steps since a fault could make the search long.
    wanted = [value_key(first_value[node_id]) for node_id in distinct]
    have = [value_key(value) for value in after]
    marks_with = {}
    for m, key in enumerate(have):
        marks_with.setdefault(key, []).append(m)
    missing = [node_id for node_id, key in zip(distinct, wanted) if key not in marks_with]
    if missing:
        return [f"output {node_id}: {describe_value(first_value[node_id])} is no mark's value" for node_id in missing]
    choices: list[list[int]] = []
    used: list[int] = []  # marks taken before each step
    k = taken = steps = 0
    while k < len(distinct):
        steps += 1
        if steps > budget:
            return [f"no agreeing mapping of {len(distinct)} outputs onto {len(marks)} marks in {budget} steps"]
        if len(choices) == k:
            options = [m for m in marks_with[wanted[k]] if m <= taken]
            options.sort(key=lambda m: m != taken)
            choices.append(options)
            used.append(taken)
        if choices[k] and (k + 1 < len(distinct) or max(used[k], choices[k][0] + 1) == len(marks)):
            m = choices[k].pop(0)
            taken = max(used[k], m + 1)
            k += 1
            continue
        if choices[k]:
            choices[k].pop(0)
            continue
        choices.pop()
        used.pop()
        if k == 0:
            return [f"no mapping of {len(distinct)} requested outputs onto {len(marks)} marks agrees"]
        k -= 1
    return []


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
    single, _ = store.reduce(outputs=outputs)
    forms = {
        "reduce": single,
        "reduce maximal": store.reduce(outputs=outputs, maximal_fusion=True)[0],
        "re-reduce": single.reduce()[0],
        "finalize": reducer.finalize(store, outputs=outputs)[0],
    }
    for name, reduced in forms.items():
        marks = reduced.outputs()
        outcome.problems[name] = match_outputs(outputs, before, marks, evaluate(name, reduced, marks))
    return outcome
