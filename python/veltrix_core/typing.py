"""Types of the plain Python data that `veltrix_core` takes and returns.

Parameter maps, the dicts that `GraphStore.nodes()` returns, the descriptor dict that
`GraphStore.add_external` accepts, and the report dict of a reduction. Import them for
annotations; `import veltrix_core` itself never imports this module.
"""

from collections.abc import Mapping
from typing import Literal, NotRequired, TypeAlias, TypedDict

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
]

#: A parameter value. A float's identity is its bit pattern (every NaN is one value), and
#: ``True``, ``1`` and ``1.0`` are three different values.
ParamValue: TypeAlias = int | float | bool | str

#: A parameter map as a caller gives it (the binding takes a ``dict`` or ``None``).
Params: TypeAlias = Mapping[str, ParamValue]


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


#: An operand of a stage member: ``("input", i)`` is the stage's i-th input, ``("member", j)``
#: the j-th (earlier) member of the same stage.
MemberRef: TypeAlias = tuple[Literal["input", "member"], int]


class MemberView(TypedDict):
    """One op fused into a stage, as `GraphStore.nodes()` shows it."""

    kind: Literal["op", "red"]
    name: str
    params: dict[str, ParamValue]
    inputs: list[MemberRef]


#: A node kind's name.
NodeKind: TypeAlias = Literal["source", "op", "reduction", "external", "stage", "exchange"]


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
