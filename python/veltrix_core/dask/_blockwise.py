"""Blockwise layers read block by block, without materializing their tasks.

A Blockwise layer is one task with placeholders and a rule that says, for each output block,
what each placeholder stands for: a block of another array (a key), a list of blocks (an axis
that the task contracts), a constant, or a value an IO dependency gives for the block. dask
materializes a task per block by substituting the placeholders (`dask.blockwise`
``_make_blockwise_graph``); this module computes the same bindings, with dask's own coordinate
mapping, as plain values: the keys a block reads and the literals it is given. The recorder
reads the layer's task once with placeholders that stand for these values and replays it for
every block.

A layer whose form this does not cover (a constant that is a graph node, an IO dependency that
gives keys or graph nodes) is materialized by dask and read task by task.
"""

from __future__ import annotations

from collections.abc import Container, Hashable, Iterable, Sequence
from typing import Any, TypeAlias

from dask import blockwise as _dask_blockwise
from dask._task_spec import Alias, DataNode, GraphNode, List, Set, Task, TaskRef, Tuple, _execute_subgraph, parse_input
from dask.blockwise import Blockwise
from veltrix_core.dask._literals import is_param

# dask's own helpers (untyped): the coordinate mapping, keys of contracted axes, placeholders.
_get_coord_mapping: Any = _dask_blockwise._get_coord_mapping
_lol_product: Any = _dask_blockwise._lol_product
_make_blockwise_graph: Any = _dask_blockwise._make_blockwise_graph
blockwise_token: Any = _dask_blockwise.blockwise_token

__all__ = [
    "NotFast",
    "BlockwiseLayer",
    "Block",
    "REF",
    "LITERAL",
    "PARAM",
    "CONSTANT",
    "CONSTANT_REF",
    "KEY",
    "KEYS",
    "IO",
    "TaskForms",
    "TaskForm",
]

# What a value of a block's bindings is: a key the block reads, a literal, a param.
REF, LITERAL, PARAM = 0, 1, 2
# What a placeholder stands for.
CONSTANT, CONSTANT_REF, KEY, KEYS, IO = range(5)


class NotFast(Exception):
    """A layer or block that is read from dask's materialized tasks instead."""


class Block:
    """The bindings of one block: values in placeholder order, their kinds, the keys read.
    `original` is the materialized task a block of a `TaskForm` stands for (a Task, or a task
    written as a tuple)."""

    __slots__ = ("layer", "values", "kinds", "task", "original")

    def __init__(
        self,
        layer: BlockwiseLayer | TaskForm,
        values: list[Any],
        kinds: tuple[int, ...],
        task: Task | None,
        original: Task | tuple[Any, ...] | None = None,
    ) -> None:
        self.layer, self.values, self.kinds, self.task, self.original = layer, values, kinds, task, original


