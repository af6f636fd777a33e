"""What a written-back task runs: the members of a fused stage, called in order.

A member is a call of one recorded callable. Its arguments are built from an argument spec, a
small tree whose leaves are constants (the call's literal int, float, bool and str arguments),
the stage's inputs and the values of earlier members, and whose inner nodes rebuild lists,
tuples, sets and dicts. Everything here is plain data and module-level classes, so a task
pickles by value to any worker that can import ``veltrix_core`` (its callables pickle as dask
pickles them).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeAlias

__all__ = ["CONST", "INPUT", "MEMBER", "SEQUENCE", "MAPPING", "Spec", "Member", "StageCall"]

# Leaf and node codes of an argument spec: (code, payload).
CONST = 0  # payload: the value itself
INPUT = 1  # payload: the position of a stage input
MEMBER = 2  # payload: the position of an earlier member
SEQUENCE = 3  # payload: (constructor, specs): list, tuple, set or frozenset of the built items
MAPPING = 4  # payload: (keys, specs): a dict of the keys and the built values

Spec: TypeAlias = tuple[int, Any]
# A member: (callable, positional specs, keyword names, keyword specs, member values to drop
# after it runs).
Member: TypeAlias = tuple[Callable[..., Any], tuple[Spec, ...], tuple[str, ...], tuple[Spec, ...], tuple[int, ...]]


def _build(spec: Spec, values: tuple[Any, ...], results: list[Any]) -> Any:
    code, payload = spec
    if code == INPUT:
        return values[payload]
    if code == MEMBER:
        return results[payload]
    if code == CONST:
        return payload
    if code == SEQUENCE:
        constructor, items = payload
        return constructor([_build(item, values, results) for item in items])
    keys, items = payload
    return dict(zip(keys, [_build(item, values, results) for item in items]))


class StageCall:
    """Calls its members in order on the stage's inputs and returns the last member's value.

    A member's value is dropped after its last reader inside the stage, as the members of a
    stage would be released one by one if they ran as tasks of their own.
    """

    __slots__ = ("members", "_direct")

    def __init__(self, members: tuple[Member, ...]) -> None:
        if not members:
            raise ValueError("a stage call needs at least one member")
        self.members = members
        # One member that takes the stage's inputs in order and nothing else: call it directly.
        func, args, _, kw_specs, _ = members[0]
        self._direct = (
            func
            if len(members) == 1 and not kw_specs and all(spec == (INPUT, i) for i, spec in enumerate(args))
            else None
        )

    def __call__(self, *values: Any) -> Any:
        direct = self._direct
        if direct is not None and len(values) == len(self.members[0][1]):
            return direct(*values)
        results: list[Any] = [None] * len(self.members)
        for position, (func, args, kw_names, kw_specs, drops) in enumerate(self.members):
            built = [_build(spec, values, results) for spec in args]
            if kw_names:
                kwargs = dict(zip(kw_names, [_build(spec, values, results) for spec in kw_specs]))
                results[position] = func(*built, **kwargs)
            else:
                results[position] = func(*built)
            for dropped in drops:
                results[dropped] = None
        return results[-1]

    def __reduce__(self) -> tuple[type[StageCall], tuple[tuple[Member, ...]]]:
        return StageCall, (self.members,)

    def __repr__(self) -> str:
        names = ", ".join(getattr(member[0], "__name__", type(member[0]).__name__) for member in self.members)
        return f"StageCall({names})"
