"""Literal arguments: which become params, and when two literals are one source.

A literal int, float, bool or str argument is a param of its call, so that calls that differ in
such an argument are different nodes with one op name. An int is a param only where it fits in
64 bits, a float only where it is not a NaN (a store keeps one NaN, and a call given another
NaN could return different bits), a str only where it is valid UTF-8.

Every other literal is a source node that holds the object. Two literals are one source when
they are the same object or, for the immutable kinds a dask graph repeats (None, numbers,
strings, bytes, slices, tuples, lists and dicts of those, dtypes, types, numpy scalars, small
numpy arrays and partials of such), when they are equal value for value: of the same types,
floats bit for bit, dicts in the same order. Anything else is equal only to itself. (Lists,
dicts and arrays are mutable: like dask, the optimizer takes it that no task changes its
arguments.)
"""

from __future__ import annotations

import functools
import struct
import sys
from collections.abc import Hashable
from typing import Any

__all__ = ["is_param", "LiteralKeys", "numeric_evidence"]

_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1
_SMALL_ARRAY_BYTES = 4096  # arrays up to this size compare by content; larger ones by identity
_DEPTH = 16  # nesting deeper than this compares by identity


def is_param(value: object) -> bool:
    """Whether a literal argument becomes a param of its call (exact int, float, bool, str)."""
    kind = type(value)
    if kind is int:
        return _INT64_MIN <= value <= _INT64_MAX  # type: ignore[operator]
    if kind is float:
        return value == value
    if kind is bool:
        return True
    if kind is str:
        if value.isascii():  # type: ignore[attr-defined]
            return True
        try:
            value.encode("utf-8")  # type: ignore[attr-defined]
        except UnicodeEncodeError:  # a lone surrogate
            return False
        return True
    return False


def _exact(item: object) -> bool:
    """Whether == on `item` tells exactly what the key of `item` would: an int, None, or a
    slice of those."""
    kind = type(item)
    if kind is int or item is None:
        return True
    if kind is slice:
        for part in (item.start, item.stop, item.step):  # type: ignore[attr-defined]
            if part is not None and type(part) is not int:
                return False
        return True
    return False


def _float_bits(value: float) -> bytes:
    return struct.pack("<d", value)


class LiteralKeys:
    """The identity of literals for one optimization: equal keys mean interchangeable objects.

    A key by identity holds an object's id: the caller keeps every object it asked a key for
    alive for as long as it uses the keys, so that no id is reused meanwhile.
    """

    def __init__(self) -> None:
        self._numpy: Any = sys.modules.get("numpy")
        toolz = sys.modules.get("toolz.functoolz")
        self._compose: object = getattr(toolz, "Compose", None)

    def key(self, value: object) -> Hashable:
        return self._key(value, 0)

    def _identity(self, value: object) -> Hashable:
        return ("id", id(value))

    def _key(self, value: object, depth: int) -> Hashable:
        kind = type(value)
        if value is None or kind is int or kind is bool or kind is str or kind is bytes:
            return (kind, value)
        if kind is float:
            return (float, _float_bits(value))  # type: ignore[arg-type]
        if depth > _DEPTH:
            return self._identity(value)
        if kind is tuple or kind is list:
            for item in value:  # type: ignore[attr-defined]
                if not _exact(item):
                    break
            else:  # ints, None and slices of them compare exactly: the sequence is its own key
                return (kind, tuple(value))  # type: ignore[arg-type]
        if kind is tuple or kind is list or kind is frozenset:
            items: Any = sorted(value, key=repr) if kind is frozenset else value  # type: ignore[call-overload]
            return (kind, tuple([self._key(item, depth + 1) for item in items]))
        if kind is dict:
            return (dict, tuple([(self._key(k, depth + 1), self._key(v, depth + 1)) for k, v in value.items()]))  # type: ignore[attr-defined]
        if kind is slice:
            return (
                slice,
                self._key(value.start, depth + 1),  # type: ignore[attr-defined]
                self._key(value.stop, depth + 1),  # type: ignore[attr-defined]
                self._key(value.step, depth + 1),  # type: ignore[attr-defined]
            )
        if kind is complex:
            return (complex, _float_bits(value.real), _float_bits(value.imag))  # type: ignore[attr-defined]
        if isinstance(value, type):
            return ("type", value)
        if kind is functools.partial:
            return self._partial_key(value, depth)  # type: ignore[arg-type]
        if kind is self._compose:  # dask's reductions call toolz compositions of partials
            return ("compose", self._key(value.first, depth + 1), self._key(value.funcs, depth + 1))  # type: ignore[attr-defined]
        numpy = self._numpy
        if numpy is not None:
            if isinstance(value, numpy.dtype):
                return ("dtype", type(value), value)
            if kind is numpy.ndarray:
                return self._array_key(value)
            if isinstance(value, numpy.generic) and value.dtype.kind != "O":
                return ("scalar", kind, value.dtype.str, value.tobytes())
        return self._identity(value)

    def _partial_key(self, value: functools.partial[Any], depth: int) -> Hashable:
        keywords = tuple(sorted((name, self._key(item, depth + 1)) for name, item in value.keywords.items()))
        return ("partial", self._key(value.func, depth + 1), self._key(value.args, depth + 1), keywords)

    def _array_key(self, value: Any) -> Hashable:
        if value.dtype.kind == "O" or value.nbytes > _SMALL_ARRAY_BYTES:
            return self._identity(value)
        return ("ndarray", value.dtype.str, value.shape, value.strides, value.flags.writeable, value.tobytes())


def numeric_evidence(value: object) -> bool:
    """Whether a literal is a number: a Python int, float, complex or bool, a numpy scalar or a
    plain numpy array of a bool, integer, float or complex dtype (not a subclass of either)."""
    kind = type(value)
    if kind is int or kind is float or kind is bool or kind is complex:
        return True
    numpy = sys.modules.get("numpy")
    if numpy is None:
        return False
    if kind is numpy.ndarray or (isinstance(value, numpy.generic) and kind.__module__ == "numpy"):
        return value.dtype.kind in "biufc"  # type: ignore[attr-defined]
    return False