class BlockwiseLayer:
    """The keys of a Blockwise layer, and the bindings of each of its blocks."""

    def __init__(self, layer: Blockwise) -> None:
        if layer.annotations:
            raise NotFast("a layer with annotations is kept as it is")
        self.layer = layer
        self.name = layer.output
        task = layer.task
        if not isinstance(task, Task):
            raise NotFast("a layer whose task is not a Task")
        concatenate = None
        if layer.concatenate is True:
            from dask.array.core import concatenate_axes  # noqa: PLC0415

            concatenate = concatenate_axes
        self.concatenate = concatenate
        dims = layer.dims
        self.shape = tuple(dims[index] for index in layer.output_indices)
        self.blocks = layer.output_blocks
        coord_maps, concat_axes, dummies = _get_coord_mapping(
            dims, layer.output_indices, layer.numblocks, layer.indices, concatenate
        )
        self.dummies = tuple(dummies)
        dependencies = task.dependencies
        placeholders = set()
        # (placeholder, what it stands for, payload)
        self.slots: list[tuple[str, int, Any]] = []
        for position, ((arg, index), coord_map, axes) in enumerate(zip(layer.indices, coord_maps, concat_axes)):
            placeholder = blockwise_token(position)
            placeholders.add(placeholder)
            if placeholder not in dependencies:
                continue
            if index is None:
                if isinstance(arg, TaskRef):
                    self.slots.append((placeholder, CONSTANT_REF, arg.key))
                elif isinstance(arg, GraphNode):
                    raise NotFast("a constant that is a graph node")
                else:
                    self.slots.append((placeholder, CONSTANT, arg))
            elif arg in layer.io_deps:
                self.slots.append((placeholder, IO, (layer.io_deps[arg], tuple(coord_map))))  # type: ignore[index]
            elif axes:
                self.slots.append((placeholder, KEYS, (arg, tuple(coord_map), axes)))
            else:
                self.slots.append((placeholder, KEY, (arg, tuple(coord_map))))
        if dependencies - placeholders:
            raise NotFast("a task that reads keys outside its placeholders")
        self.task = task
        # The compiled task, by the kinds of the IO values of a block (the recorder's).
        self.programs: dict[tuple[int, ...], Any] = {}

    def has(self, key: Hashable) -> bool:
        """Whether `key` names a block of this layer."""
        coords = key[1:]  # type: ignore[index]
        if len(coords) != len(self.shape):
            return False
        for coord, size in zip(coords, self.shape):
            if type(coord) is not int or coord < 0 or coord >= size:
                return False
        return self.blocks is None or coords in self.blocks

    def block(self, key: tuple[Any, ...]) -> tuple[Block, list[Any]]:
        """The bindings of block `key` and the keys it reads."""
        coords = key[1:] + self.dummies
        values: list[Any] = []
        kinds: list[int] = []
        reads: list[Any] = []
        for _, what, payload in self.slots:
            if what == KEY:
                name, coord_map = payload
                read = (name, *[coords[c] for c in coord_map])
                values.append(read)
                reads.append(read)
            elif what == KEYS:
                name, coord_map, _ = payload
                nested = _lol_product((name,), tuple(coords[c] for c in coord_map))
                found: list[Any] = []
                _leaves(nested, found)
                values.extend(found)
                reads.extend(found)
            elif what == CONSTANT_REF:
                values.append(payload)
                reads.append(payload)
            elif what == IO:
                dependency, coord_map = payload
                block_coords = tuple(coords[c] for c in coord_map)
                value = dependency.get(block_coords, block_coords)
                if isinstance(parse_input(value), (GraphNode, TaskRef)):
                    return self._materialized(key)
                values.append(value)
                kinds.append(PARAM if is_param(value) else LITERAL)
        return Block(self, values, tuple(kinds), None), reads

    def _materialized(self, key: tuple[Any, ...]) -> tuple[Block, list[Any]]:
        layer = self.layer
        graph = _make_blockwise_graph(
            layer.task,
            layer.output,
            layer.output_indices,
            *[item for pair in layer.indices for item in pair],
            new_axes=layer.new_axes,
            numblocks=layer.numblocks,
            concatenate=layer.concatenate,
            output_blocks=[key[1:]],
            dims=layer.dims,
            io_deps=layer.io_deps,
            keys=tuple(blockwise_token(i) for i in range(len(layer.indices))),
        )
        task = graph[key]
        return Block(self, [], (), task), list(task.dependencies)

    def symbols(self, key: tuple[Any, ...], block: Block) -> list[tuple[str, int, Any]]:
        """For compiling the layer's task: each placeholder with what it stands for and where
        its values are among a block's values (a position, a nested list of positions, a
        constant); read from block `key`, whose bindings are `block`."""
        coords = key[1:] + self.dummies
        position = 0
        io = iter(block.kinds)
        found: list[tuple[str, int, Any]] = []
        for placeholder, what, payload in self.slots:
            if what == KEYS:
                name, coord_map, axes = payload
                example = _lol_product((name,), tuple(coords[c] for c in coord_map))
                count = _count(example)
                found.append((placeholder, what, (_shape(example, iter(range(position, position + count))), axes)))
                position += count
            elif what == CONSTANT:
                found.append((placeholder, what, payload))
            elif what == IO:
                found.append((placeholder, what, (position, next(io))))
                position += 1
            else:
                found.append((placeholder, what, position))
                position += 1
        if position != len(block.values):
            raise NotFast("bindings whose structure changes between blocks")
        return found


