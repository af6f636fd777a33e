"""The rewrite rules reduction applies, as data: what a registry of op meanings must honour.

A reduction treats ``op(a, b)`` and ``op(b, a)`` as one node for every name in
`COMMUTATIVE_OPS` (an op node with exactly two inputs and no params), and replaces an op with
its one input for every form in `IDENTITY_FORMS` (an op node of that name with exactly those
params: a float scalar, compared bit for bit, and a side). A registry that runs graphs must
therefore give the same value for both operand orders of a commutative op, and give back its
input, unchanged, for an identity form; veltrix_core.run's default registry does both for
every value it accepts.

The tables are read from the compiled module, which applies them, so they cannot drift apart.
"""

from __future__ import annotations

from veltrix_core import _rewrite_rules

__all__ = ["COMMUTATIVE_OPS", "IDENTITY_FORMS"]

_commutative, _identities = _rewrite_rules()

COMMUTATIVE_OPS: tuple[str, ...] = tuple(_commutative)
"""The op names whose two operands commute, in the engine's rule order."""

IDENTITY_FORMS: tuple[tuple[str, dict[str, float | str]], ...] = tuple(
    (name, dict(params)) for name, params in _identities
)
"""The identity forms, as (op name, params) pairs in the engine's rule order."""
