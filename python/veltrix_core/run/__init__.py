"""Running a graph: the values of a store's outputs, computed in this process or on any dask
scheduler, the same before and after reduction.

::

    from veltrix_core.run import evaluate, reduce, to_dask

    values = evaluate(store, outputs, sources={"read_table": table})
    reduction = reduce(store, outputs)      # the reduced store, and the reduced id of each output
    values = evaluate(reduction.store, reduction.outputs, sources={"read_table": table})
    graph, keys = to_dask(reduction.store, reduction.outputs, sources={"read_table": table})
    values = client.get(graph, keys)        # or dask.threaded.get, dask.get, ...

Run a reduced store for ``reduction.outputs``, never for ``reduction.store.outputs()``: a
reduced store marks each distinct reduced output once, so when requested outputs merge it holds
fewer marks than were asked for, and value i would no longer answer output i.

``outputs`` is a list or tuple of node ids; the values come back in its order, one per entry.
``sources`` maps a source name to its value, or is a callable ``(name, params) -> value``.
``registry`` maps ``(node kind, name)`` to a callable ``(inputs, params) -> value``; None means
`default_registry`, the numpy meanings of `veltrix_core.run.registry`. ``models`` maps an
External's content hash to such a callable. Sources, ops, reductions, Stages (member by member;
a member of kind ``"red"`` is a reduction), Externals and Exchanges (the identity) all run.

A registry's ``("source", "")`` entry, where it has one, is applied to each source's value as it
enters: ``entry([value], params)``. The default registry's makes every value a numpy array of a
bool, integer, float or complex dtype, and a mapping a table of such columns that ``getitem``
reads, and refuses anything else; its meanings compute the same values, dtypes, shapes and
Python types for a graph and its reduction, bit for bit (every NaN one value, the signs of
zeros counting). A registry without that entry passes source values on as they are.

Before anything runs, the arguments are checked (TypeError for outputs that are not a list or
tuple of ints, or a registry or models that are not mappings; ValueError for an output id the
store lacks), and then every node reachable from the outputs: a node nothing can compute is one
`MissingImplementation` naming its id, kind and name (no registry entry or model, or one that is
not callable or refuses the node's inputs or params; no source value, or one the registry
refuses; a Stage without members or whose members read inputs it lacks). A node that raises
while running is `NodeFailed`, naming it, locally and from a cluster worker alike.

numpy (for the default registry) and dask with distributed (for clusters) are the ``run`` extra
of the distribution (``pip install "veltrix_core[run]"``); the graph store itself needs neither.
"""

from __future__ import annotations

from typing import Any

from veltrix_core import GraphStore
from veltrix_core.run.errors import MissingImplementation, NodeFailed, RunError
from veltrix_core.run.local import MemoryReport, run_plan
from veltrix_core.run.lowering import lower_plan
from veltrix_core.run.plan import read_plan
from veltrix_core.run.reduction import Origins, Reduction, finalize, reduce
from veltrix_core.typing import Models, NodeFunction, Registry, Sources

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


def default_registry() -> dict[tuple[str, str], NodeFunction]:
    """A new registry of the numpy meanings of the ops and reductions, and its source entry.

    It holds every name of `veltrix_core.run.registry.MEANINGS` and the ``("source", "")``
    entry that makes source values arrays or tables. It is a new dict each time: add or replace
    entries with ``registry["op", name] = function``.
    """
    from veltrix_core.run.registry import default_registry as build  # noqa: PLC0415

    return build()


def evaluate(
    store: GraphStore,
    outputs: list[int] | tuple[int, ...],
    *,
    sources: Sources,
    registry: Registry | None = None,
    models: Models | None = None,
    origins: Origins | None = None,
) -> list[Any]:
    """The values of ``outputs``, computed in this process, in the order of ``outputs``.

    Nodes run in id order; a value is dropped as soon as its last reader has run, unless it is
    an output.

    :param store: a recorded or reduced store.
    :param outputs: node ids of ``store`` (a list or tuple; repeats give the value again). For
        a reduced store, the ``outputs`` of its `Reduction`.
    :param sources: a source's name to its value, or a callable ``(name, params) -> value``.
    :param registry: ``(kind, name)`` to the function that computes such nodes; None is
        `default_registry`.
    :param models: an External's content hash to the function that computes it.
    :param origins: for a reduced store, the `Origins` of its `Reduction`: a failing node is
        then also named by the recorded nodes it stands for (`NodeFailed.recorded_ids`).
    :raises TypeError: ``outputs`` that are not a list or tuple of ints, ``sources``,
        ``registry`` or ``models`` of the wrong type.
    :raises ValueError: an output id that names no node.
    :raises MissingImplementation: a reachable node that nothing can compute, before anything
        runs.
    :raises NodeFailed: a node whose function raised; the original error is its cause.
    """
    values, _ = evaluate_measured(store, outputs, sources=sources, registry=registry, models=models, origins=origins)
    return values


def evaluate_measured(
    store: GraphStore,
    outputs: list[int] | tuple[int, ...],
    *,
    sources: Sources,
    registry: Registry | None = None,
    models: Models | None = None,
    origins: Origins | None = None,
) -> tuple[list[Any], MemoryReport]:
    """The values `evaluate` gives, and what holding them cost: the most bytes of values held at
    once against all bytes computed.

    Arguments and errors are those of `evaluate`.
    """
    return run_plan(read_plan(store, outputs, sources, registry, models, origins))


def to_dask(
    store: GraphStore,
    outputs: list[int] | tuple[int, ...],
    *,
    sources: Sources,
    registry: Registry | None = None,
    models: Models | None = None,
    origins: Origins | None = None,
) -> tuple[dict[str, tuple[Any, ...]], list[str]]:
    """A dask graph of the nodes reachable from ``outputs``, and the keys of ``outputs`` in order.

    Every node is one task (a Stage with all its members, an Exchange as the identity), in the
    tuple form every dask scheduler's ``get`` takes: ``dask.get``, ``dask.threaded.get`` or a
    distributed ``Client.get``. A repeated output repeats its key. The keys are new for each
    call, so two graphs submitted to one cluster never share results. Sources, registry entries
    and models travel with the tasks, so on a cluster they must pickle (dask pickles lambdas and
    the main script's functions by value).

    Arguments and the errors raised before anything runs are those of `evaluate`; a node that
    raises on a worker is `NodeFailed` on the client.
    """
    return lower_plan(read_plan(store, outputs, sources, registry, models, origins))
