"""Reading a store into a plan: the nodes reachable from the requested outputs, in id order,
each checked against the registry, the sources and the models and paired with the
implementation that computes it.

Everything that can be known to fail before anything runs fails here. Arguments of the wrong
type (outputs that are not a list or tuple of ints, a registry or models that are not mappings)
are a TypeError, an output id the store lacks a ValueError; then, at the lowest node id that is
wrong, a MissingImplementation: an op or reduction the registry has no entry for (or whose
entry refuses the node's inputs or params), a source with no value or whose value the
registry's ("source", "") entry refuses, an External without a callable model, a Stage without
members or with a member that reads a stage input the stage lacks. The local evaluator and the
dask lowering both call these implementations, so a node computes the same thing in both.

An implementation is called as `implementation(node_id, *input_values)`; the node id is there
only to name the node when it fails. Nodes with equal kind, name, params and number of inputs
share one implementation object: a large graph repeats a few hundred such combinations many
thousand times, and sharing keeps both the plan and a pickled dask graph small.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Mapping, Sequence
from itertools import compress
from typing import Any, TypeAlias

from veltrix_core import GraphStore
from veltrix_core.run.errors import MissingImplementation, NodeFailed
from veltrix_core.typing import MemberView, NodeFunction, NodeView, ParamValue, Registry, Sources

__all__ = ["Plan", "Implementation", "read_plan"]

# A Stage member's kind as its view writes it, and the registry kind it stands for.
MEMBER_KINDS = {"op": "op", "red": "reduction"}
# The registry entry that every source's value passes through, where a registry has one.
SOURCE_ENTRY = ("source", "")

Params: TypeAlias = dict[str, ParamValue]


def _external_name(descriptor: Mapping[str, Any]) -> str:
    """What names an External in plans and errors: its payload's kind and content hash."""
    return f"{descriptor['kind']}:{descriptor['content_hash']}"


def _label(kind: str, name: str) -> str:
    return f"{kind} {name!r}" if name else kind


class Implementation:
    """What computes one kind of node; a failure inside becomes NodeFailed naming the node."""

    __slots__ = ("kind", "name")

    def __init__(self, kind: str, name: str) -> None:
        self.kind, self.name = kind, name

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {_label(self.kind, self.name)}>"

    def __call__(self, node_id: int, *values: Any) -> Any:
        try:
            return self.compute(values)
        except NodeFailed:
            raise
        except Exception as error:
            raise NodeFailed(
                f"node {node_id} ({_label(self.kind, self.name)}) raised {type(error).__name__}: {error}",
                node_id=node_id,
                kind=self.kind,
                name=self.name,
            ) from error

    def compute(self, values: tuple[Any, ...]) -> Any:
        raise NotImplementedError


class SourceValue(Implementation):
    """A source whose value the caller gave in a mapping."""

    __slots__ = ("value",)

    def __init__(self, name: str, value: Any) -> None:
        super().__init__("source", name)
        self.value = value

    def compute(self, values: tuple[Any, ...]) -> Any:
        return self.value


class SourceCall(Implementation):
    """A source whose value the caller's callable makes from the source's name and params, and
    the registry's ("source", "") entry, if any, accepts."""

    __slots__ = ("make", "params", "accept")

    def __init__(
        self, name: str, make: Callable[[str, Params], object], params: Params, accept: NodeFunction | None
    ) -> None:
        super().__init__("source", name)
        self.make, self.params, self.accept = make, params, accept

    def compute(self, values: tuple[Any, ...]) -> Any:
        value = self.make(self.name, self.params)
        return value if self.accept is None else self.accept([value], self.params)


class Apply(Implementation):
    """An op, a reduction or an External: a registry entry or model applied to the inputs."""

    __slots__ = ("function", "params")

    def __init__(self, kind: str, name: str, function: NodeFunction, params: Params) -> None:
        super().__init__(kind, name)
        self.function, self.params = function, params

    def compute(self, values: tuple[Any, ...]) -> Any:
        return self.function(list(values), self.params)


class Identity(Implementation):
    """An Exchange: moving data between partitions changes no value."""

    __slots__ = ()

    def compute(self, values: tuple[Any, ...]) -> Any:
        return values[0]


# A Stage member: (function, params, refs, member values to drop after it, kind, name).
Member: TypeAlias = tuple[NodeFunction, Params, tuple[int, ...], tuple[int, ...], str, str]


class StageRun(Implementation):
    """A Stage: its members in order, each reading stage inputs (a ref k >= 0) and earlier
    members (a ref -1 - j for member j). A member's value is dropped after its last use inside
    the stage; the stage's value is its last member's."""

    # reads: (how many stage inputs the members read, the first member that reads the last).
    __slots__ = ("members", "reads")

    def __init__(self, members: tuple[Member, ...], reads: tuple[int, int]) -> None:
        super().__init__("stage", "")
        self.members, self.reads = members, reads

    def __call__(self, node_id: int, *values: Any) -> Any:
        results: list[Any] = [None] * len(self.members)
        for position, (function, params, refs, drops, kind, name) in enumerate(self.members):
            args = [values[ref] if ref >= 0 else results[-1 - ref] for ref in refs]
            try:
                results[position] = function(args, params)
            except Exception as error:
                raise NodeFailed(
                    f"node {node_id} (stage member {position}, {_label(kind, name)}) raised "
                    f"{type(error).__name__}: {error}",
                    node_id=node_id,
                    kind="stage",
                    name=name,
                ) from error
            for dropped in drops:
                results[dropped] = None
        return results[-1]