def _leaves(nested: Any, found: list[Any]) -> None:
    if isinstance(nested, list):
        for item in nested:
            _leaves(item, found)
    else:
        found.append(nested)


def _count(nested: Any) -> int:
    return sum(_count(item) for item in nested) if isinstance(nested, list) else 1


def _shape(nested: Any, positions: Any) -> Any:
    """The nested list `nested` with each leaf replaced by the next position."""
    if isinstance(nested, list):
        return [_shape(item, positions) for item in nested]
    return next(positions)


class TaskForm:
    """Materialized tasks of one form, read as the blocks of a layer: the same callable (or the
    same subgraph object, for a task that runs a subgraph) with references and literals at the
    same argument positions, or as the items of lists, tuples and sets there, and the same
    keyword names. The form's task has a placeholder at each of those positions; a task's block
    holds the keys and literals it puts there."""

    concatenate = None

    def __init__(
        self,
        task: Task,
        references: tuple[bool, ...],
        fixed: int,
        layout: tuple[Layout, ...],
        names: tuple[str, ...] | None = None,
    ) -> None:
        self.references = references
        slots = iter([TaskRef(_slot(position)) for position in range(len(references))])

        def build(shape: Layout) -> Any:
            if shape is None:
                return next(slots)
            return shape[0](*[build(item) for item in shape[1]])

        built = [build(shape) for shape in layout]
        names = tuple(task.kwargs) if names is None else names
        positional = len(built) - len(names)
        self.task = Task(
            task.key,
            task.func,
            *task.args[:fixed],
            *built[:positional],
            **dict(zip(names, built[positional:])),
        )
        self.programs: dict[tuple[int, ...], Any] = {}

    def symbols(self, key: Any, block: Block) -> list[tuple[Any, int, Any]]:
        """As `BlockwiseLayer.symbols`: a reference is a key slot, a literal an IO slot."""
        io = iter(block.kinds)
        return [
            (_slot(position), KEY, position) if reference else (_slot(position), IO, (position, next(io)))
            for position, reference in enumerate(self.references)
        ]


# Where a form's task has a placeholder (None), or a container of the given type around items
# laid out in turn (each a Layout itself). Written without the recursion so that the alias is a
# real union at run time, as type checkers and stub tests read it.
Layout: TypeAlias = tuple[type, tuple[Any, ...]] | None


def _slot(position: int) -> tuple[str, int]:
    # A tuple key cannot be one of the string keys of a subgraph it stands in for.
    return ("#slot", position)


# A form, the argument positions of its references, of its aliases, of its data nodes, of its
# literals whose kind is the value's (index among the literals, position), and the kinds of the
# rest.
_Plan: TypeAlias = tuple[
    TaskForm, tuple[int, ...], tuple[int, ...], tuple[int, ...], tuple[tuple[int, int], ...], tuple[int, ...]
]
_SEQUENCES = frozenset((List, Tuple, Set))


class _Nested:
    """The plans of tasks whose arguments hold lists, tuples or sets at `positions`, by the
    types of their items."""

    __slots__ = ("positions", "plans")

    def __init__(self, positions: tuple[int, ...]) -> None:
        self.positions = positions
        self.plans: dict[Hashable, _Plan | None] = {}


