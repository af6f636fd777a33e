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

from veltrix_core.run.plan import Plan

__all__ = ["lower_plan"]


def lower_plan(plan: Plan) -> tuple[dict[str, tuple], list[str]]:
    prefix = f"veltrix-{uuid.uuid4().hex[:12]}-"
    keys = {node_id: prefix + str(node_id) for node_id, _, _ in plan.steps}
    graph = {
        keys[node_id]: (implementation, node_id, *[keys[i] for i in inputs])
        for node_id, implementation, inputs in plan.steps
    }
    return graph, [keys[o] for o in plan.outputs]
