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

from collections.abc import Callable, Container, Hashable, Iterable
from typing import Any, TypeAlias

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
from dask.utils import funcname, is_namedtuple_instance
from veltrix_core.dask import _blockwise, _evidence
from veltrix_core.dask._blockwise import Block
from veltrix_core.dask._literals import LiteralKeys, is_param, numeric_evidence

__all__ = ["SOURCE", "OP", "EXCHANGE", "LITERAL", "DATA", "EXTERNAL", "Unsupported", "Recorder", "record_graph"]

# Kind codes of the store's columns.
SOURCE, OP, EXCHANGE = 0, 1, 5
# What a source stands for.
LITERAL, DATA, EXTERNAL = 0, 1, 2

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
_MARKER = "#task"  # the param that makes an impure call unique; no template path begins with "#"


class Unsupported(Exception):
    """A graph the optimizer does not read; it is handed back to dask's own optimizer."""


class _Symbol:
    """A value of a block's bindings, in a blockwise layer's task as it is compiled."""

    __slots__ = ("position",)

    def __init__(self, position: int) -> None:
        self.position = position


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
        # source name -> (LITERAL, object) | (DATA, object, key) | (EXTERNAL, reference, key)
        self.sources: dict[str, tuple[Any, ...]] = {}
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
        self._funcs: dict[int, tuple[object, Hashable]] = {}
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
        self.sources[name] = what
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
        if cut is None:
            cut = self._exchange_rows[row] = self._row(EXCHANGE, None, None, [row], self.evidence[row])
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
        arg = self._arg
        holes = [arg(item) for item in task.args]
        kwargs = task.kwargs
        if kwargs:
            names = tuple(kwargs)
            return self._emit(func, holes, names, [arg(kwargs[name]) for name in names])
        return self._emit(func, holes, (), [])

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

    def _function_key(self, func: object) -> Hashable:
        seen = self._funcs.get(id(func))
        if seen is not None and seen[0] is func:
            return seen[1]
        if type(func) is type(self._function_key):  # a bound method: its object and function
            key: Hashable = ("method", self._literal_keys.key(func.__self__), self._literal_keys.key(func.__func__))  # type: ignore[attr-defined]
        else:
            key = self._literal_keys.key(func)
        self._funcs[id(func)] = (func, key)
        return key

    def _emit(self, func: Any, holes: list[Hole], kw_names: tuple[str, ...], kw_holes: list[Hole]) -> int:
        self._dynamic += 1
        inputs: list[Any] = []
        values: list[Any] = []
        shape: list[Any] = []
        for hole in holes:
            code = hole[0]
            if code == IN:
                inputs.append(hole[1])
                shape.append(0)
            elif code == PARAM:
                values.append(hole[1])
                shape.append(1)
            else:
                shape.append(self._flat(hole, inputs, values))
        args = tuple(shape)
        kw_sigs = tuple([self._flat(hole, inputs, values) for hole in kw_holes]) if kw_holes else ()
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
        name = f"{funcname(func)}#{len(self._templates)}"
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
        layer = block.layer
        program = layer.programs.get(block.kinds)
        if program is None:
            program = layer.programs[block.kinds] = self._compile(key, block)
        instructions, result, references, literals, constants = program
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
        names, params, evidence, offsets, all_inputs = self.names, self.params, self.evidence, self.offsets, self.inputs
        numeric_of = self._numeric
        row = len(names)
        for name, core, rule, fixed, paths, operands, parameters in instructions:
            inputs = [slots[i] for i in operands]
            if fixed is None:
                values = [slots[i] for i in parameters]
                given: dict[str, Any] | None = dict(zip(paths, values))
            else:
                values, given = parameters, fixed
            numeric = numeric_of(rule, inputs, values) if rule else 0
            if marker is not None:
                given = dict(given or {})
                given[_MARKER] = marker
            elif core is not None and evidence[inputs[0]] and evidence[inputs[1]]:
                name = core
            kinds.append(OP)
            names.append(name)
            params.append(given)
            all_inputs.extend(inputs)
            offsets.append(len(all_inputs))
            evidence.append(numeric)
            slots.append(row)
            row += 1
        row = slots[len(slots) - len(instructions) + result]
        key_row[key] = row
        self.task_key.setdefault(row, key)

    def _compile(self, key: Any, block: Block) -> tuple[list[Any], int, list[int], list[int], list[Any]]:
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
        if result >= 0:
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

        compiled: list[Any] = []
        for name, core, rule, paths, operands, parameters, values in instructions:
            placed = tuple(place(i) for i in operands)
            if any(type(v) is _Symbol for v in values):
                compiled.append((name, core, rule, None, paths, placed, tuple(place(i) for i in parameters)))
            else:
                fixed = dict(zip(paths, values)) if values else None
                compiled.append((name, core, rule, fixed, paths, placed, list(values)))
        return (
            compiled,
            -1 - result,
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


_EXPANDED = object()
_DONE = object()


def record_graph(
    recorder: Recorder,
    outputs: list[Any],
    lookup: Callable[[Any], tuple[Any, Iterable[Any], bool] | None],
) -> list[Any]:
    """Records every key the outputs read, each after the keys it reads.

    `lookup(key)` gives (value, dependencies, pinned) for a key of the graph and None for a key
    it does not hold. A pinned key's task is kept as it is: it is recorded as a source, and the
    keys it reads are recorded and returned (they must keep their names).
    """
    state: dict[Any, Any] = {}
    found: dict[Any, tuple[Any, Iterable[Any], bool]] = {}
    kept: list[Any] = []
    stack = list(reversed(outputs))
    while stack:
        key = stack[-1]
        seen = state.get(key)
        if seen is _DONE:
            stack.pop()
            continue
        if seen is None:
            entry = lookup(key)
            if entry is None:
                stack.pop()
                recorder.external(key)
                state[key] = _DONE
                continue
            state[key] = _EXPANDED
            found[key] = entry
            for dependency in entry[1]:
                other = state.get(dependency)
                if other is None:
                    stack.append(dependency)
                elif other is _EXPANDED:
                    raise Unsupported(f"the graph has a cycle through {dependency!r}")
            continue
        stack.pop()
        value, dependencies, pinned = found.pop(key)
        if pinned:
            recorder.pinned(key)
            kept.extend(dependencies)
        else:
            recorder.entry(key, value, dependencies)
        state[key] = _DONE
    return kept
