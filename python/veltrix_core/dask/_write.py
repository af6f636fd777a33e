"""Writing a reduced store back as a dask graph of task objects.

Every stage becomes one task that calls its members in order (`_calls.StageCall`, one per
distinct stage shape); its inputs are references to other tasks' keys and, inline, the literals
the recorded calls held. A source of data (a key whose value was data) stays a ``DataNode``
under its key where several tasks read it or it is an output, and is passed inline to its one
reader otherwise. An exchange is a plain reference to its input.

Keys: every requested output, and every key that a layer left untouched reads, keeps its name
(a second name for the same value is an ``Alias``). Any other task is named after a recorded
task whose value it computes (the last member's, for a stage), so a key never names a value
other than the one the recorded graph gave it; a stage whose value no recorded key held gets a
new key of this optimization's own.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterator
from typing import Any, TypeAlias

import numpy as np

from dask._task_spec import Alias, DataNode, GraphNode, Task, TaskRef
from veltrix_core import GraphStore, columns
from veltrix_core.dask._calls import CONST, INPUT, MAPPING, MEMBER, SEQUENCE, Member, Spec, StageCall
from veltrix_core.dask._record import DATA, EXCHANGE, EXTERNAL, LITERAL, SOURCE, OpSpec, Recorder, Unsupported
from veltrix_core.run.reduction import Reduction

__all__ = ["write_back"]

_STAGE = 4


def _spec(element: Any, path: str, params: dict[str, Any], operands: Iterator[Spec]) -> Spec:
    if type(element) is int:
        return next(operands) if element == 0 else (CONST, params[path])
    items = tuple(_spec(item, f"{path}.{i}", params, operands) for i, item in enumerate(element[-1]))
    if len(element) == 2:
        return (SEQUENCE, (element[0], items))
    return (MAPPING, (element[1], items))


def _member(spec: OpSpec, params: dict[str, Any], operands: list[Spec]) -> Member:
    """A call of a recorded op whose inputs, in template order, are `operands`."""
    func, args, kw_names, kw_sigs = spec
    remaining = iter(operands)
    built = tuple(_spec(element, str(i), params, remaining) for i, element in enumerate(args))
    keywords = tuple(_spec(element, name, params, remaining) for name, element in zip(kw_names, kw_sigs))
    if next(remaining, None) is not None:
        raise Unsupported("a stage member whose inputs do not fit its template")
    return (func, built, kw_names, keywords, ())


def _members_read(spec: Spec, found: list[int]) -> None:
    code, payload = spec
    if code == MEMBER:
        found.append(payload)
    elif code == SEQUENCE or code == MAPPING:
        for item in payload[1]:
            _members_read(item, found)


def _with_drops(members: list[Member]) -> StageCall:
    """The stage call of `members`, each dropping the member values it is the last to read."""
    last_use: dict[int, int] = {}
    for position, (_, args, _, keywords, _) in enumerate(members):
        found: list[int] = []
        for spec in (*args, *keywords):
            _members_read(spec, found)
        for index in found:
            last_use[index] = position
    drops: dict[int, list[int]] = {}
    for index, position in last_use.items():
        drops.setdefault(position, []).append(index)
    return StageCall(
        tuple(
            (func, args, names, keywords, tuple(drops.get(position, ())))
            for position, (func, args, names, keywords, _) in enumerate(members)
        )
    )


class _Stages:
    """The calls of the reduced store's stages. A stage whose value no recorded key held (calls
    that dask ran inside other tasks, merged across them) is not a task of its own: it runs again
    inside each stage that reads it, as dask ran it, so fusion never leaves more tasks than
    dask's."""

    def __init__(self, table: list[Any], ops: dict[str, OpSpec]) -> None:
        self.table, self.ops = table, ops
        self.calls: dict[Hashable, StageCall] = {}

    def call(self, shape: int, parts: tuple[Any, ...] | None) -> StageCall:
        """The call of a stage of this shape; `parts` says, for each input, None for a task
        argument or the (shape, parts) of a stage that runs inside it."""
        key: Hashable = shape if parts is None else (shape, parts)
        call = self.calls.get(key)
        if call is None:
            members: list[Member] = []
            self._compose(shape, parts, members, [0])
            call = self.calls[key] = _with_drops(members)
        return call

    def _compose(self, shape: int, parts: tuple[Any, ...] | None, members: list[Member], external: list[int]) -> Spec:
        # A stage nested in another has parts (one per input), so its inputs follow the
        # arguments taken so far; only the outermost stage may have none.
        inputs: list[Spec] = []
        if parts is not None:
            for part in parts:
                if part is None:
                    inputs.append((INPUT, external[0]))
                    external[0] += 1
                else:
                    inputs.append(self._compose(part[0], part[1], members, external))
        base = len(members)
        for member in self.table[shape]["members"]:
            if member["kind"] != "op":
                raise Unsupported(f"a stage member of kind {member['kind']!r}")
            operands: list[Spec] = [
                (MEMBER, base + index) if kind == "member" else ((INPUT, index) if parts is None else inputs[index])
                for kind, index in member["inputs"]
            ]
            members.append(_member(self.ops[member["name"]], member["params"], operands))
        return (MEMBER, len(members) - 1)


