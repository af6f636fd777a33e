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
    size = plan.steps[-1][0] + 1 if plan.steps else 0
    keys = [prefix + text for text in map(str, range(size))]
    graph: dict[str, tuple[Any, ...]] = {}
    # Most nodes have one or two inputs; spelling those tuples out is a fifth faster than
    # unpacking a list for every task of a large graph.
    for node_id, implementation, inputs in plan.steps:
        arity = len(inputs)
        task: tuple[Any, ...]
        if arity == 1:
            task = (implementation, node_id, keys[inputs[0]])
        elif arity == 2:
            task = (implementation, node_id, keys[inputs[0]], keys[inputs[1]])
        else:
            task = (implementation, node_id, *[keys[i] for i in inputs])
        graph[keys[node_id]] = task
    return graph, [keys[o] for o in plan.outputs]
