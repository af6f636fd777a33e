"""Types of the plain Python data that ``veltrix_core`` takes and returns.

Parameter maps, the dicts that ``GraphStore.nodes()`` returns, the descriptor dict that
``GraphStore.add_external`` accepts, the report dict of a reduction, and what
`veltrix_core.run` calls: registries, models and sources. Import them for annotations;
``import veltrix_core`` itself never imports this module.
"""

from collections.abc import Callable, Mapping
from typing import Any, Literal, NotRequired, TypeAlias, TypedDict

__all__ = [
    "ParamValue",
    "Params",
    "DescriptorDict",
    "DescriptorView",
    "MemberRef",
    "MemberView",
    "NodeKind",
    "NodeView",
    "ShapeView",
    "ReductionReport",
    "NodeFunction",
    "Registry",
    "Models",
    "Sources",
]

ParamValue: TypeAlias = int | float | bool | str
"""A parameter value. A float's identity is its bit pattern (every NaN is one value), and
``True``, ``1`` and ``1.0`` are three different values.
"""

Params: TypeAlias = Mapping[str, ParamValue]
"""A parameter map as a caller gives it (the binding takes a ``dict`` or ``None``)."""


class DescriptorDict(TypedDict):
    """A payload descriptor given as a dict to `GraphStore.add_external` (other keys are
    ignored)."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]


class DescriptorView(TypedDict):
    """The ``descriptor`` of an external node's view; ``preprocessing_ref`` is ``None`` when
    absent."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None


MemberRef: TypeAlias = tuple[Literal["input", "member"], int]
"""An operand of a stage member: ``("input", i)`` is the stage's i-th input, ``("member", j)``
the j-th (earlier) member of the same stage.
"""


class MemberView(TypedDict):
    """One op fused into a stage, as `GraphStore.nodes()` shows it."""

    kind: Literal["op", "red"]
    name: str
    params: dict[str, ParamValue]
    inputs: list[MemberRef]


NodeKind: TypeAlias = Literal["source", "op", "reduction", "external", "stage", "exchange"]
"""A node kind's name."""


class NodeView(TypedDict):
    """One node, as `GraphStore.nodes()` shows it. ``descriptor`` exists only for external
    nodes, ``n_members`` and ``members`` only for stages."""

    id: int
    output: bool
    inputs: list[int]
    kind: NodeKind
    name: str
    params: dict[str, ParamValue]
    descriptor: NotRequired[DescriptorView]
    n_members: NotRequired[int]
    members: NotRequired[list[MemberView]]


class ShapeView(TypedDict):
    """What a node is apart from its id, inputs and output flag: an entry of the shape table of
    `veltrix_core.columns.read`, with the keys of a node view."""

    kind: NodeKind
    name: str
    params: dict[str, ParamValue]
    descriptor: NotRequired[DescriptorView]
    n_members: NotRequired[int]
    members: NotRequired[list[MemberView]]


class ReductionReport(TypedDict):
    """The six counters of a reduction (the dict's key order is not fixed)."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int


NodeFunction: TypeAlias = Callable[[list[Any], dict[str, ParamValue]], Any]
"""What computes a node when a graph runs: called as ``function(inputs, params)`` with the list
of the node's input values, in input order, and its params dict; returns the node's value.
"""

Registry: TypeAlias = Mapping[tuple[str, str], NodeFunction]
"""A registry of `veltrix_core.run`: ``("op", name)`` and ``("reduction", name)`` to the
function that computes such nodes, and ``("source", "")`` to the function every source's
value passes through as it enters.
"""

Models: TypeAlias = Mapping[str, NodeFunction]
"""The models of `veltrix_core.run`: an External's content hash to the function that computes it."""

Sources: TypeAlias = Mapping[str, object] | Callable[[str, dict[str, ParamValue]], object]
"""The sources of `veltrix_core.run`: a source's name to its value, or a callable
``(name, params) -> value`` that makes the value of each source node.
"""
