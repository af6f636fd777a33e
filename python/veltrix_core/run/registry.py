"""The default meanings of op and reduction names, on numpy.

A registry maps (node kind, name) to a callable `(inputs, params) -> value`, where `inputs` is
the list of input values in input order and `params` the node's params dict. The kind is "op"
or "reduction", as node views name them (a Stage member of kind "red" is a reduction).

The meanings are chosen so that the reducer's rewrites never change a result:
- the eight names it commutes (add, mul, and, or, eq, ne, maximum, minimum) commute exactly,
  dtype included; numpy's own maximum and minimum do not when both operands are zeros of
  different signs (each returns one of its operands), so the ones here settle that case the
  way IEEE 754 maximum and minimum do;
- a binary op with a `scalar` param is that op between its one input and the scalar, the
  scalar first converted to the input's dtype, so `add` of 0.0 and `mul` of 1.0 keep their
  input's dtype. Adding a zero scalar returns the input itself: IEEE addition would turn -0.0
  into +0.0, and the reducer treats that add as its input.
Every meaning runs with numpy's floating-point warnings off: an overflow or a division by zero
yields inf or nan, as the data says, never a warning or an error.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

__all__ = ["Meaning", "default_registry", "MEANINGS"]

Registry = dict[tuple[str, str], Callable[[list[Any], dict[str, Any]], Any]]


def _as_float(x):
    """Integers and booleans as float64, where numpy would pick float16 for booleans."""
    x = np.asarray(x) if not hasattr(x, "dtype") else x
    return x if x.dtype.kind in "fc" else x.astype(np.float64)


def _no_bool(x):
    """Booleans as int64 where numpy refuses boolean arithmetic (negation, subtraction)."""
    x = np.asarray(x) if not hasattr(x, "dtype") else x
    return x.astype(np.int64) if x.dtype.kind == "b" else x


def _settle_zeros(a, b, result, negative_if_either: bool):
    """`result` with the places where both operands are zeros set to +0.0 or -0.0 by the
    operands' signs alone, never by their order."""
    if result.dtype.kind != "f":
        return result
    a = np.asarray(a).astype(result.dtype, copy=False)
    b = np.asarray(b).astype(result.dtype, copy=False)
    both = np.logical_and(a == 0, b == 0)
    if not both.any():
        return result
    combine = np.logical_or if negative_if_either else np.logical_and
    zero, negative_zero = result.dtype.type(0.0), result.dtype.type(-0.0)
    return np.where(both, np.where(combine(np.signbit(a), np.signbit(b)), negative_zero, zero), result)


def _maximum(a, b):
    # +0.0 unless both are -0.0
    return _settle_zeros(a, b, np.maximum(a, b), negative_if_either=False)


def _minimum(a, b):
    # -0.0 when either is -0.0
    return _settle_zeros(a, b, np.minimum(a, b), negative_if_either=True)


def _relu(x):
    return _maximum(x, np.zeros((), dtype=np.asarray(x).dtype))


def _sigmoid(x):
    return 0.5 * (1.0 + np.tanh(0.5 * x))


def _clip(x, low, high):
    return _minimum(_maximum(x, low), high)


def _fma(a, b, c):
    return np.add(np.multiply(a, b), c)


def _cast(x, dtype):
    return np.asarray(x).astype(dtype)


def _getitem(x, key):
    return x[key]


def _full_like(x, value):
    return np.full_like(x, value)


def _stack(inputs, axis=0):
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
MEANINGS: tuple[tuple[str, str, Callable, int | None, tuple[str, ...], str], ...] = (
    # commutative binary ops
    ("op", "add", np.add, 2, SCALAR, AS_IS),
    ("op", "mul", np.multiply, 2, SCALAR, AS_IS),
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
    ("op", "cast", _cast, 1, ("dtype",), AS_IS),  # dtype: a numpy dtype name
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


# Params without which a meaning has nothing to compute.
_REQUIRED = {"cast": "dtype", "getitem": "key", "full_like": "value"}


class Meaning:
    """One row of the table as a registry entry: a callable `(inputs, params) -> value`, with a
    `check(arity, params)` that the evaluators call before anything runs."""

    __slots__ = ("kind", "name", "function", "arity", "reads", "prepare")

    def __init__(self, kind, name, function, arity, reads, prepare):
        self.kind, self.name, self.function, self.arity, self.reads = kind, name, function, arity, reads
        self.prepare = _PREPARE[prepare]

    def __repr__(self):
        return f"Meaning({self.kind!r}, {self.name!r})"

    def __reduce__(self):
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
        return None

    def __call__(self, inputs: Sequence[Any], params: dict[str, Any]):
        with np.errstate(all="ignore"):
            if self.reads == SCALAR and "scalar" in params:
                # The binary op with the scalar as a value of the input's own dtype.
                (x,) = inputs
                x = x if hasattr(x, "dtype") else np.asarray(x)
                scalar = np.asarray(params["scalar"]).astype(x.dtype)
                if self.name == "add" and scalar == 0:
                    return x  # see the module docstring: x + 0 is x, -0.0 included
                inputs = [scalar, x] if params.get("side", "r") == "l" else [x, scalar]
                params = {}
            if self.prepare is not None:
                inputs = [self.prepare(x) for x in inputs]
            keywords = {key: params[key] for key in self.reads if key in params}
            if self.arity is None:
                return self.function(inputs, **keywords)
            return self.function(*inputs, **keywords)


_BY_KEY = {(kind, name): row for row in MEANINGS for kind, name in [row[:2]]}


def _meaning(kind: str, name: str) -> Meaning:
    return Meaning(*_BY_KEY[kind, name])


def default_registry() -> Registry:
    """A new registry holding every meaning of the table; the caller may add or replace
    entries (keys are ("op", name) and ("reduction", name))."""
    return {(kind, name): _meaning(kind, name) for kind, name in _BY_KEY}
