"""The default meanings of op and reduction names, on numpy, and the values they run on.

A registry maps ``(node kind, name)`` to a callable ``(inputs, params) -> value``, where
``inputs`` is the list of input values in input order and ``params`` the node's params dict.
The kind is ``"op"`` or ``"reduction"``, as node views name them (a Stage member of kind
``"red"`` is a reduction). The entry ``("source", "")`` turns each source's value into the
value the graph runs on, called as ``entry([value], params)`` with the source's params.

**Values.** Every value the default meanings read or return is one of:

- a numpy ndarray (0-d included, never a numpy scalar) of one of the fourteen dtypes of
  `VALUE_DTYPES` (bool, int8 to int64, uint8 to uint64, float16 to float64, complex64 and
  complex128), in native byte order;
- a `Table`: a read-only mapping from column names (``str``) to such arrays, which ``getitem``
  reads.

A source's value becomes one once, as it enters (`as_value`): such arrays are taken as they
are, Python bool, int, float and complex values and lists of them become arrays as numpy
converts them, other byte orders and array subclasses become plain native arrays, and mappings
become tables. Anything else is refused with an error naming the source: strings, bytes,
objects, dates, long doubles, ints beyond 64 bits, and masked arrays (which would lose their
mask).

**Exactness.** The reducer treats the two operand orders of add, mul, and, or, eq, ne, maximum
and minimum (without params) as one node, and add of a scalar 0.0 or mul of a scalar 1.0 as its
input. The meanings make both exact: a graph and its reduction give the same values, dtypes,
shapes and Python types, bit for bit, with every NaN one value (neither its sign nor its
payload is part of it, as for float params) and the signs of zeros counting.

- add of a scalar 0 (of any type, -0.0 included) and mul of a scalar 1 (1, 1.0 or True)
  return their input itself, whatever it is: ``x + 0.0`` would otherwise turn -0.0 into +0.0,
  and the reducer has already replaced the node by its input. An add whose scalar becomes zero
  in the input's dtype (0.25 on integers) returns its input too.
- mul of complex numbers is computed from real products and sums, each of which is the same
  with the operands swapped; numpy's own complex product may fuse a multiply into an add,
  whose rounding then depends on the order.
- maximum and minimum settle what numpy leaves to the operand order: where the operands compare
  equal, each zero part of the result is +0.0 or -0.0 by the operands' signs alone (maximum:
  -0.0 only when both are; minimum: -0.0 when either is), and where both complex operands hold
  a NaN, the result is NaN in both parts.
- add, and, or, eq and ne are exact as numpy computes them.

Every op refuses an input that is not a value as above (a string array a registry entry of the
caller's made, say), naming the node: on strings, add concatenates and does not commute.

**Other meanings.** A binary op with a ``scalar`` param is that op between its one input and
the scalar, the scalar first converted to the input's dtype, so add of 0.5 or mul of 2.0 keep
the input's dtype; ``side="l"`` puts the scalar first. Every meaning runs with numpy's
floating-point warnings off: an overflow or a division by zero yields inf or nan, as the data
says, never a warning or an error. `MEANINGS` lists every name, how many inputs it takes and
the params it reads.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, TypeAlias

import numpy as np

from veltrix_core.typing import NodeFunction, ParamValue

__all__ = ["Meaning", "Table", "VALUE_DTYPES", "as_value", "accept_source", "default_registry", "MEANINGS"]

Registry: TypeAlias = dict[tuple[str, str], NodeFunction]
"""A registry as `default_registry` makes it: a dict the caller may change."""
Array: TypeAlias = np.ndarray
# What the numpy functions below take and give: arrays, and numpy scalars where numpy makes one
# of a 0-d array; Meaning makes every value it returns an array.
Numeric: TypeAlias = np.ndarray | np.generic

VALUE_DTYPES = tuple(
    np.dtype(name)
    for name in (
        "bool",
        "int8",
        "int16",
        "int32",
        "int64",
        "uint8",
        "uint16",
        "uint32",
        "uint64",
        "float16",
        "float32",
        "float64",
        "complex64",
        "complex128",
    )
)
"""The fourteen dtypes of the arrays the default meanings read and return, in native byte order."""
# A set of dtypes compares byte order too: '>f8' is not in it.
_VALUE_DTYPES = frozenset(VALUE_DTYPES)
_ndarray = np.ndarray
_DTYPE_NAMES = "bool, int8 to int64, uint8 to uint64, float16 to float64, complex64 or complex128"


class Table(Mapping[str, np.ndarray]):
    """A read-only mapping from column names to arrays, as a source's mapping value becomes.
    `nbytes` is the columns' bytes; two tables are equal only when they are one object."""

    __slots__ = ("_columns", "nbytes")

    def __init__(self, columns: Mapping[Any, Any]):
        converted: dict[str, Array] = {}
        for key, column in columns.items():
            if not isinstance(key, str):
                raise TypeError(f"a table's column names are str, not {type(key).__name__}")
            if isinstance(column, Mapping):
                raise TypeError(f"column {key!r} is a mapping; a table's columns are arrays")
            converted[key] = _as_array(column)
        self._columns = converted
        self.nbytes = sum(column.nbytes for column in converted.values())

    def __getitem__(self, key: str) -> np.ndarray:
        return self._columns[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __len__(self) -> int:
        return len(self._columns)

    def __repr__(self) -> str:
        columns = ", ".join(f"{key!r}: {c.dtype}{list(c.shape)}" for key, c in self._columns.items())
        return f"Table({{{columns}}})"

    def __reduce__(self) -> tuple[type[Table], tuple[dict[str, Array]]]:
        return Table, (self._columns,)

    # Element-wise array comparison has no single truth value; a table is equal to itself.
    __eq__ = object.__eq__
    __ne__ = object.__ne__
    __hash__ = object.__hash__


def _as_array(value: Any) -> np.ndarray:
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError("a masked array would lose its mask; give its data and mask as values of their own")
    if isinstance(value, (str, bytes)):
        raise TypeError(f"a {type(value).__name__} is not a numeric value")
    array = value.view(np.ndarray) if isinstance(value, np.ndarray) else np.asarray(value)
    dtype = array.dtype
    if dtype in _VALUE_DTYPES:
        return array
    if not dtype.isnative and dtype.newbyteorder("=") in _VALUE_DTYPES:
        return array.astype(dtype.newbyteorder("="))
    if isinstance(value, int) and dtype.kind == "O":
        raise TypeError(f"the int {value} does not fit in 64 bits")
    origin = "" if isinstance(value, np.ndarray) else f" (from {type(value).__name__})"
    raise TypeError(f"an array of dtype {dtype}{origin} is not a value ops compute with; dtypes: {_DTYPE_NAMES}")


def as_value(value: Any) -> np.ndarray | Table:
    """`value` as the graph runs on it: an array of one of VALUE_DTYPES or a Table; TypeError
    (or numpy's own error for a ragged list) for anything else."""
    if type(value) is np.ndarray and value.dtype in _VALUE_DTYPES:
        return value
    if isinstance(value, Table):
        return value
    if isinstance(value, Mapping):
        return Table(value)
    return _as_array(value)


def accept_source(inputs: Sequence[Any], params: dict[str, Any]) -> np.ndarray | Table:
    """The default registry's ("source", "") entry: a source's value made a value (as_value)."""
    (value,) = inputs
    return as_value(value)


def _operand(value: Any, name: str) -> np.ndarray:
    """An op's input as an array of one of VALUE_DTYPES, or TypeError saying why not."""
    if type(value) is np.ndarray and value.dtype in _VALUE_DTYPES:
        return value
    try:
        converted = as_value(value)
    except TypeError as error:
        raise TypeError(f"{name} refuses its input: {error}") from None
    if isinstance(converted, Table):
        raise TypeError(f"{name} refuses its input: a table is read by getitem only")
    return converted


def _result(value: Any) -> np.ndarray:
    # numpy returns scalars, not 0-d arrays, from element-wise ops on 0-d arrays and from full
    # reductions; one Python type for every value keeps a graph and its reduction alike.
    return value if type(value) is np.ndarray else np.asarray(value)


def _as_float(x: Array) -> Array:
    """Integers and booleans as float64, where numpy would pick float16 for booleans."""
    return x if x.dtype.kind in "fc" else x.astype(np.float64)


def _no_bool(x: Array) -> Array:
    """Booleans as int64 where numpy refuses boolean arithmetic (negation, subtraction)."""
    return x.astype(np.int64) if x.dtype.kind == "b" else x


def _common(a: Numeric, b: Numeric) -> tuple[Numeric, Numeric, np.dtype[Any]]:
    """Both operands in the dtype numpy would compute them in."""
    dtype = np.result_type(a, b)
    return a.astype(dtype, copy=False), b.astype(dtype, copy=False), dtype


def _multiply(a: Numeric, b: Numeric) -> Numeric:
    if a.dtype.kind != "c" and b.dtype.kind != "c":
        return np.multiply(a, b)
    a, b, dtype = _common(a, b)
    # (ar + i ai)(br + i bi): each part from products that are the same either way round, and
    # one sum or difference of them, which is too.
    real = np.subtract(np.multiply(a.real, b.real), np.multiply(a.imag, b.imag))
    imag = np.add(np.multiply(a.real, b.imag), np.multiply(a.imag, b.real))
    return _complex(real, imag, dtype)


def _complex(real: Numeric, imag: Numeric, dtype: np.dtype[Any]) -> Numeric:
    out = np.empty(np.broadcast_shapes(real.shape, imag.shape), dtype)
    out.real, out.imag = real, imag
    return out


def _settle_part(a: Numeric, b: Numeric, part: Numeric, equal: Numeric, negative_if_either: bool) -> Numeric:
    """`part` with its places where the operands' parts compare equal given the sign those
    parts have together: only zeros can differ there, and their order must not choose."""
    combine = np.logical_or if negative_if_either else np.logical_and
    negative = combine(np.signbit(a), np.signbit(b))
    magnitude = np.abs(part)
    return np.where(equal, np.where(negative, np.negative(magnitude), magnitude), part)


def _extreme(
    function: Callable[[Numeric, Numeric], Numeric], negative_if_either: bool
) -> Callable[[Numeric, Numeric], Numeric]:
    def extreme(a: Numeric, b: Numeric) -> Numeric:
        if a.dtype.kind not in "fc" and b.dtype.kind not in "fc":
            return function(a, b)  # no signed zeros, no NaNs, even where integers become floats
        a, b, dtype = _common(a, b)
        result = function(a, b)
        equal = np.equal(a, b)
        if dtype.kind == "f":
            return _settle_part(a, b, result, equal, negative_if_either) if equal.any() else result
        # complex: equal operands have both parts equal, so neither holds a NaN
        if equal.any():
            real = _settle_part(a.real, b.real, result.real, equal, negative_if_either)
            imag = _settle_part(a.imag, b.imag, result.imag, equal, negative_if_either)
            result = _complex(real, imag, dtype)
        both_nan = np.logical_and(np.isnan(a), np.isnan(b))  # numpy returns the first of the two
        return np.where(both_nan, dtype.type(complex(np.nan, np.nan)), result) if both_nan.any() else result

    return extreme


_maximum = _extreme(np.maximum, negative_if_either=False)
_minimum = _extreme(np.minimum, negative_if_either=True)


def _relu(x: Numeric) -> Numeric:
    return _maximum(x, np.zeros((), dtype=x.dtype))


def _sigmoid(x: Array) -> Numeric:
    return 0.5 * (1.0 + np.tanh(0.5 * x))


def _clip(x: Numeric, low: Numeric, high: Numeric) -> Numeric:
    return _minimum(_maximum(x, low), high)


def _fma(a: Numeric, b: Numeric, c: Numeric) -> Numeric:
    return np.add(_multiply(a, b), c)


def _cast(x: Numeric, dtype: str) -> Numeric:
    # complex to real keeps the real part, said outright rather than with numpy's warning
    return (x.real if x.dtype.kind == "c" and np.dtype(dtype).kind != "c" else x).astype(dtype)


def _getitem(x: Array | Table, key: Any) -> Any:
    return x[key]


def _full_like(x: Numeric, value: ParamValue) -> Numeric:
    return np.full_like(x, value)


def _stack(inputs: Sequence[Numeric], axis: int = 0) -> Numeric:
    return np.stack(inputs, axis=axis)


# How inputs are prepared before the numpy function sees them.
AS_IS, FLOAT, NO_BOOL = "as is", "float64 for integers and booleans", "int64 for booleans"
_PREPARE = {AS_IS: None, FLOAT: _as_float, NO_BOOL: _no_bool}

SCALAR = ("scalar", "side")  # the scalar form of a binary op; `side` "l" puts the scalar first

# The one table of meanings. Columns: kind, name, numpy function, number of inputs (None: any
# positive number, passed as one sequence), params read, how inputs are prepared. The function
# gets the inputs as positional arguments and the params it reads, where present, as keyword
# arguments of the same names. A binary op's scalar form reads `scalar` and `side` instead and
# takes one input.
MEANINGS: tuple[tuple[str, str, Callable[..., Any], int | None, tuple[str, ...], str], ...] = (
    # commutative binary ops
    ("op", "add", np.add, 2, SCALAR, AS_IS),
    ("op", "mul", _multiply, 2, SCALAR, AS_IS),
    ("op", "and", np.logical_and, 2, SCALAR, AS_IS),
    ("op", "or", np.logical_or, 2, SCALAR, AS_IS),
    ("op", "eq", np.equal, 2, SCALAR, AS_IS),
    ("op", "ne", np.not_equal, 2, SCALAR, AS_IS),
    ("op", "maximum", _maximum, 2, SCALAR, AS_IS),
    ("op", "minimum", _minimum, 2, SCALAR, AS_IS),
    # other binary ops
    ("op", "sub", np.subtract, 2, SCALAR, NO_BOOL),
    ("op", "div", np.true_divide, 2, SCALAR, AS_IS),
    ("op", "pow", np.float_power, 2, SCALAR, AS_IS),  # float64 always: integer powers never raise
    ("op", "lt", np.less, 2, SCALAR, AS_IS),
    ("op", "atan2", np.arctan2, 2, SCALAR, FLOAT),
    # unary ops
    ("op", "neg", np.negative, 1, (), NO_BOOL),
    ("op", "abs", np.absolute, 1, (), AS_IS),
    ("op", "exp", np.exp, 1, (), FLOAT),
    ("op", "log", np.log, 1, (), FLOAT),
    ("op", "log1p", np.log1p, 1, (), FLOAT),
    ("op", "sqrt", np.sqrt, 1, (), FLOAT),
    ("op", "tanh", np.tanh, 1, (), FLOAT),
    ("op", "sigmoid", _sigmoid, 1, (), FLOAT),
    ("op", "relu", _relu, 1, (), AS_IS),
    ("op", "isnan", np.isnan, 1, (), AS_IS),
    ("op", "cast", _cast, 1, ("dtype",), AS_IS),  # dtype: the name of one of VALUE_DTYPES
    ("op", "getitem", _getitem, 1, ("key",), AS_IS),  # x[key]: a column of a table, an element
    ("op", "full_like", _full_like, 1, ("value",), AS_IS),
    # ternary ops
    ("op", "where", np.where, 3, (), AS_IS),
    ("op", "clip", _clip, 3, (), AS_IS),
    ("op", "fma", _fma, 3, (), AS_IS),  # a * b + c
    # any number of inputs
    ("op", "stack", _stack, None, ("axis",), AS_IS),
    # reductions: `axis` absent means over everything; `keepdims` false when absent
    ("reduction", "sum", np.sum, 1, ("axis", "keepdims"), AS_IS),
    ("reduction", "mean", np.mean, 1, ("axis", "keepdims"), AS_IS),
    ("reduction", "max", np.max, 1, ("axis", "keepdims"), AS_IS),
    ("reduction", "min", np.min, 1, ("axis", "keepdims"), AS_IS),
    ("reduction", "prod", np.prod, 1, ("axis", "keepdims"), AS_IS),
)
"""The default meanings, one row each: kind, name, numpy function, number of inputs (None: any
positive number), the params it reads, and how its inputs are prepared."""


# Params without which a meaning has nothing to compute.
_REQUIRED = {"cast": "dtype", "getitem": "key", "full_like": "value"}
# The scalar that leaves its operand as it is: such a node is its input, as the reducer has it.
_NEUTRAL = {"add": 0, "mul": 1}


def _value_check(name: str, params: dict[str, Any]) -> str | None:
    """Why a param's value can never run, or None."""
    if name == "cast" and "dtype" in params:
        try:
            dtype = np.dtype(params["dtype"]) if isinstance(params["dtype"], str) else None
        except TypeError:
            dtype = None
        if dtype not in _VALUE_DTYPES:
            return f"cast's dtype must name one of {_DTYPE_NAMES}, not {params['dtype']!r}"
    if name == "full_like" and "value" in params and isinstance(params["value"], str):
        return "full_like's value must be a number or a bool"
    return None


class Meaning:
    """One row of the table as a registry entry: a callable `(inputs, params) -> value`, with a
    `check(arity, params)` that the evaluators call before anything runs."""

    __slots__ = ("kind", "name", "function", "arity", "reads", "prepare", "neutral")

    def __init__(
        self,
        kind: str,
        name: str,
        function: Callable[..., Any],
        arity: int | None,
        reads: tuple[str, ...],
        prepare: str,
    ) -> None:
        self.kind, self.name, self.function, self.arity, self.reads = kind, name, function, arity, reads
        self.prepare = _PREPARE[prepare]
        self.neutral = _NEUTRAL.get(name) if kind == "op" else None

    def __repr__(self) -> str:
        return f"Meaning({self.kind!r}, {self.name!r})"

    def __reduce__(self) -> tuple[Callable[[str, str], Meaning], tuple[str, str]]:
        # Rows are found again by name, so a registry travels to cluster workers as names.
        return _meaning, (self.kind, self.name)

    def check(self, arity: int, params: dict[str, Any]) -> str | None:
        """Why a node with this many inputs and these params cannot run, or None."""
        unread = sorted(set(params) - set(self.reads))
        if unread:
            return f"params {', '.join(map(repr, unread))} are not read by {self.name}"
        if self.reads == SCALAR and "side" in params and "scalar" not in params:
            return "side is read only with a scalar"
        if self.reads == SCALAR and "scalar" in params:
            side = params.get("side", "r")
            if side not in ("l", "r"):
                return f"side must be 'l' or 'r', not {side!r}"
            if isinstance(params["scalar"], str):
                return "scalar must be a number or a bool"
            expected = 1
        elif self.arity is None:
            return None if arity > 0 else f"{self.name} needs at least one input"
        else:
            expected = self.arity
        if self.name in _REQUIRED and _REQUIRED[self.name] not in params:
            return f"{self.name} needs a {_REQUIRED[self.name]!r} param"
        if arity != expected:
            return f"{self.name} takes {expected} input{'s' if expected != 1 else ''}, not {arity}"
        return _value_check(self.name, params)

    def __call__(self, inputs: Sequence[Any], params: dict[str, Any]) -> Any:
        with np.errstate(all="ignore"):
            if self.reads == SCALAR and "scalar" in params:
                # The binary op with the scalar as a value of the input's own dtype.
                (x,) = inputs
                if self.neutral is not None and params["scalar"] == self.neutral:
                    return x  # see the module docstring: x + 0 and x * 1 are x, whatever x is
                x = _operand(x, self.name)
                scalar = np.asarray(params["scalar"]).astype(x.dtype)
                if self.neutral == 0 and scalar == 0:
                    return x
                inputs = [scalar, x] if params.get("side", "r") == "l" else [x, scalar]
                params = {}
            elif self.name == "getitem":
                (x,) = inputs
                inputs = [x if isinstance(x, Table) else _operand(x, self.name)]
            else:  # the common case inline: this runs once per node of a graph
                inputs = [
                    x if type(x) is _ndarray and x.dtype in _VALUE_DTYPES else _operand(x, self.name) for x in inputs
                ]
            if self.prepare is not None:
                inputs = [self.prepare(x) for x in inputs]
            keywords = {key: params[key] for key in self.reads if key in params} if params else {}
            value = self.function(inputs, **keywords) if self.arity is None else self.function(*inputs, **keywords)
            return value if type(value) is _ndarray else _result(value)


_BY_KEY = {(kind, name): row for row in MEANINGS for kind, name in [row[:2]]}


def _meaning(kind: str, name: str) -> Meaning:
    return Meaning(*_BY_KEY[kind, name])


def default_registry() -> Registry:
    """A new registry holding every meaning of `MEANINGS` and the ``("source", "")`` entry.

    The source entry makes source values arrays or tables (`accept_source`); the caller may add
    or replace entries, keyed ``("op", name)`` and ``("reduction", name)``.
    """
    registry: Registry = {(kind, name): _meaning(kind, name) for kind, name in _BY_KEY}
    registry["source", ""] = accept_source
    return registry