EXCHANGE = Identity("exchange", "")


class Plan:
    """The reachable nodes in id order as (node id, implementation, input ids), and the
    requested outputs."""

    __slots__ = ("steps", "outputs")

    def __init__(self, steps: list[tuple[int, Implementation, list[int]]], outputs: list[int]):
        self.steps, self.outputs = steps, outputs


class _Refused(Exception):
    """Why a node cannot run; read_plan turns it into MissingImplementation naming the node."""


def _params_key(params: Params) -> tuple[tuple[str, type, object], ...]:
    """Params as a key that tells apart what == does not: 0.0 and -0.0, 1 and 1.0 and True."""
    if not params:
        return ()
    return tuple((key, type(value), value.hex() if type(value) is float else value) for key, value in params.items())


class _Implementations:
    """Registry lookups and checks, and the implementations they give, once per distinct
    (kind, name, number of inputs, params)."""

    def __init__(self, registry: Registry) -> None:
        self.registry = registry
        self.seen: dict[tuple[object, ...], Apply | str] = {}
        self.stages: dict[tuple[object, ...], StageRun] = {}

    def apply(self, kind: str, name: str, arity: int, params: Params) -> Apply:
        key: tuple[object, ...] | None
        try:
            key = (kind, name, arity, _params_key(params))
            found = self.seen.get(key)
        except TypeError:  # an unhashable param value from a custom view: look up every time
            key, found = None, None
        if found is None:
            found = self._look_up(kind, name, arity, params)
            if key is not None:
                self.seen[key] = found
        if isinstance(found, str):
            raise _Refused(found)
        return found

    def _look_up(self, kind: str, name: str, arity: int, params: Params) -> Apply | str:
        entry = self.registry.get((kind, name))
        if entry is None:
            return f"the registry has no entry for {(kind, name)!r}"
        if not callable(entry):
            return f"the registry's entry for {(kind, name)!r} is not callable"
        check = getattr(entry, "check", None)
        refusal = check(arity, params) if callable(check) else None
        return str(refusal) if refusal else Apply(kind, name, entry, params)

    def stage(self, members: list[MemberView]) -> StageRun:
        # Stages of one member repeat as ops do. Longer ones repeat less, and building a key for
        # one (measured) costs more than building the stage anew.
        if len(members) != 1:
            return self._build_stage(members)
        member = members[0]
        key: tuple[object, ...] | None
        try:
            key = (member["kind"], member["name"], tuple(member["inputs"]), _params_key(member["params"]))
            found = self.stages.get(key)
        except TypeError:
            key, found = None, None
        if found is None:
            found = self._build_stage(members)
            if key is not None:
                self.stages[key] = found
        return found

    def _build_stage(self, members: list[MemberView]) -> StageRun:
        if not members:
            raise _Refused("a stage without members has no value")
        apply = self.apply
        parts: list[Member] = []
        last_use: dict[int, int] = {}  # member index -> position of the last member that reads it
        reads = (0, 0)
        for position, member in enumerate(members):
            name, member_kind, params = member["name"], member["kind"], member["params"]
            kind = MEMBER_KINDS.get(member_kind)
            if kind is None:
                raise _Refused(f"member {position} has kind {member_kind!r}, which no registry knows")
            refs = tuple([index if ref == "input" else -1 - index for ref, index in member["inputs"]])
            for ref in refs:
                if ref < 0:
                    if -1 - ref >= position:
                        raise _Refused(f"member {position} reads member {-1 - ref}, which does not come before it")
                    last_use[-1 - ref] = position
                elif ref >= reads[0]:
                    reads = (ref + 1, position)
            try:
                function = apply(kind, name, len(refs), params).function
            except _Refused as refused:
                raise _Refused(f"member {position}, {_label(member_kind, name)}: {refused.args[0]}") from None
            parts.append((function, params, refs, (), member_kind, name))
        for member_index, position in last_use.items():
            function, params, refs, drops, kind, name = parts[position]
            parts[position] = (function, params, refs, (*drops, member_index), kind, name)
        return StageRun(tuple(parts), reads)


def _output_ids(outputs: object, count: int) -> list[int]:
    """The requested ids, checked: a list or tuple of ints (not bools), each a node of the store."""
    if not isinstance(outputs, (list, tuple)):
        raise TypeError(f"outputs must be a list or tuple of node ids, not {type(outputs).__name__}")
    ids: list[int] = []
    for output in outputs:
        if type(output) is not int:
            if isinstance(output, bool) or not hasattr(type(output), "__index__"):
                raise TypeError(f"outputs must hold node ids (ints), not {type(output).__name__}")
            output = operator.index(output)
        if not 0 <= output < count:
            raise ValueError(f"no node with id {output}")
        ids.append(output)
    return ids


