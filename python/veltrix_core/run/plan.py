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

The store is read as columns (veltrix_core.columns): the reachable nodes come from the core,
and nodes of one shape (equal kind, name, params, descriptor or members) with one number of
inputs share one implementation object, looked up and checked once: a large graph repeats a
few hundred such combinations many thousand times, and sharing keeps both the plan and a
pickled dask graph small.

An implementation is called as `implementation(where, *input_values)`; `where` is the node's id,
or a `Located` (the id and the recorded nodes a reduced node stands for) when the plan was made
with origins. It is there only to name the node when it fails.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Mapping
from typing import Any, TypeAlias

from veltrix_core import GraphStore, _shape_arities, columns
from veltrix_core.run.errors import MissingImplementation, NodeFailed
from veltrix_core.run.reduction import Origins
from veltrix_core.typing import MemberView, NodeFunction, ParamValue, Registry, ShapeView, Sources

__all__ = ["Plan", "Implementation", "Located", "read_plan"]

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


class Located:
    """A reduced node's id and the recorded nodes it stands for: what names a node of a plan
    made with origins, so that a failure says where in the recorded program it happened."""

    __slots__ = ("node_id", "recorded")

    def __init__(self, node_id: int, recorded: tuple[int, ...]) -> None:
        self.node_id, self.recorded = node_id, recorded

    def __repr__(self) -> str:
        return f"Located({self.node_id}, {self.recorded})"

    def __reduce__(self) -> tuple[type[Located], tuple[int, tuple[int, ...]]]:
        return Located, (self.node_id, self.recorded)


Where: TypeAlias = int | Located


def _node_text(where: Where) -> str:
    if type(where) is int:
        return f"node {where}"
    assert isinstance(where, Located)
    recorded = ", ".join(map(str, where.recorded))
    return f"node {where.node_id} (recorded node{'s' if len(where.recorded) != 1 else ''} {recorded})"


def _failed(where: Where, what: str, kind: str, name: str, error: Exception) -> NodeFailed:
    if isinstance(where, Located):
        node_id, recorded = where.node_id, where.recorded
    else:
        node_id, recorded = where, None
    return NodeFailed(
        f"{_node_text(where)} ({what}) raised {type(error).__name__}: {error}",
        node_id=node_id,
        kind=kind,
        name=name,
        recorded_ids=recorded,
    )


class Implementation:
    """What computes one kind of node; a failure inside becomes NodeFailed naming the node."""

    __slots__ = ("kind", "name")

    def __init__(self, kind: str, name: str) -> None:
        self.kind, self.name = kind, name

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {_label(self.kind, self.name)}>"

    def __call__(self, where: Where, *values: Any) -> Any:
        try:
            return self.compute(values)
        except NodeFailed:
            raise
        except Exception as error:
            raise _failed(where, _label(self.kind, self.name), self.kind, self.name, error) from error

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
# What the core works out for a stage shape: its members' indices, operand refs and the members to
# drop after each, and the widest stage input read as (input count, member position).
StagePlan: TypeAlias = tuple[tuple[int, ...], tuple[tuple[int, ...], ...], tuple[tuple[int, ...], ...], int, int]


class _PlannedMembers:
    """The distinct stage members of a plan as parallel lists: the function (None when refused),
    params, kind, name and the refusal's text of each."""

    __slots__ = ("functions", "params", "kinds", "names", "refusals", "refused")

    def __init__(self) -> None:
        self.refused: set[int] = set()  # the indices of refused members
        self.functions: list[NodeFunction | None] = []
        self.params: list[Params] = []
        self.kinds: list[str] = []
        self.names: list[str] = []
        self.refusals: list[str] = []


# A member as read once: (function, or None when refused; params; refs; kind; name; the highest
# member and stage input it reads, -1 for none; why it is refused).
_MemberPart: TypeAlias = tuple[NodeFunction | None, Params, tuple[int, ...], str, str, int, int, str]