class TaskForms:
    """Sorts the materialized tasks of one graph into forms; a task whose arguments are not all
    plain references and literals (nested tasks, containers of graph nodes) has none.

    What a task's arguments are is decided once per callable, argument types and keyword names:
    a task of a known form only has its keys and literals picked out.
    """

    def __init__(self) -> None:
        # (callable or subgraph, argument types, keyword names) -> (form, references, data
        # nodes, literals whose kind depends on the value, kinds), or None for no form
        self._plans: dict[Hashable, _Plan | _Nested | None] = {}

    def block(self, task: Task) -> tuple[Block, Iterable[Any]] | None:
        """The task as a block of its form and the keys it reads, or None."""
        func, args, kwargs = task.func, task.args, task.kwargs
        if func is _execute_subgraph:
            return self._subgraph_block(task)
        if kwargs:
            varying = (*args, *kwargs.values())
            shape: Hashable = (id(func), tuple(kwargs), *map(type, varying))
        else:
            varying = args
            shape = (id(func), *map(type, args))
        return self._shaped_block(shape, task, varying, 0)

    def _shaped_block(
        self, shape: Hashable, task: Task, varying: tuple[Any, ...], fixed: int
    ) -> tuple[Block, Iterable[Any]] | None:
        """The block of `task`, whose arguments from `fixed` on are `varying`, by the plan of its
        shape (made the first time the shape is met)."""
        plan = self._plans.get(shape, _UNPLANNED)
        if plan is _UNPLANNED:
            plan = self._plans[shape] = self._plan(task, varying, fixed)
        if type(plan) is _Nested:
            return self._nested_block(plan, task, varying, fixed)
        return _bound(plan, task, varying)

    def _nested_block(
        self, nested: _Nested, task: Task, varying: tuple[Any, ...], fixed: int
    ) -> tuple[Block, Iterable[Any]] | None:
        positions = nested.positions
        items = tuple([tuple(map(type, varying[position].args)) for position in positions])
        flat: list[Any] = []
        start = 0
        for position in positions:
            flat.extend(varying[start:position])
            flat.extend(varying[position].args)
            start = position + 1
        flat.extend(varying[start:])
        plan = nested.plans.get(items, _UNPLANNED)
        if plan is _UNPLANNED:
            layout: list[Layout] = [None] * len(varying)
            for position in positions:
                layout[position] = (type(varying[position]), (None,) * len(varying[position].args))
            plan = nested.plans[items] = _flat_plan(task, tuple(flat), fixed, tuple(layout))
        return _bound(plan, task, flat)

    def legacy_block(self, task: tuple[Any, ...], is_key: Container[Any]) -> tuple[Block, list[Any]] | None:
        """A task written as a tuple, `(callable, *arguments)`, as a block of its form and the keys
        it reads; None where an argument is not a key, a literal or a list of those (nested tasks,
        graph nodes, dicts, tuples or sets that hold keys: the recorder reads those itself).

        Arguments are read as the recorder reads a tuple task: a key is a reference, a list that
        holds a key is a list of its items, and anything else holding no key is a literal."""
        leaves: list[Any] = []
        reads: list[Any] = []
        layout: list[Any] = []
        try:
            for argument in task[1:]:
                layout.append(_legacy_layout(argument, is_key, leaves, reads))
        except _NoForm:
            return None
        shape = (id(task[0]), "legacy", tuple(layout))
        plan = self._plans.get(shape, _UNPLANNED)
        if plan is _UNPLANNED:
            plan = self._plans[shape] = _legacy_plan(task, tuple(layout))
        if plan is None:
            return None
        form, references, _, _, checked, kinds = plan
        if checked:
            found = list(kinds)
            for index, position in checked:
                found[index] = PARAM if is_param(leaves[position]) else LITERAL
            kinds = tuple(found)
        return Block(form, leaves, kinds, None, task), reads

    def _subgraph_block(self, task: Task) -> tuple[Block, Iterable[Any]] | None:
        args = task.args
        if len(args) < 3 or type(args[0]) is not dict or type(args[2]) is not tuple:
            return None
        if len(args[2]) != len(args) - 3 or type(args[1]) is not str or task.kwargs:
            return None
        varying = args[3:]
        shape = (id(args[0]), args[1], args[2], *map(type, varying))
        return self._shaped_block(shape, task, varying, 3)

    @staticmethod
    def _plan(task: Task, varying: tuple[Any, ...], fixed: int) -> _Plan | _Nested | None:
        containers = tuple(position for position, item in enumerate(varying) if type(item) in _SEQUENCES)
        if containers:
            return _Nested(containers)
        return _flat_plan(task, varying, fixed, (None,) * len(varying))


