"""The optimizer's steps: dask's high-level fusion, recording, reduction, writing back; and the
way back to dask's own optimizer for a graph it cannot read."""

from __future__ import annotations

import functools
import gc
import time
import warnings
from collections.abc import Callable, Hashable, Iterable
from typing import Any

import numpy as np

from dask import config
from dask._task_spec import GraphNode, Task
from dask.blockwise import Blockwise
from dask.core import flatten
from dask.highlevelgraph import HighLevelGraph, MaterializedLayer
from veltrix_core import GraphStore, columns
from veltrix_core.dask import OptimizerDeclined, impure_marker
from veltrix_core.dask._blockwise import BlockwiseLayer, NotFast, TaskForms
from veltrix_core.dask._record import Recorder, Unsupported, dependencies_of, record_graph
from veltrix_core.dask._write import write_back
from veltrix_core.run.reduction import reduce

__all__ = ["run"]


def _dask_optimizer(array: bool) -> Callable[..., Any]:
    if array:
        from dask.array.optimization import optimize  # noqa: PLC0415

        return optimize
    from dask.delayed import optimize as delayed_optimize  # noqa: PLC0415

    return delayed_optimize


def _declinable(error: BaseException) -> bool:
    # The core's internal failure derives from BaseException; it too leaves the graph to dask.
    return isinstance(error, Exception) or type(error).__name__ == "PanicException"


def run(dsk: Any, keys: Any, *, array: bool, options: dict[str, Any]) -> Any:
    # The recording allocates many small objects that all live until the call returns: the
    # collector's passes over them would find nothing to free, and take a third of the time.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return optimize_graph(dsk, keys, array=array)
    except BaseException as error:
        if not _declinable(error):
            raise
        reason = str(error) if isinstance(error, Unsupported) else f"{type(error).__name__}: {error}"
        warnings.warn(
            f"veltrix_core.dask left this graph to dask's optimizer: {reason}", OptimizerDeclined, stacklevel=3
        )
        return _dask_optimizer(array)(dsk, keys, **options)
    finally:
        if collecting:
            gc.enable()


def _output_keys(keys: Any) -> list[Any]:
    if not isinstance(keys, (list, set)):
        keys = [keys]
    return list(flatten(keys))  # type: ignore[no-untyped-call]


_MISSING = object()


class _Graph:
    """The keys of a graph and their values, layer by layer. A Blockwise layer gives its blocks'
    bindings on demand; every other layer is materialized. A key of a layer with annotations is
    pinned: its task is kept as it is."""

    def __init__(self, graph: HighLevelGraph) -> None:
        self.values: dict[Any, Any] = {}
        self.pinned: dict[Any, str] = {}
        self.blockwise: dict[Any, BlockwiseLayer] = {}
        self.layers = graph.layers
        self.forms = TaskForms()
        # The position of each key's layer in an order where a layer follows those it reads.
        self.ranks: dict[Any, int] = {}
        self.block_ranks: dict[Any, int] = {}
        try:
            order = graph._toposort_layers()
        except Exception:  # layer dependencies that do not form an order: keys in the order found
            order = []
        if set(order) != set(graph.layers):
            order, self.ranks = list(graph.layers), None  # type: ignore[assignment]
        for rank, name in enumerate(order):
            layer = graph.layers[name]
            if type(layer) is Blockwise and not layer.annotations:
                try:
                    self.blockwise[layer.output] = BlockwiseLayer(layer)
                    self.block_ranks[layer.output] = rank
                    continue
                except NotFast:
                    pass
            if layer.annotations:
                for key in layer:
                    self.pinned[key] = name
            self.values.update(layer)
            if self.ranks is not None:
                self.ranks.update(dict.fromkeys(layer, rank))

    def _layer_of(self, key: object) -> BlockwiseLayer | None:
        if type(key) is tuple and key and self.blockwise:
            layer = self.blockwise.get(key[0])
            if layer is not None and layer.has(key):
                return layer
        return None

    def __contains__(self, key: object) -> bool:
        return key in self.values or self._layer_of(key) is not None

    def lookup(self, key: Any) -> tuple[Any, Iterable[Any], bool] | None:
        if type(key) is tuple and key and self.blockwise:
            layer = self.blockwise.get(key[0])
            if layer is not None and layer.has(key):
                block, reads = layer.block(key)
                return block, reads, False
        try:
            value = self.values.get(key, _MISSING)
        except TypeError:  # an unhashable key names nothing
            return None
        if value is _MISSING:
            return None
        pinned = key in self.pinned if self.pinned else False
        if not pinned:
            kind = type(value)
            if kind is Task:
                found = self.forms.block(value)
            elif kind is tuple and value and callable(value[0]):
                found = self.forms.legacy_block(value, self)
            else:
                found = None
            if found is not None:
                return found[0], found[1], False
        return value, dependencies_of(value, self), pinned


