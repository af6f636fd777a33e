"""Reading a store into a plan: the nodes reachable from the requested outputs, each checked
against the registry, the sources and the models and turned into a task, a callable of its
input values.

Everything that can be known to fail before anything runs fails here, at the lowest node id
that is wrong: an output id the store lacks, an op or reduction the registry has no entry for
(or whose entry refuses the node's inputs or params), a source with no value, an External
without a model. The local evaluator and the dask lowering both run these tasks, so a node
computes the same thing in both.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Mapping
from typing import Any

from veltrix_core.run.errors import MissingImplementation, NodeFailed

__all__ = ["Plan", "Task", "read_plan"]

# A Stage member's kind as its view writes it, and the registry kind it stands for.
MEMBER_KINDS = {"op": "op", "red": "reduction"}


def describe(view: Mapping[str, Any]) -> tuple[str, str]:
    """A node's name for messages: for an External its descriptor's kind and content hash."""
    kind = view["kind"]
    if kind == "external":
        d = view["descriptor"]
        return kind, f"{d['kind']}:{d['content_hash']}"
    return kind, view["name"]


def _label(kind: str, name: str) -> str:
    return f"{kind} {name!r}" if name else kind


class Task:
    """One node: a callable of the node's input values, in input order, that returns its value.
    A failure inside becomes NodeFailed naming the node."""

    __slots__ = ("node_id", "kind", "name", "inputs")

    def __init__(self, node_id: int, kind: str, name: str, inputs: tuple[int, ...]):
        self.node_id, self.kind, self.name, self.inputs = node_id, kind, name, inputs

    def __repr__(self):
        return f"<{type(self).__name__} node {self.node_id} ({_label(self.kind, self.name)})>"

    def __call__(self, *values):
        try:
            return self.compute(values)
        except NodeFailed:
            raise
        except Exception as error:
            raise self.failure(error, "") from error

    def failure(self, error: BaseException, where: str) -> NodeFailed:
        return NodeFailed(
            f"node {self.node_id} ({where}{_label(self.kind, self.name)}) raised "
            f"{type(error).__name__}: {error}",
            node_id=self.node_id, kind=self.kind, name=self.name)

    def compute(self, values: tuple):
        raise NotImplementedError

    def __getstate__(self):
        return {slot: getattr(self, slot) for cls in type(self).__mro__ for slot in getattr(cls, "__slots__", ())}

    def __setstate__(self, state):
        for slot, value in state.items():
            setattr(self, slot, value)


class SourceValue(Task):
    """A source whose value the caller gave in a mapping."""

    __slots__ = ("value",)

    def compute(self, values):
        return self.value


class SourceCall(Task):
    """A source whose value the caller's callable makes from the source's name and params."""

    __slots__ = ("make", "params")

    def compute(self, values):
        return self.make(self.name, self.params)


class Apply(Task):
    """An op, a reduction or an External: a registry entry or model applied to the inputs."""

    __slots__ = ("function", "params")

    def compute(self, values):
        return self.function(list(values), self.params)


class Identity(Task):
    """An Exchange: moving data between partitions changes no value."""

    __slots__ = ()

    def compute(self, values):
        return values[0]


class StageRun(Task):
    """A Stage: its members in order, each reading stage inputs (a ref k >= 0) and earlier
    members (a ref -1 - j for member j). A member's value is dropped after its last use inside
    the stage; the stage's value is its last member's."""

    __slots__ = ("members",)  # (function, params, refs, member values to drop after it, kind, name)

    def compute(self, values):
        results = [None] * len(self.members)
        for position, (function, params, refs, drops, kind, name) in enumerate(self.members):
            args = [values[ref] if ref >= 0 else results[-1 - ref] for ref in refs]
            try:
                results[position] = function(args, params)
            except Exception as error:
                member = NodeFailed(
                    f"node {self.node_id} (stage member {position}, {_label(kind, name)}) raised "
                    f"{type(error).__name__}: {error}",
                    node_id=self.node_id, kind="stage", name=name)
                raise member from error
            for dropped in drops:
                results[dropped] = None
        return results[-1]


def _new(cls, node_id, kind, name, inputs, **fields):
    task = cls(node_id, kind, name, inputs)
    for key, value in fields.items():
        setattr(task, key, value)
    return task


class Plan:
    """The checked tasks of the nodes reachable from `outputs`, in id order, and the outputs."""

    __slots__ = ("tasks", "outputs")

    def __init__(self, tasks: list[Task], outputs: list[int]):
        self.tasks, self.outputs = tasks, outputs


def _output_ids(outputs, count: int) -> list[int]:
    if isinstance(outputs, (str, bytes)):
        raise TypeError("outputs must be a sequence of node ids")
    ids = [operator.index(o) for o in outputs]
    for node_id in ids:
        if not 0 <= node_id < count:
            raise ValueError(f"no node with id {node_id}")
    return ids


def _reachable(views: list[Mapping[str, Any]], outputs: list[int]) -> list[int]:
    reached = bytearray(len(views))
    stack = list(outputs)
    while stack:
        node_id = stack.pop()
        if not reached[node_id]:
            reached[node_id] = 1
            stack.extend(views[node_id]["inputs"])
    return [i for i in range(len(views)) if reached[i]]


class _Refused(Exception):
    """Why a node cannot run; read_plan turns it into MissingImplementation naming the node."""


def _entry(registry: Mapping, kind: str, name: str, arity: int, params: dict, where: str) -> Callable:
    entry = registry.get((kind, name))
    if entry is None:
        raise _Refused(f"{where}the registry has no entry for {(kind, name)!r}")
    if not callable(entry):
        raise _Refused(f"{where}the registry's entry for {(kind, name)!r} is not callable")
    check = getattr(entry, "check", None)
    refusal = check(arity, params) if callable(check) else None
    if refusal:
        raise _Refused(f"{where}{refusal}")
    return entry


def _stage_members(view: Mapping[str, Any], registry: Mapping) -> tuple:
    members = view["members"]
    last_use = {}
    for position, member in enumerate(members):
        for ref, index in member["inputs"]:
            if ref == "member":
                last_use[index] = position
    drops = [[] for _ in members]
    for member_index, position in last_use.items():
        drops[position].append(member_index)
    built = []
    for position, member in enumerate(members):
        kind = MEMBER_KINDS.get(member["kind"])
        if kind is None:
            raise _Refused(f"member {position} has kind {member['kind']!r}, which no registry knows")
        refs = tuple(index if ref == "input" else -1 - index for ref, index in member["inputs"])
        where = f"member {position}, {_label(member['kind'], member['name'])}: "
        function = _entry(registry, kind, member["name"], len(refs), member["params"], where)
        built.append((function, member["params"], refs, tuple(drops[position]), member["kind"], member["name"]))
    return tuple(built)


def read_plan(store, outputs, sources, registry: Mapping | None, models: Mapping | None) -> Plan:
    """The plan of `store` for `outputs`, or MissingImplementation for the first node (by id)
    that cannot run; ValueError for an output id the store lacks."""
    if registry is None:
        from veltrix_core.run.registry import default_registry  # noqa: PLC0415 (numpy only when needed)

        registry = default_registry()
    models = {} if models is None else models
    if not (callable(sources) or isinstance(sources, Mapping)):
        raise TypeError("sources must be a mapping from source name to value, or a callable (name, params)")
    views = store.nodes()
    ids = _output_ids(outputs, len(views))
    tasks = []
    for node_id in _reachable(views, ids):
        view = views[node_id]
        kind, name = describe(view)
        inputs = tuple(view["inputs"])
        params = view["params"]
        try:
            if kind == "source":
                if isinstance(sources, Mapping):
                    if name not in sources:
                        raise _Refused(f"sources has no value for {name!r}")
                    task = _new(SourceValue, node_id, kind, name, inputs, value=sources[name])
                else:
                    task = _new(SourceCall, node_id, kind, name, inputs, make=sources, params=params)
            elif kind in ("op", "reduction"):
                function = _entry(registry, kind, name, len(inputs), params, "")
                task = _new(Apply, node_id, kind, name, inputs, function=function, params=params)
            elif kind == "external":
                content_hash = view["descriptor"]["content_hash"]
                model = models.get(content_hash)
                if model is None:
                    raise _Refused(f"models has no entry for content hash {content_hash!r}")
                task = _new(Apply, node_id, kind, name, inputs, function=model, params=params)
            elif kind == "exchange":
                if len(inputs) != 1:
                    raise _Refused(f"an exchange passes one value on, and this one has {len(inputs)} inputs")
                task = _new(Identity, node_id, kind, name, inputs)
            elif kind == "stage":
                task = _new(StageRun, node_id, kind, name, inputs, members=_stage_members(view, registry))
            else:
                raise _Refused(f"nodes of kind {kind!r} cannot run")
        except _Refused as error:
            message = f"node {node_id} ({_label(kind, name)}): {error.args[0]}"
            raise MissingImplementation(message, node_id=node_id, kind=kind, name=name) from None
        tasks.append(task)
    return Plan(tasks, ids)
