"""Running a graph: the values of a store's outputs, computed in this process or on any dask
scheduler, the same before and after reduction.

    from veltrix_core.run import evaluate, reduce, to_dask

    values = evaluate(store, outputs, sources={"read_table": table})
    reduction = reduce(store, outputs)      # the reduced store, and the reduced id of each output
    graph, keys = to_dask(reduction.store, reduction.outputs, sources={"read_table": table})
    values = client.get(graph, keys)        # or dask.threaded.get, dask.get, ...

`outputs` is a list or tuple of node ids; the values come back in its order. `sources` maps a
source name to its value, or is a callable `(name, params) -> value`. `registry` maps (node
kind, name) to a callable `(inputs, params) -> value`; None means `default_registry()`, the
numpy meanings of veltrix_core.run.registry. `models` maps an External's content hash to such
a callable. Sources, ops, reductions, Stages (member by member; a member of kind "red" is a
reduction), Externals and Exchanges (the identity) all run.

A registry's ("source", "") entry, where it has one, is applied to each source's value as it
enters: `entry([value], params)`. The default registry's makes every value a numpy array of a
bool, integer, float or complex dtype, and a mapping a table of such columns that `getitem`
reads, and refuses anything else; its meanings compute the same values, dtypes, shapes and
Python types for a graph and its reduction, bit for bit (every NaN one value, the signs of
zeros counting). A registry without that entry passes source values on as they are.

Before anything runs, the arguments are checked (TypeError for outputs that are not a list or
tuple of ints, or a registry or models that are not mappings; ValueError for an output id the
store lacks), and then every node reachable from the outputs: a node nothing can compute is one
MissingImplementation naming its id, kind and name (no registry entry or model, or one that is
not callable or refuses the node's inputs or params; no source value, or one the registry
refuses; a Stage without members or whose members read inputs it lacks). A node that raises
while running is NodeFailed, naming it, locally and from a cluster worker alike.

numpy (for the default registry) and dask with distributed (for clusters) are the `run` extra
of the distribution; the graph store itself needs neither.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

from veltrix_core.run.errors import MissingImplementation, NodeFailed, RunError
from veltrix_core.run.local import MemoryReport, run_plan
from veltrix_core.run.lowering import lower_plan
from veltrix_core.run.plan import read_plan
from veltrix_core.run.reduction import Origins, Reduction, finalize, reduce

__all__ = [
    "reduce",
    "finalize",
    "Reduction",
    "Origins",
    "evaluate",
    "evaluate_measured",
    "to_dask",
    "default_registry",
    "MemoryReport",
    "RunError",
    "MissingImplementation",
    "NodeFailed",
]

Sources = Mapping[str, Any] | Callable[[str, dict[str, Any]], Any]
Implementation = Callable[[list[Any], dict[str, Any]], Any]


def default_registry() -> dict[tuple[str, str], Implementation]:
    """A new registry of the numpy meanings of every op and reduction name the project's
    generator and demo use, and of the ("source", "") entry that makes source values arrays or
    tables; extend it with `registry["op", name] = callable`."""
    from veltrix_core.run.registry import default_registry as build  # noqa: PLC0415

    return build()


def evaluate(
    store,
    outputs,
    *,
    sources: Sources,
    registry: Mapping | None = None,
    models: Mapping[str, Implementation] | None = None,
) -> list[Any]:
    """The values of `outputs` (node ids of `store`), in that order, computed here."""
    values, _ = evaluate_measured(store, outputs, sources=sources, registry=registry, models=models)
    return values


def evaluate_measured(
    store,
    outputs,
    *,
    sources: Sources,
    registry: Mapping | None = None,
    models: Mapping[str, Implementation] | None = None,
) -> tuple[list[Any], MemoryReport]:
    """`evaluate`, and how many bytes of values it held at most against all it computed."""
    return run_plan(read_plan(store, outputs, sources, registry, models))


def to_dask(
    store,
    outputs,
    *,
    sources: Sources,
    registry: Mapping | None = None,
    models: Mapping[str, Implementation] | None = None,
) -> tuple[dict[str, tuple], list[str]]:
    """A dask graph of the nodes reachable from `outputs`, one task per node, and the keys of
    `outputs` in their order (a repeated output repeats its key)."""
    return lower_plan(read_plan(store, outputs, sources, registry, models))