def _root_fusion_idle(graph: HighLevelGraph) -> bool:
    """Whether dask's root fusion would leave every task as it is, so that it need not run.

    Root fusion merges a Blockwise layer that reads only layers without dependencies into one
    materialized layer with them, and runs dask's older fusion over it; that fusion takes in
    only tasks written as tuples read by tuples, never a task object. Where every task it would
    merge is a task object (a Blockwise layer's always are), the merge would only materialize
    the layer, losing what a Blockwise layer lets the recording skip. The layers it would merge
    are found as it finds them, a merged layer counting as one without dependencies."""
    dependencies = {name: set(found) for name, found in graph.dependencies.items()}
    dependents: dict[str, set[str]] = {}
    for name, found in graph.dependencies.items():
        for dependency in found:
            dependents.setdefault(dependency, set()).add(name)
    merged: set[str] = set()
    for name, layer in graph.layers.items():
        reads = graph.dependencies[name]
        if not (
            isinstance(layer, Blockwise)
            and len(reads) > 1
            and not any(dependencies[read] for read in reads)
            and all(len(dependents.get(read, ())) == 1 for read in reads)
            and all(layer.annotations == graph.layers[read].annotations for read in reads)
        ):
            continue
        if layer.annotations or not isinstance(layer.task, Task):
            return False  # merged, the layer would lose its annotations: left to dask as it was
        for read in reads:
            if read not in merged and not _task_objects_only(graph.layers[read]):
                return False
            del dependencies[read]
        dependencies[name] = set()
        merged.add(name)
    return True


def _task_objects_only(layer: Any) -> bool:
    if isinstance(layer, Blockwise):
        return isinstance(layer.task, Task)  # its blocks are made by substituting into its task
    return all(isinstance(value, GraphNode) for value in layer.values())


class _Clock:
    """Adds the seconds each step takes to a dict, where one is given (the benchmark's)."""

    def __init__(self, timings: dict[str, float] | None) -> None:
        self.timings, self.start = timings, time.perf_counter()

    def step(self, name: str) -> None:
        if self.timings is not None:
            now = time.perf_counter()
            self.timings[name] = self.timings.get(name, 0.0) + now - self.start
            self.start = now


def optimize_graph(dsk: Any, keys: Any, *, array: bool, timings: dict[str, float] | None = None) -> Any:
    """The optimized graph, or Unsupported; with `timings`, the seconds of each step are added
    to it: high-level (dask's blockwise and root fusion), layers (reading the graph's layers),
    recording (rows), columns (the batched record call), reduction, writing."""
    clock = _Clock(timings)
    outputs = _output_keys(keys)
    if not isinstance(dsk, HighLevelGraph):
        dsk = HighLevelGraph.from_collections(str(id(dsk)), dsk, dependencies=())
    fusing = config.get("optimization.fuse.active") is not False
    if array:
        from dask.blockwise import fuse_roots, optimize_blockwise  # noqa: PLC0415

        dsk = optimize_blockwise(dsk, keys=outputs)  # type: ignore[no-untyped-call]
        if not fusing or not _root_fusion_idle(dsk):
            dsk = fuse_roots(dsk, keys=outputs)
    if not fusing:
        return dsk.cull(set(outputs))  # no fusion asked for: dask's high-level steps alone
    clock.step("high-level")
    graph = _Graph(dsk)
    for key in outputs:
        if key not in graph:
            raise Unsupported(f"the output key {key!r} is not in the graph")
    clock.step("layers")
    recorder = Recorder(graph, functools.partial(impure_marker, delayed=not array))
    unique = list(dict.fromkeys(outputs))
    kept = record_graph(recorder, unique, graph.lookup, graph.ranks, graph.block_ranks)
    named = unique + [key for key in dict.fromkeys(kept) if key not in graph.pinned and key in graph]
    clock.step("recording")

    store = GraphStore()
    inputs = np.asarray(recorder.inputs, dtype=np.int64)
    offsets = np.asarray(recorder.offsets, dtype=np.int64)
    row_ids = np.frombuffer(
        columns.record(store, bytes(recorder.kinds), recorder.names, recorder.params, None, offsets, -1 - inputs),
        dtype=np.int64,
    )
    clock.step("columns")
    key_row = recorder.key_row
    output_ids = [int(row_ids[key_row[key]]) for key in named]
    reduction = reduce(store, output_ids, maximal_fusion=True, origins=True)
    clock.step("reduction")
    result = write_back(recorder, (row_ids, offsets, inputs), store, reduction, named)
    pinned_layers = _pinned_layers(graph, recorder)
    clock.step("writing")
    if timings is not None:
        timings["rows"] = timings.get("rows", 0) + len(recorder.names)
    if not pinned_layers:
        return result
    layers: dict[str, Any] = {"veltrix-" + str(id(result)): MaterializedLayer(result)}
    layers.update(pinned_layers)
    return HighLevelGraph(layers, {name: set() for name in layers})


def _pinned_layers(graph: _Graph, recorder: Recorder) -> dict[str, Any]:
    """The layers with annotations, each with the keys the computation needs, as they were."""
    needed: dict[str, dict[Hashable, Any]] = {}
    for key, row in recorder.key_row.items():
        name = graph.pinned.get(key)
        if name is not None and row in recorder.pinned_rows:
            needed.setdefault(name, {})[key] = graph.values[key]
    return {
        name: MaterializedLayer(values, annotations=graph.layers[name].annotations) for name, values in needed.items()
    }
