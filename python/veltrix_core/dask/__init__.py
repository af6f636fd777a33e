"""The reducer as dask's graph optimizer.

::

    import dask
    import dask.array as da
    import veltrix_core.dask

    x = da.random.default_rng(0).random((4000, 4000), chunks=500)
    y = da.random.default_rng(1).random((4000, 4000), chunks=500)
    with veltrix_core.dask.enabled():
        total = ((x * y).sum() - (y * x).sum()).compute()   # x * y and y * x are computed once

`optimize` is an array optimizer: ``dask.config.set(array_optimize=veltrix_core.dask.optimize)``
makes every dask array computed, persisted or optimized afterwards go through it;
`optimize_delayed` is the same for ``delayed_optimize``, and `enabled` sets either for a block of
code. The optimizer keeps dask's high-level steps (blockwise fusion and root fusion), then
records the graph into a `veltrix_core.GraphStore`, reduces it (dead code, equal calls merged,
commuted operands of numeric additions, products and comparisons merged, chains of calls fused
into stages) and writes it back as dask tasks with the same output keys.

It applies where dask calls a low-level optimizer: arrays without array query planning (the
default of dask 2026.11; with ``array.query-planning`` on, dask arrays optimize their
expressions themselves and never call it) and delayed objects. A graph it cannot read goes to
dask's own optimizer, with an `OptimizerDeclined` warning; the computation goes on.
"""

from __future__ import annotations

import contextlib
import re
import uuid
from collections.abc import Hashable, Iterator
from typing import Any

__all__ = ["optimize", "optimize_delayed", "enabled", "OptimizerDeclined"]


class OptimizerDeclined(UserWarning):
    """The optimizer left a graph to dask's own optimizer; the message says why."""


def optimize(dsk: Any, keys: Any, **kwargs: Any) -> Any:
    """Optimizes a dask array graph for `keys`: dask's blockwise and root fusion, then the
    reduction. Use it as ``array_optimize``.

    Every task of a dask array graph is taken to be pure, as dask arrays take them (their keys
    are tokens of their functions and arguments), except calls that ``dask.delayed`` recorded as
    impure: such a call is never merged with another.

    :param dsk: a HighLevelGraph or a mapping of keys to tasks.
    :param keys: the output keys, possibly nested in lists.
    :returns: the optimized graph (a dict, or a HighLevelGraph where layers with annotations
        were kept as they are).
    """
    from veltrix_core.dask import _optimize  # noqa: PLC0415

    return _optimize.run(dsk, keys, array=True, options=kwargs)


def optimize_delayed(dsk: Any, keys: Any, **kwargs: Any) -> Any:
    """Optimizes a ``dask.delayed`` graph for `keys` by the reduction. Use it as
    ``delayed_optimize``.

    A delayed call is impure unless marked pure (``dask.delayed(f, pure=True)``, or the
    ``delayed_pure`` setting): only calls whose keys have the form dask gives pure calls (a name,
    a dash and a token of 32 hexadecimal digits) are merged with equal ones; every other call
    keeps its own task.
    """
    from veltrix_core.dask import _optimize  # noqa: PLC0415

    return _optimize.run(dsk, keys, array=False, options=kwargs)


@contextlib.contextmanager
def enabled(*, arrays: bool = True, delayed: bool = False) -> Iterator[None]:
    """Uses the optimizer for dask arrays (and, with ``delayed=True``, for delayed objects)
    inside the block, and dask's own optimizers again after it."""
    import dask  # noqa: PLC0415

    settings: dict[str, Any] = {}
    if arrays:
        settings["array_optimize"] = optimize
    if delayed:
        settings["delayed_optimize"] = optimize_delayed
    with dask.config.set(settings):
        yield


_UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")
_PURE = re.compile(r"-[0-9a-f]{32}\Z")


def _key_name(key: Hashable) -> str | None:
    if type(key) is str:
        return key
    if type(key) is tuple and key and type(key[0]) is str:
        return key[0]
    return None


def impure_marker(key: Hashable, *, delayed: bool) -> str | None:
    """The marker that keeps the calls of `key` apart from every other call, or None for a key
    whose calls may merge with equal ones."""
    name = _key_name(key)
    if name is not None and _UUID.search(name) is None and (not delayed or _PURE.search(name) is not None):
        return None
    return repr(key)


def fresh_token() -> str:
    return uuid.uuid4().hex[:16]
