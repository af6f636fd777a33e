"""Recording a dask graph into the columns of a GraphStore.

Every call becomes an op node: a task, a task nested in another's arguments, a task inside a
fused subgraph, a legacy tuple task. Its name identifies the callable and the structure of its
arguments (an argument template: which positions are inputs, which are params, which are lists,
tuples, sets or dicts of such), so two calls are one node exactly when they call the same
callable on equal arguments. Its params are its literal int, float, bool and str arguments, its
inputs the values it reads: other calls, the graph's keys, and every other literal, each a source
node holding the object (`veltrix_core.dask._literals` says when two literals are one source).

A key whose value is data (a ``DataNode`` or a legacy literal) is a source of its own kind, and
a key the graph does not hold (a future on a cluster, a key of a layer left untouched) a source
that stands for it. An ``Alias`` is the node of its target.

Reduction fuses ops into stages, and a stage runs as one task. Fusing a task into its reader is
free only where the reader waits for nothing else: a task that reads two or more computed keys
therefore reads each of them through an exchange node, which fusion does not cross (and writing
back turns into a plain reference). A task that reads one computed key takes it in, as dask's
own linear fusion does.

Calls the graph marks as impure keep a param naming their task, so that no other call is ever
equal to them (`Recorder.marker` decides which).
"""

from __future__ import annotations

import functools
import itertools
import operator
from collections.abc import Callable, Container, Hashable, Iterable
from typing import Any, TypeAlias

import numpy as np

import veltrix_core
from dask._task_spec import (
    Alias,
    DataNode,
    Dict,
    GraphNode,
    List,
    NestedContainer,
    Set,
    Task,
    TaskRef,
    Tuple,
    _execute_subgraph,
    _identity_cast,
    convert_legacy_task,
)
from dask.utils import is_namedtuple_instance
from veltrix_core.dask import _blockwise, _evidence
from veltrix_core.dask._blockwise import Block
from veltrix_core.dask._literals import LiteralKeys, is_param, numeric_evidence

__all__ = ["SOURCE", "OP", "EXCHANGE", "LITERAL", "DATA", "EXTERNAL", "Unsupported", "Recorder", "record_graph"]

# Kind codes of the store's columns.
SOURCE = 0
OP = 1
EXCHANGE = 5
# What a source stands for.
LITERAL = 0
DATA = 1
EXTERNAL = 2

# A hole of an argument template, as the walk of a call's arguments gives it:
# (IN, row), (PARAM, value), (SEQ, constructor, holes), (MAP, keys, holes).
IN, PARAM, SEQ, MAP = 0, 1, 2, 3
Hole: TypeAlias = tuple[Any, ...]
# An op's side-table entry: (callable, positional template, keyword names, keyword templates).
# A template element is 0 (an input), 1 (a param), (constructor, elements) or (dict, keys,
# elements).
OpSpec: TypeAlias = tuple[Any, tuple[Any, ...], tuple[str, ...], tuple[Any, ...]]

_CONTAINERS = {List: list, Tuple: tuple, Set: set}
_PARAM_KINDS = frozenset((int, float, bool, str))
_BATCH = 16  # from this many blocks on, a layer's blocks are recorded as columns at once
_MISSING = object()
_NODE_KINDS = frozenset((TaskRef, DataNode, Task, Alias, List, Tuple, Set, Dict))
_MARKER = "#task"  # the param that makes an impure call unique; no template path begins with "#"


class Unsupported(Exception):
    """A graph the optimizer does not read; it is handed back to dask's own optimizer."""


class _Symbol:
    """A value of a block's bindings, in a blockwise layer's task as it is compiled."""

    __slots__ = ("position",)

    def __init__(self, position: int) -> None:
        self.position = position


class _Program:
    """A blockwise layer's task compiled: its calls, replayed for each block as rows appended
    together. Operands, param values and the result are slot indices: the program's constants,
    then the block's values, then each call's row."""

    __slots__ = (
        "names",
        "cores",
        "rules",
        "operands",
        "ends",
        "params",
        "paths",
        "values",
        "dynamic",
        "result",
        "kinds",
    )

    def __init__(
        self,
        names: tuple[str, ...],
        cores: tuple[tuple[int, str, int], ...],
        rules: tuple[tuple[int, int, int, int], ...],
        operands: tuple[int, ...],
        ends: tuple[int, ...],
        params: tuple[dict[str, Any] | None, ...],
        paths: tuple[tuple[str, ...], ...],
        values: tuple[tuple[int, ...] | None, ...],
        dynamic: bool,
        result: int,
    ) -> None:
        self.names, self.cores, self.rules, self.operands, self.ends = names, cores, rules, operands, ends
        self.params, self.paths, self.values, self.dynamic, self.result = params, paths, values, dynamic, result
        self.kinds = bytes([OP]) * len(names)


def _operand(item: Any) -> tuple[int, Any]:
    if type(item) is _Symbol:
        return (2, item.position)
    if item < 0:
        return (1, -1 - item)
    return (0, item)


def _param_paths(args: tuple[Any, ...], kw_names: tuple[str, ...], kw_sigs: tuple[Any, ...]) -> tuple[str, ...]:
    """The param keys of a template, in the order its leaves are walked: a positional argument
    is named by its position, a keyword argument by its name, an item by its parent's path, a
    dot and its position."""
    paths: list[str] = []

    def walk(element: Any, path: str) -> None:
        if element == 1 and type(element) is int:
            paths.append(path)
        elif type(element) is tuple:
            for index, item in enumerate(element[-1]):
                walk(item, f"{path}.{index}")

    for index, element in enumerate(args):
        walk(element, str(index))
    for name, element in zip(kw_names, kw_sigs):
        walk(element, name)
    return tuple(paths)


