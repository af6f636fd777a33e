"""The dask lowering: one task per reachable node (a Stage, with all its members, is one task;
an Exchange is one identity task), in the tuple form that every dask scheduler's `get`
accepts: `{key: (implementation, node_id, input_key, ...)}`; the node id names the node if
its implementation fails.

Keys carry a token drawn for each lowering, so two lowerings submitted to one cluster at once
(a store and its reduced form, say) never share a key and never read each other's results.
The implementations are the plan's, the same the local evaluator calls.
"""

from __future__ import annotations

import uuid
from typing import Any

from veltrix_core.run.plan import Plan

__all__ = ["lower_plan"]


def lower_plan(plan: Plan) -> tuple[dict[str, tuple[Any, ...]], list[str]]:
    """The dask graph of the plan's nodes, and the keys of its outputs in order."""
    prefix = f"veltrix-{uuid.uuid4().hex[:12]}-"
    ids, offsets, inputs = plan.ids, plan.offsets, plan.inputs
    size = ids[-1] + 1 if ids else 0
    keys = [prefix + text for text in map(str, range(size))]
    # Most nodes have one or two inputs; spelling those tuples out is a fifth faster than
    # unpacking a list for every task of a large graph.
    tasks: list[tuple[Any, ...]] = []
    append = tasks.append
    for row, (implementation, where) in enumerate(zip(plan.implementations, plan.where)):
        first, end = offsets[row], offsets[row + 1]
        arity = end - first
        if arity == 1:
            append((implementation, where, keys[inputs[first]]))
        elif arity == 2:
            append((implementation, where, keys[inputs[first]], keys[inputs[first + 1]]))
        else:
            append((implementation, where, *[keys[i] for i in inputs[first:end]]))
    graph = dict(zip([keys[i] for i in ids], tasks))
    return graph, [keys[o] for o in plan.outputs]