def _reachable(views: Sequence[NodeView], outputs: list[int]) -> list[int]:
    # A node's inputs are earlier nodes, so one sweep down from the highest output reaches all
    # that a search would, touching each view once and keeping no stack.
    reached = bytearray(len(views))
    for node_id in outputs:
        reached[node_id] = 1
    for node_id in range(max(outputs, default=-1), -1, -1):
        if reached[node_id]:
            for input_id in views[node_id]["inputs"]:
                reached[input_id] = 1
    return list(compress(range(len(reached)), reached))


class _Sources:
    """The implementations of sources: from a mapping, with each value accepted by the
    registry's ("source", "") entry before anything runs; from a callable, accepted as made."""

    def __init__(self, sources: Sources, accept: NodeFunction | None) -> None:
        if not (callable(sources) or isinstance(sources, Mapping)):
            raise TypeError("sources must be a mapping from source name to value, or a callable (name, params)")
        self.sources, self.accept = sources, accept

    def implementation(self, name: str, params: Params) -> Implementation:
        accept, sources = self.accept, self.sources
        if accept is not None and not callable(accept):
            raise _Refused(f"the registry's entry for {SOURCE_ENTRY!r} is not callable")
        if not isinstance(sources, Mapping):  # a mapping that is also callable is read as a mapping
            return SourceCall(name, sources, params, accept)
        if name not in sources:
            raise _Refused(f"sources has no value for {name!r}")
        value = sources[name]
        if accept is not None:
            try:
                value = accept([value], params)
            except Exception as error:
                raise _Refused(f"the value of {name!r} is refused: {type(error).__name__}: {error}") from None
        return SourceValue(name, value)


def _mapping[K, V](argument: Mapping[K, V] | None, what: str, default: Mapping[K, V] | None = None) -> Mapping[K, V]:
    if argument is None and default is not None:
        return default
    if not isinstance(argument, Mapping):
        raise TypeError(f"{what}, not {type(argument).__name__}")
    return argument


def read_plan(
    store: GraphStore,
    outputs: list[int] | tuple[int, ...],
    sources: Sources,
    registry: Registry | None,
    models: Mapping[str, NodeFunction] | None,
) -> Plan:
    """The plan of `store` for `outputs`, or MissingImplementation for the first node (by id)
    that cannot run; TypeError for arguments of the wrong type, ValueError for an output id the
    store lacks."""
    if registry is None:
        from veltrix_core.run.registry import default_registry  # noqa: PLC0415 (numpy only when needed)

        registry = default_registry()
    registry = _mapping(registry, "registry must be a mapping from (kind, name) to a callable")
    models = _mapping(models, "models must be a mapping from content hash to a callable", {})
    source_implementation = _Sources(sources, registry.get(SOURCE_ENTRY)).implementation
    views = store.nodes()
    ids = _output_ids(outputs, len(views))
    implementations = _Implementations(registry)
    apply, stage = implementations.apply, implementations.stage
    steps: list[tuple[int, Implementation, list[int]]] = []
    append = steps.append
    for node_id in _reachable(views, ids):
        view = views[node_id]
        kind, inputs = view["kind"], view["inputs"]
        try:
            if kind == "stage":
                stage_run = stage(view["members"])
                if stage_run.reads[0] > len(inputs):
                    count, position = stage_run.reads
                    raise _Refused(
                        f"member {position} reads stage input {count - 1}, and the stage has {len(inputs)} "
                        f"input{'s' if len(inputs) != 1 else ''}"
                    )
                append((node_id, stage_run, inputs))
            elif kind == "op" or kind == "reduction":
                append((node_id, apply(kind, view["name"], len(inputs), view["params"]), inputs))
            elif kind == "source":
                append((node_id, source_implementation(view["name"], view["params"]), inputs))
            elif kind == "exchange":
                if len(inputs) != 1:
                    raise _Refused(f"an exchange passes one value on, and this one has {len(inputs)} inputs")
                append((node_id, EXCHANGE, inputs))
            elif kind == "external":
                content_hash = view["descriptor"]["content_hash"]
                model = models.get(content_hash)
                if model is None:
                    raise _Refused(f"models has no entry for content hash {content_hash!r}")
                if not callable(model):
                    raise _Refused(f"models' entry for content hash {content_hash!r} is not callable")
                append((node_id, Apply(kind, _external_name(view["descriptor"]), model, view["params"]), inputs))
            else:
                raise _Refused(f"nodes of kind {kind!r} cannot run")
        except _Refused as error:
            name = _external_name(view["descriptor"]) if kind == "external" else view["name"]
            message = f"node {node_id} ({_label(kind, name)}): {error.args[0]}"
            raise MissingImplementation(message, node_id=node_id, kind=kind, name=name) from None
    return Plan(steps, ids)
