"""The dask lowering: one task per reachable node (a Stage, with all its members, is one task;
an Exchange is one identity task), in the tuple form that every dask scheduler's `get`
accepts: `{key: (implementation, node_id, input_key, ...)}`; the node id names the node if
its implementation fails.

Keys carry a token drawn for each lowering, so two lowerings submitted to one cluster at once
(a store and its reduced form, say) never share a key and never read each other's results.
The implementations are the plan's, the same the local evaluator calls. The tasks are written
natively, from the plan's columns.
"""

from __future__ import annotations

import uuid
from array import array
from typing import Any

from veltrix_core import _lower_rows
from veltrix_core.run.plan import Plan

__all__ = ["lower_plan"]


def lower_plan(plan: Plan) -> tuple[dict[str, tuple[Any, ...]], list[str]]:
    """The dask graph of the plan's nodes, and the keys of its outputs in order."""
    prefix = f"veltrix-{uuid.uuid4().hex[:12]}-"
    read = plan.columns
    outputs = array("q", plan.outputs)
    graph, keys = _lower_rows(
        prefix, read.ids, read.shapes, read.offsets, read.inputs, plan.by_shape, plan.exceptions, plan.where, outputs
    )
    return graph, keys