def qualified_name(func: object, depth: int = 0) -> str:
    """What names a callable in op names, pictures and the byte form: its module and qualified
    name (a partial's or a bound method's shows what it wraps)."""
    if type(func) is functools.partial and depth < 4:
        return f"partial({qualified_name(func.func, depth + 1)})"
    bound = getattr(func, "__self__", None)
    if bound is not None and getattr(func, "__func__", None) is not None and depth < 4:
        return f"{qualified_name(type(bound), depth + 1)}.{getattr(func, '__name__', '?')}"
    name = getattr(func, "__qualname__", None) or getattr(func, "__name__", None)
    if not isinstance(name, str):
        kind = type(func)
        return f"{kind.__module__}.{kind.__qualname__}()"
    module = getattr(func, "__module__", None)
    if not isinstance(module, str) and type(func).__name__ == "ufunc":
        module = "numpy"
    return f"{module}.{name}" if isinstance(module, str) else name


def _check_keyword(name: object) -> str:
    if type(name) is not str or not name or name[0].isdigit() or "." in name or name.startswith("#"):
        raise Unsupported(f"a keyword argument named {name!r}")
    return name


class Recorder:
    """The rows of one graph's nodes, and the side tables that say what each node calls or holds.

    Rows are appended in an order where every input comes first; an input is a row index.
    """

    def __init__(self, is_key: Container[Any], marker: Callable[[Hashable], str | None]) -> None:
        self.kinds = bytearray()
        self.names: list[str | None] = []
        self.params: list[dict[str, Any] | None] = []
        self.offsets = [0]
        self.inputs: list[int] = []
        self.evidence = bytearray()
        self.ops: dict[str, OpSpec] = {}
        # By number (the name's part after "#"): (LITERAL, object) | (DATA, object, key) |
        # (EXTERNAL, reference, key)
        self.sources: list[tuple[Any, ...]] = []
        self.key_row: dict[Any, int] = {}
        self.task_key: dict[int, Any] = {}  # an op row -> the first graph key whose value it is
        self.pinned_rows: set[int] = set()
        self._is_key = is_key
        self._marker_of = marker
        self._markers: dict[Any, bool] = {}  # a key's name -> whether its calls may be impure
        self._rules = _evidence.Rules()
        self._literal_keys = LiteralKeys()
        self._literal_rows: dict[Hashable, int] = {}
        self._literal_holes: dict[int, tuple[object, Hole]] = {}
        self._data_rows: dict[Hashable, int] = {}
        self._external_rows: dict[Any, int] = {}
        self._exchange_rows: dict[int, int] = {}
        self._templates: dict[Hashable, tuple[str, tuple[str, ...], int, str | None]] = {}
        self._funcs: dict[int, tuple[object, int]] = {}
        self._func_numbers: dict[Hashable, int] = {}
        self._cut: dict[int, int] | None = None
        self._marker: str | None = None
        self._inner: tuple[dict[Any, Any], dict[Any, Hole], dict[Any, Hole | None]] | None = None
        self._dynamic = 0  # counts the refs and calls met, to tell a legacy container of data
        self._program: list[Any] | None = None  # while a blockwise task is compiled

    # Rows.

    def _row(self, kind: int, name: str | None, params: dict[str, Any] | None, inputs: list[int], numeric: int) -> int:
        row = len(self.names)
        self.kinds.append(kind)
        self.names.append(name)
        self.params.append(params)
        if inputs:
            self.inputs.extend(inputs)
        self.offsets.append(len(self.inputs))
        self.evidence.append(numeric)
        return row

    def _source(self, what: tuple[Any, ...], numeric: bool, label: str) -> int:
        name = f"{label}#{len(self.sources)}"
        self.sources.append(what)
        return self._row(SOURCE, name, None, [], 1 if numeric else 0)

    def literal_row(self, value: object) -> int:
        return self._literal(value)[1]  # type: ignore[no-any-return]

    def _literal(self, value: object) -> Hole:
        """The hole of a literal argument: a param, or the input of its source."""
        kind = type(value)
        if kind in _PARAM_KINDS and is_param(value):
            return (PARAM, value)
        seen = self._literal_holes.get(id(value))
        if seen is not None and seen[0] is value:
            return seen[1]
        return self._new_literal(value)

    def _new_literal(self, value: object) -> Hole:
        """The hole of a literal object not seen before (not a param)."""
        kind = type(value)
        key = self._literal_keys.key(value)
        row = self._literal_rows.get(key)
        if row is None:
            row = self._literal_rows[key] = self._source((LITERAL, value), numeric_evidence(value), kind.__name__)
        hole = (IN, row)
        self._literal_holes[id(value)] = (value, hole)  # holds the object: its id stays its own
        return hole

    def data_row(self, key: Any, value: object) -> int:
        literal = self._literal_keys.key(value)
        row = self._data_rows.get(literal)
        if row is None:
            row = self._data_rows[literal] = self._source((DATA, value, key), numeric_evidence(value), "data")
        return row

    def external_row(self, key: Any, reference: object = None) -> int:
        row = self._external_rows.get(key)
        if row is None:
            if not isinstance(reference, TaskRef):
                reference = TaskRef(key)
            row = self._external_rows[key] = self._source((EXTERNAL, reference, key), False, "ref")
        return row

    def _exchange(self, row: int) -> int:
        cut = self._exchange_rows.get(row)
        if cut is None:  # a row of its own, appended here: a task may read many
            cut = self._exchange_rows[row] = len(self.names)
            self.kinds.append(EXCHANGE)
            self.names.append(None)
            self.params.append(None)
            self.inputs.append(row)
            self.offsets.append(len(self.inputs))
            self.evidence.append(self.evidence[row])
        return cut

    # Graph entries.

    def entry(self, key: Any, value: Any, dependencies: Iterable[Any]) -> None:
        """Records the value of graph key `key`, whose dependencies are all recorded."""
        if type(value) is Block:
            self.block_entry(key, value)
            return
        computed = set()
        key_row = self.key_row
        for dependency in dependencies:
            row = key_row.get(dependency)
            if row is not None and (self.kinds[row] == OP or row in self.pinned_rows):
                computed.add(row)
        self._cut = {row: self._exchange(row) for row in computed} if len(computed) > 1 else None
        self._marker = self.marker(key)
        try:
            row = self._value(key, value)
        finally:
            self._cut, self._marker = None, None
        key_row[key] = row
        if self.kinds[row] == OP:
            self.task_key.setdefault(row, key)

    def marker(self, key: Any) -> str | None:
        """The marker of the calls of graph key `key`, None for calls that may merge; decided
        once per name (a layer's keys share theirs)."""
        name = key[0] if type(key) is tuple and key else key
        try:
            impure = self._markers.get(name)
        except TypeError:
            impure = None
        if impure is None:
            marked = self._marker_of(key)
            if type(key) is not tuple or not key:
                return marked
            self._markers[name] = impure = marked is not None
        return repr(key) if impure else None

    def pinned(self, key: Any) -> None:
        """Records a key whose task is kept as it is: a source that stands for it."""
        row = self.external_row(key)
        self.pinned_rows.add(row)
        self.key_row[key] = row

    def external(self, key: Any) -> None:
        self.key_row[key] = self.external_row(key)

    def _value(self, key: Any, value: Any) -> int:
        kind = type(value)
        if kind is Task or (isinstance(value, Task) and kind is not DataNode):
            return self._call(value)
        if kind is Alias:
            target = value.target
            return self.external_row(key) if target == key else self._ref(target)
        if kind is DataNode:
            return self.data_row(key, value.value)
        if isinstance(value, TaskRef):
            return self._ref(value.key, value)
        if isinstance(value, GraphNode):
            raise Unsupported(f"a graph node of type {kind.__name__}")
        return self._legacy_value(key, value)

    def _ref(self, key: Any, reference: object = None) -> int:
        if self._program is not None:
            raise Unsupported("a blockwise task that reads a key outside its placeholders")
        row = self.key_row.get(key)
        if row is None:
            row = self.external_row(key, reference)
        self._dynamic += 1
        cut = self._cut
        return cut.get(row, row) if cut is not None else row

    # Calls.

    def _call(self, task: Task) -> int:
        func = task.func
        if func is _execute_subgraph:
            return self._subgraph(task)
        inputs: list[Any] = []
        values: list[Any] = []
        shape: list[Any] = []
        if self._inner is None:
            # The common arguments (references, params, literals seen before) without a hole.
            seen_literals = self._literal_holes
            for item in task.args:
                kind = type(item)
                if kind is TaskRef:
                    inputs.append(self._ref(item.key, item))
                    shape.append(0)
                    continue
                if kind in _PARAM_KINDS and is_param(item):
                    values.append(item)
                    shape.append(1)
                    continue
                seen = seen_literals.get(id(item))
                if seen is not None and seen[0] is item:
                    inputs.append(seen[1][1])
                    shape.append(0)
                    continue
                if kind not in _NODE_KINDS and not isinstance(item, (GraphNode, TaskRef)):
                    inputs.append(self._new_literal(item)[1])
                    shape.append(0)
                    continue
                self._place(self._arg(item), inputs, values, shape)
        else:
            for item in task.args:
                self._place(self._arg(item), inputs, values, shape)
        kwargs = task.kwargs
        if kwargs:
            names = tuple(kwargs)
            kw_sigs = tuple([self._flat(self._arg(kwargs[name]), inputs, values) for name in names])
            return self._finish(func, inputs, values, tuple(shape), names, kw_sigs)
        return self._finish(func, inputs, values, tuple(shape), (), ())

    def _place(self, hole: Hole, inputs: list[Any], values: list[Any], shape: list[Any]) -> None:
        code = hole[0]
        if code == IN:
            inputs.append(hole[1])
            shape.append(0)
        elif code == PARAM:
            values.append(hole[1])
            shape.append(1)
        else:
            shape.append(self._flat(hole, inputs, values))

    def _arg(self, item: Any) -> Hole:
        kind = type(item)
        if kind is TaskRef:
            return self._key_hole(item.key, item)
        if kind in _PARAM_KINDS and is_param(item):
            return (PARAM, item)
        seen = self._literal_holes.get(id(item))
        if seen is not None and seen[0] is item:
            return seen[1]
        if kind is DataNode:
            return self._literal(item.value)
        if kind is Task:
            return (IN, self._call(item))
        if kind is Alias:
            return self._key_hole(item.target, None)
        container = _CONTAINERS.get(kind)
        if container is not None:
            return (SEQ, container, [self._arg(x) for x in item.args])
        if kind is Dict:
            keys = item.args[0::2]
            for key in keys:
                if type(key) is not str:
                    raise Unsupported(f"a Dict with a key of type {type(key).__name__}")
            return (MAP, tuple(keys), [self._arg(x) for x in item.args[1::2]])
        if isinstance(item, TaskRef):
            return self._key_hole(item.key, item)
        if isinstance(item, GraphNode):
            if isinstance(item, Task) and not isinstance(item, NestedContainer):
                return (IN, self._call(item))
            raise Unsupported(f"an argument of type {kind.__name__}")
        return self._literal(item)

    def _key_hole(self, key: Any, reference: object) -> Hole:
        inner = self._inner
        if inner is not None:
            return self._inner_hole(key)
        return (IN, self._ref(key, reference))

    def _subgraph(self, task: Task) -> int:
        """A task that runs a small graph of tasks: each inner task is a call of its own."""
        args = task.args
        if len(args) < 3 or type(args[0]) is not dict or not isinstance(args[2], tuple):
            raise Unsupported("a subgraph task of an unknown form")
        inner, out_key, in_keys, values = args[0], args[1], args[2], args[3:]
        if len(in_keys) != len(values):
            raise Unsupported("a subgraph task whose inputs do not match their keys")
        bindings = {key: self._arg(value) for key, value in zip(in_keys, values)}
        saved = self._inner
        self._inner = (inner, bindings, {})
        try:
            hole = self._inner_hole(out_key)
        finally:
            self._inner = saved
        if hole[0] == IN:
            return hole[1]  # type: ignore[no-any-return]
        if hole[0] == PARAM:
            return self.literal_row(hole[1])
        raise Unsupported("a subgraph whose value is a container")

    def _inner_hole(self, key: Any) -> Hole:
        assert self._inner is not None
        inner, bindings, memo = self._inner
        if key in memo:
            hole = memo[key]
            if hole is None:
                raise Unsupported("a subgraph with a cycle")
            return hole
        if key in bindings:
            return bindings[key]
        if key not in inner:
            saved, self._inner = self._inner, None
            try:
                return (IN, self._ref(key))
            finally:
                self._inner = saved
        memo[key] = None
        node = inner[key]
        kind = type(node)
        if kind is Alias:
            hole = bindings[key] if node.target == key and key in bindings else self._inner_hole(node.target)
        elif kind is DataNode:
            hole = self._literal(node.value)
        elif isinstance(node, Task):
            hole = (IN, self._call(node))
        else:
            raise Unsupported(f"a subgraph node of type {kind.__name__}")
        memo[key] = hole
        return hole

    def _flat(self, hole: Hole, inputs: list[int], values: list[Any]) -> Any:
        code = hole[0]
        if code == IN:
            inputs.append(hole[1])
            return 0
        if code == PARAM:
            values.append(hole[1])
            return 1
        flat = self._flat
        items = tuple([flat(item, inputs, values) for item in hole[2]])
        return (hole[1], items) if code == SEQ else (dict, hole[1], items)

    def _function_key(self, func: object) -> int:
        seen = self._funcs.get(id(func))
        if seen is not None and seen[0] is func:
            return seen[1]
        if type(func) is type(self._function_key):  # a bound method: its object and function
            key: Hashable = ("method", self._literal_keys.key(func.__self__), self._literal_keys.key(func.__func__))  # type: ignore[attr-defined]
        else:
            key = self._literal_keys.key(func)
        # Equal callables share a number, which is cheaper to hash than their key.
        number = self._func_numbers.setdefault(key, len(self._func_numbers))
        self._funcs[id(func)] = (func, number)
        return number

    def _emit(self, func: Any, holes: list[Hole], kw_names: tuple[str, ...], kw_holes: list[Hole]) -> int:
        inputs: list[Any] = []
        values: list[Any] = []
        shape: list[Any] = []
        for hole in holes:
            self._place(hole, inputs, values, shape)
        kw_sigs = tuple([self._flat(hole, inputs, values) for hole in kw_holes]) if kw_holes else ()
        return self._finish(func, inputs, values, tuple(shape), kw_names, kw_sigs)

    def _finish(
        self,
        func: Any,
        inputs: list[Any],
        values: list[Any],
        args: tuple[Any, ...],
        kw_names: tuple[str, ...],
        kw_sigs: tuple[Any, ...],
    ) -> int:
        self._dynamic += 1
        signature = (self._function_key(func), args, kw_names, kw_sigs)
        template = self._templates.get(signature)
        if template is None:
            template = self._template(func, signature)
        program = self._program
        if program is not None:
            program.append((template, inputs, values))
            return -len(program)  # instruction j is -1 - j
        return self._op(template, inputs, values, self._marker)

    def _op(
        self,
        template: tuple[str, tuple[str, ...], int, str | None],
        inputs: list[int],
        values: list[Any],
        marker: str | None,
    ) -> int:
        name, paths, rule, core = template
        evidence = self.evidence
        numeric = self._numeric(rule, inputs, values) if rule else 0
        if core is not None and marker is None and evidence[inputs[0]] and evidence[inputs[1]]:
            name = core
        params = dict(zip(paths, values)) if values else None
        if marker is not None:
            params = params or {}
            params[_MARKER] = marker
        row = len(self.names)
        self.kinds.append(OP)
        self.names.append(name)
        self.params.append(params)
        self.inputs.extend(inputs)
        self.offsets.append(len(self.inputs))
        evidence.append(numeric)
        return row

    def _template(
        self, func: Any, signature: tuple[Hashable, tuple[Any, ...], tuple[str, ...], tuple[Any, ...]]
    ) -> tuple[str, tuple[str, ...], int, str | None]:
        _, args, kw_names, kw_sigs = signature
        for keyword in kw_names:
            _check_keyword(keyword)
        if not callable(func):
            raise Unsupported(f"a task whose callable is a {type(func).__name__}")
        name = f"{qualified_name(func)}#{len(self._templates)}"
        core = self._rules.core_name(func) if args == (0, 0) and not kw_names else None
        rule = self._rules.rule(func, kw_names)
        # The rules that read one argument need it where they look for it.
        if rule == _evidence.FIRST and not (args and type(args[0]) is int and args[0] == 0):
            rule = _evidence.NONE
        if rule == _evidence.RANDOM and not (len(args) > 1 and args[:2] == (0, 1) and type(args[1]) is int):
            rule = _evidence.NONE
        template = (name, _param_paths(args, kw_names, kw_sigs), rule, core)
        self._templates[signature] = template
        self.ops[name] = (func, args, kw_names, kw_sigs)
        if core is not None:
            self.ops[core] = (func, args, kw_names, kw_sigs)
        return template

    def _numeric(self, rule: int, inputs: list[int], values: list[Any]) -> int:
        if rule == _evidence.NONE:
            return 0
        if rule == _evidence.CONSTANT:
            return 1
        evidence = self.evidence
        if rule == _evidence.ALL:
            return int(all([evidence[row] for row in inputs]) and not any([type(v) is str for v in values]))
        if rule == _evidence.FIRST:
            return evidence[inputs[0]]
        return int(values[0] in _evidence.NUMERIC_DISTRIBUTIONS)

    # Blockwise layers: the layer's task read once, replayed for each block.

    def block_entry(self, key: Any, block: Block) -> None:
        """Records block `key` of a Blockwise layer, whose keys read are all recorded."""
        if block.task is not None:  # a block dask materialized
            self.entry(key, block.task, block.task.dependencies)
            return
        program = self._program_of(key, block)
        if program is None:
            original = block.original
            assert original is not None
            self.entry(key, original, dependencies_of(original, self._is_key))
            return
        instructions, references, literals, constants = program
        # slots: the program's constants, the block's values, then each instruction's row
        slots = constants + block.values
        key_row, kinds, pinned = self.key_row, self.kinds, self.pinned_rows
        computed = set()
        for position in references:
            read = slots[position]
            row = key_row.get(read)
            if row is None:
                row = self.external_row(read)
            slots[position] = row
            if kinds[row] == OP or row in pinned:
                computed.add(row)
        if len(computed) > 1:
            for position in references:
                row = slots[position]
                if row in computed:
                    slots[position] = self._exchange(row)
        for position in literals:
            slots[position] = self._literal(slots[position])[1]
        marker = self.marker(key)
        names = self.names
        row0 = len(names)
        slots.extend(range(row0, row0 + len(instructions.names)))
        inputs = [slots[i] for i in instructions.operands]
        evidence = self.evidence
        numeric = bytearray(len(instructions.names))
        for index, rule, start, end in instructions.rules:
            operands = [row if row < row0 else -1 - (row - row0) for row in inputs[start:end]]
            numeric[index] = self._block_numeric(rule, operands, evidence, numeric, instructions.values[index], slots)
        if instructions.cores and marker is None:
            chosen = list(instructions.names)
            for index, core, start in instructions.cores:
                first, second = inputs[start], inputs[start + 1]
                if (numeric[first - row0] if first >= row0 else evidence[first]) and (
                    numeric[second - row0] if second >= row0 else evidence[second]
                ):
                    chosen[index] = core
            names.extend(chosen)
        else:
            names.extend(instructions.names)
        if instructions.dynamic or marker is not None:
            params = []
            for index, fixed in enumerate(instructions.params):
                given = fixed
                placed = instructions.values[index]
                if fixed is None and placed is not None:
                    given = dict(zip(instructions.paths[index], [slots[i] for i in placed]))
                if marker is not None:
                    given = dict(given or {})
                    given[_MARKER] = marker
                params.append(given)
            self.params.extend(params)
        else:
            self.params.extend(instructions.params)
        all_inputs = self.inputs
        base = len(all_inputs)
        all_inputs.extend(inputs)
        self.offsets.extend([base + end for end in instructions.ends])
        self.kinds.extend(instructions.kinds)
        evidence.extend(numeric)
        row = row0 + instructions.result
        key_row[key] = row
        self.task_key.setdefault(row, key)

    def blocks(self, batch: list[tuple[Any, Block]]) -> None:
        """Records blocks of one Blockwise layer, whose bindings have the same kinds and whose
        keys read are all recorded: a few one by one, many as whole columns at once."""
        first_key, first = batch[0]
        if len(batch) < _BATCH or self._any_marked(batch):
            for key, block in batch:
                self.block_entry(key, block)
            return
        program = self._program_of(first_key, first)
        if program is None:
            for key, block in batch:
                self.block_entry(key, block)
            return
        instructions, references, literals, constants = program
        count = len(constants)
        read_at = [position - count for position in references]
        literal_at = [position - count for position in literals]
        rows_of_values = [block.values for _, block in batch]
        blocks, width, calls = len(batch), len(first.values), len(instructions.names)
        # The columns of the block's values that hold rows (references and literals; params are 0).
        value_rows = np.zeros((blocks, width), dtype=np.int64)
        if read_at:
            value_rows[:, read_at] = self._read_rows(_picked(rows_of_values, read_at), blocks)
        if literal_at:
            value_rows[:, literal_at] = np.array(
                self._literal_rows_of(_picked(rows_of_values, literal_at)), dtype=np.int64
            ).reshape(blocks, len(literal_at))
        row0 = len(self.names)
        results = row0 + np.arange(blocks, dtype=np.int64)[:, None] * calls + np.arange(calls, dtype=np.int64)
        constant_rows = np.array([c if type(c) is int else 0 for c in constants], dtype=np.int64)
        slots = np.concatenate([np.broadcast_to(constant_rows, (blocks, count)), value_rows, results], axis=1)
        operands = np.asarray(instructions.operands, dtype=np.intp)
        inputs = slots[:, operands]
        evidence = np.frombuffer(bytes(self.evidence), dtype=np.uint8)
        numeric = np.zeros((blocks, calls), dtype=np.uint8)
        results_from = count + width

        def operand_evidence(column: int) -> np.ndarray:
            slot = int(operands[column])
            if slot >= results_from:
                return numeric[:, slot - results_from]
            found: np.ndarray = evidence[slots[:, slot]]
            return found

        def param_values(index: int) -> list[list[Any]] | None:
            placed = instructions.values[index]
            if placed is None:
                return None
            return [[constants[i] if i < count else values[i - count] for i in placed] for values in rows_of_values]

        for index, rule, start, end in instructions.rules:
            if rule == _evidence.CONSTANT:
                numeric[:, index] = 1
            elif rule == _evidence.FIRST:
                numeric[:, index] = operand_evidence(start)
            elif rule == _evidence.ALL:
                found = np.ones(blocks, dtype=bool)
                for column in range(start, end):
                    found &= operand_evidence(column).astype(bool)
                given = param_values(index)
                if given is not None:
                    found &= np.array([not any(type(v) is str for v in vs) for vs in given], dtype=bool)
                numeric[:, index] = found
            else:
                given = param_values(index)
                if given is not None:
                    numeric[:, index] = [bool(vs) and vs[0] in _evidence.NUMERIC_DISTRIBUTIONS for vs in given]
        names = list(instructions.names) * blocks
        for index, core, start in instructions.cores:
            chosen = operand_evidence(start).astype(bool) & operand_evidence(start + 1).astype(bool)
            for position in np.flatnonzero(chosen).tolist():
                names[position * calls + index] = core
        params = list(instructions.params) * blocks
        if instructions.dynamic:
            for index, fixed in enumerate(instructions.params):
                if fixed is None and instructions.paths[index]:
                    paths = instructions.paths[index]
                    for position, values in enumerate(param_values(index) or []):
                        params[position * calls + index] = dict(zip(paths, values))
        base = len(self.inputs)
        ends = np.asarray(instructions.ends, dtype=np.int64)
        self.kinds.extend(instructions.kinds * blocks)
        self.names.extend(names)
        self.params.extend(params)
        self.inputs.extend(inputs.ravel().tolist())
        self.offsets.extend((base + np.arange(blocks, dtype=np.int64)[:, None] * len(operands) + ends).ravel().tolist())
        self.evidence.extend(numeric.tobytes())
        key_row, task_key = self.key_row, self.task_key
        for (key, _), row in zip(batch, results[:, instructions.result].tolist()):
            key_row[key] = row
            task_key.setdefault(row, key)

    def _any_marked(self, batch: list[tuple[Any, Block]]) -> bool:
        """Whether a call of the batch's blocks is marked impure: asked once per name, as the
        marker of a key of a layer is decided by its name."""
        first: dict[Any, Any] = {}
        try:
            for key, _ in batch:
                if type(key) is not tuple or not key:
                    raise TypeError
                first.setdefault(key[0], key)
        except TypeError:  # a key that is no tuple, or whose name is not hashable: each asked
            return any(self.marker(key) is not None for key, _ in batch)
        return any(self.marker(key) is not None for key in first.values())

    def _read_rows(self, reads: list[Any], blocks: int) -> np.ndarray:
        """The rows of the keys the blocks read (`reads`, block after block, the same number
        each), an exchange of each computed row where a block reads two or more."""
        found_rows: list[int | None] = list(map(self.key_row.get, reads))
        rows: list[int] = (
            [self.external_row(read) if row is None else row for read, row in zip(reads, found_rows)]
            if None in found_rows
            else found_rows  # type: ignore[assignment]
        )
        found = np.array(rows, dtype=np.int64).reshape(blocks, -1)
        kind_of: Callable[[int], int] = self.kinds.__getitem__
        kinds = np.fromiter(map(kind_of, rows), dtype=np.uint8, count=len(rows))
        computed = kinds.reshape(found.shape) == OP
        if self.pinned_rows:
            computed |= np.isin(found, np.fromiter(self.pinned_rows, dtype=np.int64))
        if found.shape[1] < 2:
            return found
        # How many distinct computed rows each block reads.
        ordered = np.sort(np.where(computed, found, -1), axis=1)
        distinct = (ordered[:, 0] >= 0).astype(np.int64) + (
            (ordered[:, 1:] != ordered[:, :-1]) & (ordered[:, 1:] >= 0)
        ).sum(axis=1)
        cut = (distinct > 1)[:, None] & computed
        if cut.any():
            found[cut] = self._exchanges(found[cut])
        return found

    def _exchanges(self, rows: np.ndarray) -> np.ndarray:
        """The exchange row of each row of `rows`; those not made before are appended together."""
        distinct = np.unique(rows)
        made = self._exchange_rows
        new = [row for row in distinct.tolist() if row not in made]
        if new:
            count, first = len(new), len(self.names)
            made.update(zip(new, range(first, first + count)))
            self.kinds.extend(bytes([EXCHANGE]) * count)
            self.names.extend([None] * count)
            self.params.extend([None] * count)
            base = len(self.inputs)
            self.inputs.extend(new)
            self.offsets.extend(range(base + 1, base + count + 1))
            evidence = self.evidence
            evidence.extend(bytes([evidence[row] for row in new]))
        cuts = np.fromiter(map(made.__getitem__, distinct.tolist()), dtype=np.int64, count=len(distinct))
        found: np.ndarray = cuts[np.searchsorted(distinct, rows)]
        return found

    def _literal_rows_of(self, values: list[Any]) -> list[int]:
        """The source row of each literal. A literal equal to one seen before is not kept for
        its id: the literals of materialized tasks are mostly new objects of repeated values
        (shapes, empty lists, keyword dicts), each met once."""
        holes, rows = self._literal_holes, self._literal_rows
        found: list[int] = []
        append = found.append
        unseen: list[int] = []  # the positions of objects not seen before
        for position, (value, hole) in enumerate(zip(values, map(holes.get, map(id, values)))):
            if hole is not None and hole[0] is value:
                append(hole[1][1])
            else:
                append(-1)
                unseen.append(position)
        if not unseen:
            return found
        new: list[Any] = []  # the literals not seen before, whose rows are appended at the end
        first = len(self.names)
        objects = [values[position] for position in unseen]
        for position, value, key in zip(unseen, objects, self._literal_keys.keys(objects)):
            row = rows.get(key)
            if row is None:
                row = rows[key] = first + len(new)
                new.append(value)
            found[position] = row
        if new:
            self._literal_sources(new)
        return found

    def _literal_sources(self, values: list[Any]) -> None:
        """Appends a source row for each of `values`, literals not seen before, as _new_literal
        would one by one."""
        count, first, number = len(values), len(self.names), len(self.sources)
        self.sources.extend([(LITERAL, value) for value in values])
        self.kinds.extend(bytes([SOURCE]) * count)
        self.names.extend([f"{type(value).__name__}#{number + i}" for i, value in enumerate(values)])
        self.params.extend([None] * count)
        self.offsets.extend([len(self.inputs)] * count)
        self.evidence.extend(bytes([1 if numeric_evidence(value) else 0 for value in values]))
        holes = self._literal_holes
        for row, value in enumerate(values, first):
            holes[id(value)] = (value, (IN, row))  # holds the object: its id stays its own

    def _program_of(self, key: Any, block: Block) -> tuple[_Program, list[int], list[int], list[Any]] | None:
        """The compiled task of the block's layer for bindings of its kinds; None for a form of
        materialized tasks that does not compile (a subgraph that reads keys it is not given, or
        whose value is one of its inputs): its tasks are recorded one by one."""
        programs = block.layer.programs
        program = programs.get(block.kinds, _MISSING)
        if program is _MISSING:
            try:
                program = self._compile(key, block)
            except Unsupported:
                if block.original is None:
                    raise
                program = None
            programs[block.kinds] = program
        return program  # type: ignore[no-any-return]

    def _block_numeric(
        self, rule: int, operands: list[int], evidence: bytearray, numeric: bytearray, values: Any, slots: list[Any]
    ) -> int:
        """The evidence of a replayed call: `operands` are rows, or -1 - j for the block's
        instruction j."""
        if rule == _evidence.CONSTANT:
            return 1
        if rule == _evidence.FIRST:
            first = operands[0]
            return evidence[first] if first >= 0 else numeric[-1 - first]
        if rule == _evidence.ALL:
            for row in operands:
                if not (evidence[row] if row >= 0 else numeric[-1 - row]):
                    return 0
            if values is None:
                return 1
            return int(not any(type(slots[i]) is str for i in values))
        first_value = slots[values[0]] if values else None
        return int(first_value in _evidence.NUMERIC_DISTRIBUTIONS)

    def _compile(self, key: Any, block: Block) -> tuple[_Program, list[int], list[int], list[Any]]:
        """The layer's task as instructions over slots: the program's constants (rows and param
        values), then the block's values, then each instruction's row."""
        layer = block.layer
        bindings: dict[Any, Hole] = {}
        references: list[int] = []
        literals: list[int] = []
        for placeholder, what, payload in layer.symbols(key, block):
            if what == _blockwise.CONSTANT:
                bindings[placeholder] = self._literal(payload)
            elif what == _blockwise.KEYS:
                shape, axes = payload
                hole = self._symbol_list(shape, references)
                if layer.concatenate is not None:
                    hole = (IN, self._emit_program(layer.concatenate, [hole, self._literal(axes)]))
                bindings[placeholder] = hole
            elif what == _blockwise.IO:
                position, kind = payload
                if kind == _blockwise.PARAM:
                    bindings[placeholder] = (PARAM, _Symbol(position))
                else:
                    literals.append(position)
                    bindings[placeholder] = (IN, _Symbol(position))
            else:
                references.append(payload)
                bindings[placeholder] = (IN, _Symbol(payload))
        program: list[Any] = []
        saved = self._program, self._inner
        self._program, self._inner = program, ({}, bindings, {})
        try:
            result = self._call(layer.task)
        finally:
            self._program, self._inner = saved
        if type(result) is not int or result >= 0:
            raise Unsupported("a blockwise task whose value is one of its inputs")
        constants: list[Any] = []
        base = len(block.values)  # the block's values follow the constants: shifted below

        def slot(item: Any) -> int:
            if type(item) is _Symbol:
                return -1 - item.position  # a block value, placed once the constants are counted
            constants.append(item)
            return len(constants) - 1

        instructions = []
        for (name, paths, rule, core), inputs, values in program:
            operands = [
                slot(item) if type(item) is _Symbol or item >= 0 else ("instruction", -1 - item) for item in inputs
            ]
            parameters = [slot(value) for value in values]
            instructions.append([name, core, rule, paths, operands, parameters, values])
        count = len(constants)

        def place(index: Any) -> int:
            if type(index) is tuple:
                return count + base + int(index[1])
            return count - 1 - int(index) if index < 0 else int(index)

        program_names: list[str] = []
        cores: list[tuple[int, str, int]] = []
        rules: list[tuple[int, int, int, int]] = []
        all_operands: list[int] = []
        ends: list[int] = []
        params: list[dict[str, Any] | None] = []
        paths_of: list[tuple[str, ...]] = []
        values_of: list[tuple[int, ...] | None] = []
        dynamic = False
        for index, (name, core, rule, paths, operands, parameters, values) in enumerate(instructions):
            start = len(all_operands)
            all_operands.extend(place(i) for i in operands)
            ends.append(len(all_operands))
            program_names.append(name)
            if core is not None:
                cores.append((index, core, start))
            placed_values = tuple(place(i) for i in parameters)
            if any(type(v) is _Symbol for v in values):
                dynamic = True
                params.append(None)
            else:
                params.append(dict(zip(paths, values)) if values else None)
            paths_of.append(paths)
            values_of.append(placed_values if values else None)
            if rule:
                rules.append((index, rule, start, len(all_operands)))
        return (
            _Program(
                tuple(program_names),
                tuple(cores),
                tuple(rules),
                tuple(all_operands),
                tuple(ends),
                tuple(params),
                tuple(paths_of),
                tuple(values_of),
                dynamic,
                -1 - result,
            ),
            [count + p for p in references],
            [count + p for p in literals],
            constants,
        )

    def _emit_program(self, func: Any, holes: list[Hole]) -> int:
        return self._emit(func, holes, (), [])

    def _symbol_list(self, shape: Any, references: list[int]) -> Hole:
        if isinstance(shape, list):
            return (SEQ, list, [self._symbol_list(item, references) for item in shape])
        references.append(shape)
        return (IN, _Symbol(shape))

    # Legacy tuple tasks, converted as dask's convert_legacy_task converts them.

    def _legacy_value(self, key: Any, value: Any) -> int:
        if type(value) is tuple and value and callable(value[0]):
            return self._legacy_call(value)
        if self._legacy_is_key(value):
            return self.external_row(key) if value == key else self._ref(value)
        if isinstance(value, (list, tuple, set, frozenset)) and self._legacy_dynamic(value):
            hole = self._legacy_arg(value)
            if hole[0] == SEQ:
                return self._emit(_identity_cast, list(hole[2]), ("typ",), [self._literal(hole[1])])
            return hole[1]  # type: ignore[no-any-return]
        return self.data_row(key, value)

    def _legacy_is_key(self, value: Any) -> bool:
        try:
            return isinstance(value, (int, float, str, tuple)) and value in self._is_key
        except TypeError:  # unhashable
            return False

    def _legacy_dynamic(self, value: Any) -> bool:
        """Whether a legacy argument holds a key, a task or a graph node anywhere."""
        if isinstance(value, (GraphNode, TaskRef)):
            return True
        if type(value) is tuple and value and callable(value[0]):
            return True
        if self._legacy_is_key(value):
            return True
        if isinstance(value, (list, tuple, set, frozenset)):
            return any(self._legacy_dynamic(item) for item in value)
        return False

    def _legacy_arg(self, item: Any) -> Hole:
        if isinstance(item, (GraphNode, TaskRef)):
            return self._arg(item)
        if type(item) is tuple and item and callable(item[0]):
            return (IN, self._legacy_call(item))
        if self._legacy_is_key(item):
            return self._key_hole(item, None)
        if isinstance(item, (list, tuple, set, frozenset)) and self._legacy_dynamic(item):
            if is_namedtuple_instance(item):
                return self._arg(convert_legacy_task(None, item, self._is_key))
            return (SEQ, type(item), [self._legacy_arg(x) for x in item])
        return self._literal(item)

    def _legacy_call(self, task: tuple[Any, ...]) -> int:
        holes = []
        for item in task[1:]:
            if isinstance(item, dict):
                holes.append(
                    self._arg(Dict(item))
                    if any(isinstance(v, (GraphNode, TaskRef)) for v in item.values())
                    else self._literal(item)
                )
            else:
                holes.append(self._legacy_arg(item))
        return self._emit(task[0], holes, (), [])