def _inline(value: Any) -> Any:
    """A literal as a task argument: a graph node or reference is wrapped so that it is passed
    as it is, not read as a dependency."""
    if isinstance(value, (GraphNode, TaskRef)):
        return DataNode(None, value)
    return value


def _origins_map(reduction: Reduction, recorded_count: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    origins = reduction.origins
    if origins is None:
        raise Unsupported("the reduction gave no origins")
    offsets = np.frombuffer(origins.offsets, dtype=np.int64)
    ids = np.frombuffer(origins.ids, dtype=np.int64)
    reduced_of = np.full(recorded_count, -1, dtype=np.int64)
    reduced_of[ids] = np.repeat(np.arange(len(offsets) - 1, dtype=np.int64), np.diff(offsets))
    return reduced_of, offsets, ids


def _value_keys(
    recorder: Recorder, rows: RowColumns, reduction: Reduction, recorded_count: int
) -> tuple[list[Any], list[int], np.ndarray]:
    """The graph keys whose recorded values reduced nodes compute; for each reduced node, the
    index of one of them in that list, or -1; and whether it has one.

    A recorded task stands for its reduced node's value unless another recorded node of the
    same reduced node reads it (then it is a member before the stage's last).
    """
    row_ids, row_offsets, row_inputs = rows
    reduced_of, offsets, ids = _origins_map(reduction, recorded_count)
    readers = row_ids[np.repeat(np.arange(len(row_offsets) - 1, dtype=np.int64), np.diff(row_offsets))]
    read = row_ids[row_inputs]
    inside = (reduced_of[readers] == reduced_of[read]) & (reduced_of[read] >= 0)
    task_key = recorder.task_key
    key_list = list(task_key.values())
    # The first key (in recording order) of each recorded node that a task's key named.
    key_ids = row_ids[np.fromiter(task_key, dtype=np.int64, count=len(task_key))]
    named_ids, first = np.unique(key_ids, return_index=True)
    key_of_id = np.full(recorded_count, -1, dtype=np.int64)
    key_of_id[named_ids] = first
    candidate = key_of_id >= 0
    candidate[read[inside]] = False
    choice = np.where(candidate[ids], ids, -1)
    count = len(offsets) - 1
    best = np.full(count, -1, dtype=np.int64)
    nonempty = np.flatnonzero(np.diff(offsets))
    if len(nonempty):
        best[nonempty] = np.maximum.reduceat(choice, offsets[nonempty])[: len(nonempty)]
    chosen = np.where(best >= 0, key_of_id[np.maximum(best, 0)], -1)
    return key_list, chosen.tolist(), chosen >= 0


def _readers(read: columns.Columns, keyed: np.ndarray) -> list[int]:
    """How many nodes read each node; -1 where a stage without a key (which runs again inside
    each of its readers) reads it, so that its data is not copied into every one of them."""
    count = len(read)
    offsets = np.asarray(read.offsets)
    inputs = np.asarray(read.inputs)
    readers = np.bincount(inputs, minlength=count).astype(np.int64)
    runs_inside = (np.asarray(read.kinds) == _STAGE) & ~keyed
    reader_of = np.repeat(np.arange(count, dtype=np.int64), np.diff(offsets))
    readers[inputs[runs_inside[reader_of]]] = -1
    return readers.tolist()


# The recorder's rows as arrays: each row's node in the recorded store, the offsets of each
# row's inputs, and the inputs.
RowColumns: TypeAlias = tuple[np.ndarray, np.ndarray, np.ndarray]


def write_back(
    recorder: Recorder,
    rows: RowColumns,
    store: GraphStore,
    reduction: Reduction,
    named: list[Any],
) -> dict[Any, Any]:
    """The dask graph of the reduced store; `named[i]` is the graph key of the reduction's
    i-th output."""
    reduced = reduction.store
    read = columns.read(reduced)
    count = len(read)
    kinds = bytes(read.kinds)
    shapes = read.shapes.tolist()
    offsets = read.offsets.tolist()
    inputs = read.inputs.tolist()
    table = read.shape_table
    if any(kind not in (SOURCE, _STAGE, EXCHANGE) for kind in set(kinds)):
        raise Unsupported("the reduced graph holds a node of a kind that cannot be written back")

    primary: list[Any] = [None] * count
    primary_nodes: list[int] = []
    later: list[tuple[Any, int]] = []
    for key, node in zip(named, reduction.outputs):
        if primary[node] is None and (kinds[node] == _STAGE or _is_data(recorder, table[shapes[node]])):
            primary[node] = key
            primary_nodes.append(node)
        else:
            later.append((key, node))
    value_keys, value_key_of, keyed = _value_keys(recorder, rows, reduction, store.node_count())
    keyed[primary_nodes] = True
    readers = _readers(read, keyed)

    graph: dict[Any, Any] = {}
    refs: list[Any] = [None] * count
    # A stage that runs inside its readers: (its shape and parts, its task arguments).
    inside: dict[int, tuple[tuple[int, tuple[Any, ...] | None], list[Any]]] = {}
    stages = _Stages(table, recorder.ops)
    calls = stages.calls
    sources = recorder.sources
    for node in range(count):
        kind = kinds[node]
        if kind == _STAGE:
            shape = shapes[node]
            node_inputs = inputs[offsets[node] : offsets[node + 1]]
            parts: tuple[Any, ...] | None = None
            if inside and any(i in inside for i in node_inputs):
                parts = tuple(inside[i][0] if i in inside else None for i in node_inputs)
                arguments: list[Any] = []
                for i in node_inputs:
                    arguments.extend(inside[i][1] if i in inside else (refs[i],))
            else:
                arguments = [refs[i] for i in node_inputs]
            key = primary[node]
            if key is None:
                index = value_key_of[node]
                key = value_keys[index] if index >= 0 else None
                if key is None:
                    inside[node] = ((shape, parts if parts is not None else (None,) * len(node_inputs)), arguments)
                    continue
            call = calls.get(shape) if parts is None else None
            if call is None:
                call = stages.call(shape, parts)
            graph[key] = _task(key, call, arguments)
            refs[node] = TaskRef(key)
        elif kind == SOURCE:
            source = sources[source_number(table[shapes[node]]["name"])]
            if source[0] == LITERAL:
                refs[node] = _inline(source[1])
            elif source[0] == EXTERNAL:
                refs[node] = source[1]
            else:
                key = primary[node]
                if key is None and readers[node] != 1:
                    key = source[2]
                if key is None:
                    refs[node] = _inline(source[1])
                else:
                    graph[key] = DataNode(key, source[1])
                    refs[node] = TaskRef(key)
        else:
            source_node = inputs[offsets[node]]
            if source_node in inside:
                raise Unsupported("an exchange reads a stage without a key")
            refs[node] = refs[source_node]
    for key, node in later:
        ref = refs[node]
        if isinstance(ref, TaskRef):
            if ref.key != key:
                graph[key] = Alias(key, ref.key)
        else:
            graph[key] = DataNode(key, ref.value if type(ref) is DataNode else ref)
    return graph


def _task_slots() -> frozenset[str]:
    found: set[str] = set()
    for kind in Task.__mro__:
        slots = getattr(kind, "__slots__", ())
        found.update((slots,) if isinstance(slots, str) else slots)
    return frozenset(found)


# The fields a task of this dask version holds; where they are these, a written task is made
# without Task's constructor, whose generic walk of the arguments takes most of the time of
# writing a task: every argument here is a reference, a DataNode without dependencies or a
# plain literal.
_FAST_TASKS = _task_slots() == {
    "key",
    "_dependencies",
    "func",
    "args",
    "kwargs",
    "_data_producer",
    "_token",
    "_is_coro",
    "_repr",
}
_new_task = Task.__new__


def _task(key: Any, call: StageCall, arguments: list[Any]) -> Task:
    if not _FAST_TASKS:
        return Task(key, call, *arguments)
    task = _new_task(Task)
    task.key = key
    task.func = call
    task.args = tuple(arguments)
    task.kwargs = {}
    read = [argument.key for argument in arguments if isinstance(argument, TaskRef)]
    task._dependencies = frozenset(read)
    task._data_producer = False
    task._token = None
    task._is_coro = None
    task._repr = None
    return task


def source_number(name: str) -> int:
    """The number of a source, which its name ends with."""
    return int(name[name.rindex("#") + 1 :])


def _is_data(recorder: Recorder, view: Any) -> bool:
    if view["kind"] != "source":
        return False
    return bool(recorder.sources[source_number(view["name"])][0] == DATA)