class StageRun(Implementation):
    """A Stage: its members in order, each reading stage inputs (a ref k >= 0) and earlier
    members (a ref -1 - j for member j). A member's value is dropped after its last use inside
    the stage; the stage's value is its last member's."""

    # reads: (how many stage inputs the members read, the first member that reads the last).
    # A stage made from a plan the core worked out keeps the plan and the plan's members table
    # until it first runs or is pickled, and only then writes out its own members: most stages of
    # a large graph are made once and run once, many never here (on a cluster's workers).
    __slots__ = ("_members", "reads", "_planned")

    def __init__(
        self,
        members: tuple[Member, ...] | None,
        reads: tuple[int, int],
        planned: tuple[StagePlan, _PlannedMembers] | None = None,
    ) -> None:
        self.kind, self.name = "stage", ""
        self._members, self.reads, self._planned = members, reads, planned

    @property
    def members(self) -> tuple[Member, ...]:
        members = self._members
        if members is None:
            assert self._planned is not None
            (indices, refs, drops, _, _), table = self._planned
            members = self._members = tuple(
                zip(
                    map(table.functions.__getitem__, indices),
                    map(table.params.__getitem__, indices),
                    refs,
                    drops,
                    map(table.kinds.__getitem__, indices),
                    map(table.names.__getitem__, indices),
                )
            )
            self._planned = None
        return members

    def __reduce__(self) -> tuple[type[StageRun], tuple[tuple[Member, ...], tuple[int, int]]]:
        return StageRun, (self.members, self.reads)

    def __call__(self, where: Where, *values: Any) -> Any:
        members = self.members
        results: list[Any] = [None] * len(members)
        for position, (function, params, refs, drops, kind, name) in enumerate(members):
            args = [values[ref] if ref >= 0 else results[-1 - ref] for ref in refs]
            try:
                results[position] = function(args, params)
            except Exception as error:
                raise _failed(where, f"stage member {position}, {_label(kind, name)}", "stage", name, error) from error
            for dropped in drops:
                results[dropped] = None
        return results[-1]


EXCHANGE = Identity("exchange", "")


class Plan:
    """The reachable nodes in id order, as rows of a store's columns: row k is node ``ids[k]``,
    computed by its implementation called with ``where[k]`` (or the node id, when ``where`` is
    None) and the values of its input ids ``inputs[offsets[k]:offsets[k + 1]]``; and the
    requested outputs. Rows of one shape share the implementation ``by_shape[shape]``; the few
    rows whose number of inputs differs from their shape's first row have their own in
    ``exceptions``."""

    __slots__ = ("columns", "by_shape", "exceptions", "where", "outputs")

    def __init__(
        self,
        columns: columns.Columns,
        by_shape: list[Implementation],
        exceptions: dict[int, Implementation],
        where: list[Located] | None,
        outputs: list[int],
    ) -> None:
        self.columns, self.by_shape, self.exceptions, self.where = columns, by_shape, exceptions, where
        self.outputs = outputs

    def __len__(self) -> int:
        return len(self.columns)

    def implementations(self) -> list[Implementation]:
        """The implementation of every row."""
        by_shape = self.by_shape
        rows = [by_shape[shape] for shape in self.columns.shapes]
        for row, implementation in self.exceptions.items():
            rows[row] = implementation
        return rows


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
        self.members: dict[int, tuple[MemberView, _MemberPart]] = {}

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

    def _member(self, member: MemberView) -> _MemberPart:
        """What a member computes, read and looked up once per member dict: the shapes of a
        store's columns share the dicts of equal members, so most members are seen before."""
        seen = self.members.get(id(member))
        if seen is not None and seen[0] is member:
            return seen[1]
        name, member_kind, params = member["name"], member["kind"], member["params"]
        kind = MEMBER_KINDS.get(member_kind)
        if kind is None:
            raise _Refused(f"has kind {member_kind!r}, which no registry knows")
        refs = tuple([index if ref == "input" else -1 - index for ref, index in member["inputs"]])
        try:
            function: NodeFunction | None = self.apply(kind, name, len(refs), params).function
            refusal = ""
        except _Refused as refused:
            function, refusal = None, f"{_label(member_kind, name)}: {refused.args[0]}"
        reads_member = max((-1 - ref for ref in refs if ref < 0), default=-1)
        reads_input = max((ref for ref in refs if ref >= 0), default=-1)
        part = (function, params, refs, member_kind, name, reads_member, reads_input, refusal)
        self.members[id(member)] = (member, part)  # the dict is held, so its id stays its own
        return part

    def planned_stage(self, plan: StagePlan, members: _PlannedMembers) -> StageRun:
        """A Stage from the plan the core worked out for its shape: member indices into
        `members` (each distinct member looked up once, for all stages), operand refs and drops,
        and the widest stage input read."""
        indices = plan[0]
        if not indices:
            raise _Refused("a stage without members has no value")
        if members.refused and not members.refused.isdisjoint(indices):
            position = next(p for p, index in enumerate(indices) if index in members.refused)
            raise _Refused(f"member {position}{members.refusals[indices[position]]}")
        return StageRun(None, (plan[3], plan[4]), (plan, members))

    def planned_members(self, table: list[tuple[str, str, Params, int]]) -> _PlannedMembers:
        """Every distinct stage member of a plan, looked up in the registry once."""
        members = _PlannedMembers()
        for member_kind, name, params, arity in table:
            kind = MEMBER_KINDS.get(member_kind)
            function: NodeFunction | None = None
            refusal = ""
            if kind is None:
                refusal = f" has kind {member_kind!r}, which no registry knows"
            else:
                try:
                    function = self.apply(kind, name, arity, params).function
                except _Refused as refused:
                    refusal = f", {_label(member_kind, name)}: {refused.args[0]}"
            if function is None:
                members.refused.add(len(members.functions))
            members.functions.append(function)
            members.params.append(params)
            members.kinds.append(member_kind)
            members.names.append(name)
            members.refusals.append(refusal)
        return members

    def _build_stage(self, members: list[MemberView]) -> StageRun:
        if not members:
            raise _Refused("a stage without members has no value")
        parts: list[Member] = []
        last_use: dict[int, int] = {}  # member index -> position of the last member that reads it
        reads = (0, 0)
        for position, member in enumerate(members):
            try:
                function, params, refs, kind, name, reads_member, reads_input, refusal = self._member(member)
            except _Refused as refused:
                raise _Refused(f"member {position} {refused.args[0]}") from None
            if reads_member >= position:
                raise _Refused(f"member {position} reads member {reads_member}, which does not come before it")
            if function is None:
                raise _Refused(f"member {position}, {refusal}")
            if reads_member >= 0:
                for ref in refs:
                    if ref < 0:
                        last_use[-1 - ref] = position
            if reads_input >= reads[0]:
                reads = (reads_input + 1, position)
            parts.append((function, params, refs, (), kind, name))
        for member_index, position in last_use.items():
            function, params, refs, drops, kind, name = parts[position]
            parts[position] = (function, params, refs, (*drops, member_index), kind, name)
        return StageRun(tuple(parts), reads)


