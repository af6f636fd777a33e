"""Literal arguments: which become params, and when two literals are one source.

A literal int, float, bool or str argument is a param of its call, so that calls that differ in
such an argument are different nodes with one op name. An int is a param only where it fits in
64 bits, a float only where it is not a NaN (a store keeps one NaN, and a call given another
NaN could return different bits), a str only where it is valid UTF-8.

Every other literal is a source node that holds the object. Two literals are one source when
they are the same object or, for the kinds a dask graph repeats (None, numbers, strings, bytes,
slices, tuples, lists and dicts of those, dtypes, types, numpy scalars, numpy arrays up to 4096
bytes, partials and toolz compositions of such), when they are equal value for value: of the
same types, floats bit for bit, dicts in the same order; an object whose type defines
``__dask_tokenize__`` when dask gives both the same token. Anything else is equal only to
itself. Lists, dicts and arrays are mutable: like dask, the optimizer takes it that no task
changes its arguments.
"""

from __future__ import annotations

import functools
import struct
import sys
from collections.abc import Callable, Hashable
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


_SLICE_PARTS = frozenset((int, type(None)))  # the parts of a slice that compare exactly


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
        # How each type's values get their keys, decided once per type.
        self._by_type: dict[type, Callable[[Any, int], Hashable]] = {
            type(None): _plain,
            int: _plain,
            bool: _plain,
            str: _plain,
            bytes: _plain,
            float: _float,
            complex: _complex,
            tuple: self._sequence,
            list: self._sequence,
            frozenset: self._frozenset,
            dict: self._dict,
            slice: self._slice,
            functools.partial: self._partial,
        }

    def key(self, value: object) -> Hashable:
        return self._key(value, 0)

    def keys(self, values: list[Any]) -> list[Hashable]:
        """The key of each of `values`, as `key` gives it; a tuple or list of ints, None and
        slices of those (shapes and indices, the literals a graph repeats most) and a dict of
        keywords without a call."""
        found: list[Hashable] = []
        append, key = found.append, self._key
        for value in values:
            kind = type(value)
            if kind is tuple or kind is list:
                for item in value:
                    if type(item) is int or item is None:
                        continue
                    if (
                        type(item) is slice
                        and type(item.start) in _SLICE_PARTS
                        and type(item.stop) in _SLICE_PARTS
                        and type(item.step) in _SLICE_PARTS
                    ):
                        continue
                    append(key(value, 0))
                    break
                else:  # as _sequence: the items compare exactly, the sequence is its own key
                    append((kind, tuple(value)))
                continue
            if kind is dict:  # keyword dicts: str names of str, int, None or type values
                items: list[Hashable] = []
                for name, item in value.items():
                    leaf = type(item)
                    if type(name) is not str:
                        break
                    if leaf is str or leaf is int or item is None:
                        items.append(((str, name), (leaf, item)))
                    elif leaf is type:
                        items.append(((str, name), ("type", item)))
                    else:
                        break
                else:  # as _dict gives it
                    append((dict, tuple(items)))
                    continue
            append(key(value, 0))
        return found

    def _key(self, value: object, depth: int) -> Hashable:
        kind = type(value)
        if kind is str or kind is int or value is None:  # the most common leaves, without a lookup
            return (kind, value)
        make = self._by_type.get(kind)
        if make is None:
            make = self._by_type[kind] = self._maker(kind)
        if depth > _DEPTH and make not in (_plain, _float):
            return _identity(value, depth)
        return make(value, depth)

    def _maker(self, kind: type) -> Callable[[Any, int], Hashable]:
        if issubclass(kind, type):
            return _type
        if kind is self._compose:  # dask's reductions call toolz compositions of partials
            return self._composition
        if callable(getattr(kind, "__dask_tokenize__", None)):  # a type that says how dask compares it
            return _tokenized
        numpy = self._numpy
        if numpy is not None:
            if issubclass(kind, numpy.dtype):
                return _dtype
            if kind is numpy.ndarray:
                return _array
            if issubclass(kind, numpy.generic):
                return _numpy_scalar
        return _identity

    def _sequence(self, value: Any, depth: int) -> Hashable:
        for item in value:
            if type(item) is not int and item is not None and not _exact(item):
                break
        else:  # ints, None and slices of them compare exactly: the sequence is its own key
            return (type(value), tuple(value))
        return (type(value), tuple([self._key(item, depth + 1) for item in value]))

    def _frozenset(self, value: Any, depth: int) -> Hashable:
        return (frozenset, tuple([self._key(item, depth + 1) for item in sorted(value, key=repr)]))

    def _dict(self, value: Any, depth: int) -> Hashable:
        return (dict, tuple([(self._key(k, depth + 1), self._key(v, depth + 1)) for k, v in value.items()]))

    def _slice(self, value: Any, depth: int) -> Hashable:
        key = self._key
        return (slice, key(value.start, depth + 1), key(value.stop, depth + 1), key(value.step, depth + 1))

    def _partial(self, value: Any, depth: int) -> Hashable:
        keywords = tuple(sorted((name, self._key(item, depth + 1)) for name, item in value.keywords.items()))
        return ("partial", self._key(value.func, depth + 1), self._key(value.args, depth + 1), keywords)

    def _composition(self, value: Any, depth: int) -> Hashable:
        return ("compose", self._key(value.first, depth + 1), self._key(value.funcs, depth + 1))


def _plain(value: Any, depth: int) -> Hashable:
    return (type(value), value)


def _float(value: Any, depth: int) -> Hashable:
    return (float, _float_bits(value))


def _complex(value: Any, depth: int) -> Hashable:
    return (complex, _float_bits(value.real), _float_bits(value.imag))


def _type(value: Any, depth: int) -> Hashable:
    return ("type", value)


def _identity(value: Any, depth: int) -> Hashable:
    return ("id", id(value))


def _tokenized(value: Any, depth: int) -> Hashable:
    try:
        from dask.tokenize import tokenize  # noqa: PLC0415

        return ("token", type(value), tokenize(value, ensure_deterministic=True))
    except Exception:  # a token dask cannot make the same every time: the object itself
        return ("id", id(value))


def _dtype(value: Any, depth: int) -> Hashable:
    return ("dtype", type(value), value)


def _array(value: Any, depth: int) -> Hashable:
    if value.dtype.kind == "O" or value.nbytes > _SMALL_ARRAY_BYTES:
        return ("id", id(value))
    return ("ndarray", value.dtype.str, value.shape, value.strides, value.flags.writeable, value.tobytes())


def _numpy_scalar(value: Any, depth: int) -> Hashable:
    if value.dtype.kind == "O":
        return ("id", id(value))
    return ("scalar", type(value), value.dtype.str, value.tobytes())


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