def legacy_dependencies(value: Any, is_key: Container[Any], found: set[Any]) -> None:
    """The keys a legacy graph value reads, as dask's convert_legacy_task would find them."""
    if isinstance(value, GraphNode):
        found.update(value.dependencies)
        return
    if isinstance(value, TaskRef):
        found.add(value.key)
        return
    if type(value) is tuple and value and callable(value[0]):
        for item in value[1:]:
            if isinstance(item, dict):
                for inner in item.values():
                    if isinstance(inner, GraphNode):
                        found.update(inner.dependencies)
                    elif isinstance(inner, TaskRef):
                        found.add(inner.key)
            else:
                legacy_dependencies(item, is_key, found)
        return
    try:
        if isinstance(value, (int, float, str, tuple)) and value in is_key:
            found.add(value)
            return
    except TypeError:
        pass
    if isinstance(value, (list, tuple, set, frozenset)):
        for item in value:
            legacy_dependencies(item, is_key, found)


def dependencies_of(value: Any, is_key: Container[Any]) -> Iterable[Any]:
    """The graph keys the value of a key reads."""
    kind = type(value)
    if kind is Task or isinstance(value, GraphNode):
        return value.dependencies  # type: ignore[no-any-return]
    if isinstance(value, TaskRef):
        return (value.key,)
    found: set[Any] = set()
    legacy_dependencies(value, is_key, found)
    return found