def _output_ids(outputs: object, count: int) -> list[int]:
    """The requested ids, checked: a list or tuple of ints (not bools), each a node of the store."""
    if not isinstance(outputs, (list, tuple)):
        raise TypeError(f"outputs must be a list or tuple of node ids, not {type(outputs).__name__}")
    # The common case, plain ints, is checked without a Python step per id.
    if outputs and set(map(type, outputs)) == {int} and min(outputs) >= 0 and max(outputs) < count:
        return list(outputs)
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


class _Shapes:
    """The implementation of each (shape, number of inputs) a plan meets, made and checked once;
    a refusal is a _Refused to name the first node that meets it."""

    def __init__(
        self,
        table: list[ShapeView],
        implementations: _Implementations,
        source_implementation: Callable[[str, Params], Implementation],
        models: Mapping[str, NodeFunction],
        stage_plans: list[StagePlan | None],
        members: list[tuple[str, str, Params, int]],
    ) -> None:
        self.table, self.apply, self.stage = table, implementations.apply, implementations.stage
        self.planned_stage, self.stage_plans = implementations.planned_stage, stage_plans
        self.members = implementations.planned_members(members)
        self.source_implementation, self.models = source_implementation, models
        self.made: dict[tuple[int, int], Implementation] = {}

    def implementation(self, shape: int, arity: int) -> Implementation:
        plan = self.stage_plans[shape]
        if plan is not None and plan[3] <= arity:  # a stage: no other shape has its members
            return self.planned_stage(plan, self.members)
        found = self.made.get((shape, arity))
        if found is None:
            found = self.made[shape, arity] = self._make(self.table[shape], arity, plan)
        return found

    def _make(self, view: ShapeView, arity: int, stage_plan: StagePlan | None) -> Implementation:
        kind = view["kind"]
        if kind == "stage":
            assert stage_plan is not None
            stage_run = self.planned_stage(stage_plan, self.members)
            if stage_run.reads[0] > arity:
                count, position = stage_run.reads
                raise _Refused(
                    f"member {position} reads stage input {count - 1}, and the stage has {arity} "
                    f"input{'s' if arity != 1 else ''}"
                )
            return stage_run
        if kind == "op" or kind == "reduction":
            return self.apply(kind, view["name"], arity, view["params"])
        if kind == "source":
            return self.source_implementation(view["name"], view["params"])
        if kind == "exchange":
            if arity != 1:
                raise _Refused(f"an exchange passes one value on, and this one has {arity} inputs")
            return EXCHANGE
        if kind == "external":
            content_hash = view["descriptor"]["content_hash"]
            model = self.models.get(content_hash)
            if model is None:
                raise _Refused(f"models has no entry for content hash {content_hash!r}")
            if not callable(model):
                raise _Refused(f"models' entry for content hash {content_hash!r} is not callable")
            return Apply(kind, _external_name(view["descriptor"]), model, view["params"])
        raise _Refused(f"nodes of kind {kind!r} cannot run")


