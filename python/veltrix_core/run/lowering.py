"""The dask lowering: one task per reachable node (a Stage, with all its members, is one task;
an Exchange is one identity task), in the tuple form that every dask scheduler's `get`
accepts: `{key: (task, input_key, ...)}`.

Keys carry a token drawn for each lowering, so two lowerings submitted to one cluster at once
(a store and its reduced form, say) never share a key and never read each other's results.
The task objects are the plan's: each names its node when it fails, on a worker as locally.
"""

from __future__ import annotations

import uuid

from veltrix_core.run.plan import Plan

__all__ = ["lower_plan"]


def lower_plan(plan: Plan) -> tuple[dict[str, tuple], list[str]]:
    prefix = f"veltrix-{uuid.uuid4().hex[:12]}-"
    graph = {}
    for task in plan.tasks:
        graph[f"{prefix}{task.node_id}"] = (task, *[f"{prefix}{i}" for i in task.inputs])
    return graph, [f"{prefix}{o}" for o in plan.outputs]