def record_graph(
    recorder: Recorder,
    outputs: list[Any],
    lookup: Callable[[Any], tuple[Any, Iterable[Any], bool] | None],
    ranks: dict[Any, int] | None = None,
    block_ranks: dict[Any, int] | None = None,
) -> list[Any]:
    """Records every key the outputs read, each after the keys it reads.

    `lookup(key)` gives (value, dependencies, pinned) for a key of the graph and None for a key
    it does not hold. A pinned key's task is kept as it is: it is recorded as a source, and the
    keys it reads are recorded and returned (they must keep their names).

    The keys are found depth first, from the outputs, by the extension's native walk. With
    `ranks` (the position of each key's layer in an order of the layers where every layer comes
    after those it reads; a Blockwise layer's blocks by their name in `block_ranks`), they are
    then recorded layer by layer, so that the blocks of a Blockwise layer are recorded together;
    if a key reads one of a later layer, the ranks are wrong and the keys are recorded in the
    order they were found.

    Inside a layer, a key's level is the length of the longest chain of keys of the same layer
    it reads; keys of one level read none of each other, so each level's blocks of one form come
    as one group (in the order found), to be recorded as columns at once.
    """
    walked = veltrix_core._walk_tasks(outputs, lookup, ranks, block_ranks or {}, Block)
    if walked[0] is None:
        raise Unsupported(f"the graph has a cycle through {walked[1]!r}")
    ranked, externals, items = walked
    for key in externals:
        recorder.external(key)
    kept: list[Any] = []
    if ranked:
        # A group's blocks are of one form and read none of each other: a batch each.
        for blocks, group in items:
            if blocks:
                recorder.blocks(group)
            else:
                for key, entry in group:
                    _record_one(recorder, key, entry, kept)
        return kept
    batch: list[tuple[Any, Block]] = []
    batched: set[Any] = set()  # the keys of the batch: a block that reads one starts a new batch
    for key, entry in items:
        value = entry[0]
        if type(value) is Block and value.task is None:
            if batch and (
                batch[0][1].layer is not value.layer
                or batch[0][1].kinds != value.kinds
                or not batched.isdisjoint(entry[1])
            ):
                recorder.blocks(batch)
                batch = []
                batched.clear()
            batch.append((key, value))
            batched.add(key)
            continue
        if batch:
            recorder.blocks(batch)
            batch = []
            batched.clear()
        _record_one(recorder, key, entry, kept)
    if batch:
        recorder.blocks(batch)
    return kept


def _record_one(recorder: Recorder, key: Any, entry: tuple[Any, Iterable[Any], bool], kept: list[Any]) -> None:
    value, dependencies, pinned = entry
    if pinned:
        recorder.pinned(key)
        kept.extend(dependencies)
    else:
        recorder.entry(key, value, dependencies)


def _picked(rows: list[list[Any]], positions: list[int]) -> list[Any]:
    """The values at `positions` of every row, row after row."""
    if len(positions) == 1:
        position = positions[0]
        return [row[position] for row in rows]
    return list(itertools.chain.from_iterable(map(operator.itemgetter(*positions), rows)))
