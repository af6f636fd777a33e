"""The local evaluator: runs a plan's nodes in id order (ids are topological) in this process.

A value is dropped as soon as the last node that reads it has run, unless it is an output, so
what is held at any moment is the values still waiting for a consumer: the cut of the graph at
that node, not the whole graph. The evaluator counts the bytes it holds and reports the peak.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Any

from veltrix_core.run.plan import Plan, Where

__all__ = ["MemoryReport", "run_plan", "size_of"]


@dataclass(frozen=True)
class MemoryReport:
    """What holding values cost `veltrix_core.run.evaluate_measured`.

    A value's size is its ``nbytes`` where it has one (an array's buffer, a table's columns),
    else what ``sys.getsizeof`` gives.
    """

    peak_bytes: int
    """The most bytes of values held at once."""
    total_bytes: int
    """The bytes of every value computed, added up: what keeping all of them would hold."""
    peak_values: int
    """The most values held at once."""
    nodes_run: int
    """How many nodes ran."""


def size_of(value: Any) -> int:
    """The bytes of a value, as far as they are cheap to know: its `nbytes` where it has one (an
    array's buffer, a view counting its own size; a table's columns), else its own size as
    sys.getsizeof gives it. Nothing is measured item by item: a list or dict counts its own
    table, not what it holds, which may be large, shared or hold itself."""
    try:
        nbytes = value.nbytes
    except Exception:  # no such attribute, or one that fails: the value's own size is the fallback
        nbytes = None
    if type(nbytes) is int and nbytes >= 0:
        return nbytes
    try:
        return sys.getsizeof(value)
    except Exception:  # a __sizeof__ that fails or returns nonsense counts nothing
        return 0


def _last_uses(plan: Plan) -> dict[int, list[int]]:
    """For each row, the input ids to drop once it has run: those it is the last reader of."""
    last: dict[int, int] = {}
    offsets, inputs = plan.columns.offsets.tolist(), plan.columns.inputs.tolist()
    for row in range(len(plan)):
        for node_id in inputs[offsets[row] : offsets[row + 1]]:
            last[node_id] = row
    kept = set(plan.outputs)
    drops: dict[int, list[int]] = {}
    for node_id, row in last.items():
        if node_id not in kept:
            drops.setdefault(row, []).append(node_id)
    return drops


def run_plan(plan: Plan) -> tuple[list[Any], MemoryReport]:
    """The values of the plan's outputs, in order, and what holding values cost."""
    drops = _last_uses(plan)
    values: dict[int, Any] = {}
    sizes: dict[int, int] = {}
    held = peak = total = peak_values = 0
    ids = plan.columns.ids.tolist()
    offsets, inputs = plan.columns.offsets.tolist(), plan.columns.inputs.tolist()
    where: list[Where] = list(ids) if plan.where is None else list(plan.where)
    for row, (node_id, implementation, at) in enumerate(zip(ids, plan.implementations(), where)):
        value = implementation(at, *[values[i] for i in inputs[offsets[row] : offsets[row + 1]]])
        values[node_id] = value
        size = sizes[node_id] = size_of(value)
        held += size
        total += size
        peak = max(peak, held)
        peak_values = max(peak_values, len(values))
        for dropped in drops.get(row, ()):
            del values[dropped]
            held -= sizes.pop(dropped)
    report = MemoryReport(peak_bytes=peak, total_bytes=total, peak_values=peak_values, nodes_run=len(plan))
    return [values[o] for o in plan.outputs], report