def _missing(node_id: int, view: ShapeView, error: _Refused) -> MissingImplementation:
    kind = view["kind"]
    name = _external_name(view["descriptor"]) if kind == "external" else view["name"]
    message = f"node {node_id} ({_label(kind, name)}): {error.args[0]}"
    return MissingImplementation(message, node_id=node_id, kind=kind, name=name)


def read_plan(
    store: GraphStore,
    outputs: list[int] | tuple[int, ...],
    sources: Sources,
    registry: Registry | None,
    models: Mapping[str, NodeFunction] | None,
    origins: Origins | None = None,
) -> Plan:
    """The plan of `store` for `outputs`, or MissingImplementation for the first node (by id)
    that cannot run; TypeError for arguments of the wrong type, ValueError for an output id the
    store lacks. With `origins` (of the reduction that made `store`), each node is named with
    the recorded nodes it stands for."""
    if registry is None:
        from veltrix_core.run.registry import default_registry  # noqa: PLC0415 (numpy only when needed)

        registry = default_registry()
    registry = _mapping(registry, "registry must be a mapping from (kind, name) to a callable")
    models = _mapping(models, "models must be a mapping from content hash to a callable", {})
    if origins is not None and not isinstance(origins, Origins):
        raise TypeError(f"origins must be the Origins of a reduction, not {type(origins).__name__}")
    source_implementation = _Sources(sources, registry.get(SOURCE_ENTRY)).implementation
    ids = _output_ids(outputs, store.node_count())
    # The columns, with the stage plans the core works out for the run.
    ids_, kinds, shapes, offsets, inputs, table, members, stage_plans = store._read_columns(outputs=ids, stages=True)
    read = columns._typed_columns(ids_, kinds, shapes, offsets, inputs, table)
    made = _Shapes(table, _Implementations(registry), source_implementation, models, stage_plans, members)
    # One implementation per shape, for the number of inputs of its first row, and one for each
    # row whose number differs; a refusal is reported at the first row it concerns.
    arities, odd_rows = _shape_arities(read.shapes, read.offsets, len(table))
    refused: dict[int, tuple[int, _Refused]] = {}  # row -> (shape, refusal)
    by_shape: list[Implementation] = []
    implementation, planned, refused_members = made.implementation, made.members, made.members.refused
    append = by_shape.append
    for shape, (arity, plan) in enumerate(zip(arities, stage_plans)):
        # Most shapes of a reduced graph are stages whose members all run: made here directly.
        if (
            plan is not None
            and plan[0]
            and plan[3] <= arity
            and not (refused_members and not refused_members.isdisjoint(plan[0]))
        ):
            append(StageRun(None, (plan[3], plan[4]), (plan, planned)))
            continue
        try:
            append(implementation(shape, arity))
        except _Refused as error:
            by_shape.append(EXCHANGE)  # never run: the plan is refused below
            refused.setdefault(read.shapes.tolist().index(shape), (shape, error))
    exceptions: dict[int, Implementation] = {}
    for row in odd_rows:
        shape = read.shapes[row]
        try:
            exceptions[row] = made.implementation(shape, read.offsets[row + 1] - read.offsets[row])
        except _Refused as error:
            refused.setdefault(row, (shape, error))
    if refused:
        row = min(refused)
        shape, refusal = refused[row]
        raise _missing(read.ids[row], table[shape], refusal) from None
    where = None
    if origins is not None:
        where = [Located(node, tuple(origins.of(node))) for node in read.ids.tolist()]
    return Plan(read, by_shape, exceptions, where, ids)