def _flat_plan(task: Task, varying: tuple[Any, ...], fixed: int, layout: tuple[Layout, ...]) -> _Plan | None:
    references: list[int] = []
    aliases: list[int] = []
    data: list[int] = []
    checked: list[tuple[int, int]] = []
    kinds: list[int] = []
    for position, item in enumerate(varying):
        kind = type(item)
        if kind is TaskRef or kind is Alias:
            (references if kind is TaskRef else aliases).append(position)
            continue
        if kind is DataNode:
            data.append(position)
        elif isinstance(item, (GraphNode, TaskRef)):
            return None
        if kind is DataNode or kind in _PARAM_TYPES:
            checked.append((len(kinds), position))
        kinds.append(LITERAL)
    is_reference = tuple(position in references or position in aliases for position in range(len(varying)))
    form = TaskForm(task, is_reference, fixed, layout)
    return form, tuple(references), tuple(aliases), tuple(data), tuple(checked), tuple(kinds)


class _NoForm(Exception):
    """An argument of a tuple task that a form does not cover."""


_KEY_LEAF = "key"
_CONTAINER_TYPES = (list, tuple, set, frozenset)


def _is_key(item: Any, is_key: Container[Any]) -> bool:
    try:
        return isinstance(item, (int, float, str, tuple)) and item in is_key
    except TypeError:  # unhashable
        return False


def _legacy_layout(item: Any, is_key: Container[Any], leaves: list[Any], reads: list[Any]) -> Any:
    """The layout of one argument of a tuple task, its leaves appended to `leaves` and its keys
    to `reads`: "key" for a key, the type of a literal, (list, items) for a list holding a key.
    Raises _NoForm for anything the recorder reads otherwise."""
    if isinstance(item, (GraphNode, TaskRef)) or (type(item) is tuple and item and callable(item[0])):
        raise _NoForm
    if _is_key(item, is_key):
        leaves.append(item)
        reads.append(item)
        return _KEY_LEAF
    if isinstance(item, _CONTAINER_TYPES) and _holds_key(item, is_key):
        if type(item) is not list:
            raise _NoForm
        return (list, tuple([_legacy_layout(inner, is_key, leaves, reads) for inner in item]))
    if type(item) is dict and any(isinstance(value, (GraphNode, TaskRef)) for value in item.values()):
        raise _NoForm
    leaves.append(item)
    return type(item)


def _holds_key(item: Any, is_key: Container[Any]) -> bool:
    """Whether a literal container holds a key, a task or a graph node (then it is read item by
    item, which a form does not do)."""
    for inner in item:
        if isinstance(inner, (GraphNode, TaskRef)) or _is_key(inner, is_key):
            return True
        if type(inner) is tuple and inner and callable(inner[0]):
            return True
        if isinstance(inner, _CONTAINER_TYPES) and _holds_key(inner, is_key):
            return True
    return False


def _legacy_plan(task: tuple[Any, ...], layout: tuple[Any, ...]) -> _Plan | None:
    """The plan of tuple tasks of one layout: a form whose task has a placeholder at each leaf,
    with a `List` for each list that holds a key (the recorder reads a list of a tuple task as
    it reads a List)."""
    references: list[bool] = []
    checked: list[tuple[int, int]] = []
    kinds: list[int] = []

    def place(element: Any) -> Layout:
        if type(element) is tuple:
            return (List, tuple([place(item) for item in element[1]]))
        if element == _KEY_LEAF:
            references.append(True)
            return None
        if element in _PARAM_TYPES:
            checked.append((len(kinds), len(references)))
        kinds.append(LITERAL)
        references.append(False)
        return None

    built = tuple([place(element) for element in layout])
    template = Task(None, task[0])  # the form's task is built from the layout alone
    form = TaskForm(template, tuple(references), 0, built, ())
    return form, (), (), (), tuple(checked), tuple(kinds)


def _bound(plan: _Plan | None, task: Task, varying: Sequence[Any]) -> tuple[Block, Iterable[Any]] | None:
    """The block of a task of a planned form."""
    if plan is None:
        return None
    form, references, aliases, data, checked, kinds = plan
    values = list(varying)
    for position in references:
        values[position] = values[position].key
    for position in aliases:
        values[position] = values[position].target
    for position in data:
        values[position] = values[position].value
    if checked:
        found = list(kinds)
        for index, position in checked:
            found[index] = PARAM if is_param(values[position]) else LITERAL
        kinds = tuple(found)
    return Block(form, values, kinds, None, task), task.dependencies


_UNPLANNED: Any = object()


_PARAM_TYPES = frozenset((int, float, bool, str))  # literals of these types may be params
