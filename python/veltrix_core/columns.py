"""A graph as columns: whole graphs in and out of a store without one Python call per node.

`read(store, outputs=None)` gives the nodes reachable from `outputs` (every node without them),
in id order, as typed arrays (memoryviews, which numpy reads without copying via
``numpy.asarray``), and a table of the distinct node shapes they hold:

    ids        int64   the node id of each row
    kinds      uint8   the kind code of each row (KINDS[code] is its name)
    shapes     uint32  the row's index into shape_table
    offsets    int64   rows + 1 entries: the inputs of row k are inputs[offsets[k]:offsets[k + 1]]
    inputs     int64   every row's input ids, row after row
    shape_table        list of dicts: a node's view from ``GraphStore.nodes()`` without its id,
                       inputs and output flag (kind, name, params, and descriptor or members)

`record(store, kinds, names, params, descriptors, offsets, inputs)` records many nodes in one
call, the batched form of the ``add_*`` methods, and returns the id of every row (an int64
memoryview). Row k is a node of kind ``kinds[k]`` (a code or a kind name: source, op, reduction,
external or exchange), named ``names[k]`` (None for externals and exchanges), with the params
dict ``params[k]`` (or None) and, for an external, the descriptor ``descriptors[k]``; its inputs
are ``inputs[offsets[k]:offsets[k + 1]]``, each a node id of the store or ``-1 - j`` for the
node of an earlier row j of the same batch. ``params`` and ``descriptors`` may be None for a
column of Nones; ``offsets`` and ``inputs`` None for rows without inputs. The store ends up
exactly as if the rows had been recorded one ``add_*`` call at a time, in order (the same ids,
the same bytes). A row that one of those calls would refuse fails the whole batch with that
call's error, prefixed by the row and the field (``row 7, params: ...``), and records nothing.
Integer columns are lists or tuples of ints, or buffers of integers (numpy arrays, array.array);
the others lists or tuples. Rows that share one params dict object convert it once.

Two rows share a shape exactly when their nodes are equal but for their inputs, so code that
builds something per kind of node (an implementation, a label) builds it once per shape. Shape
indices follow the first row of each shape. Every row's value, shape included, is exactly what
``nodes()`` shows for that node.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, SupportsIndex

from veltrix_core import GraphStore, PayloadDescriptor
from veltrix_core.typing import DescriptorDict, NodeKind, Params, ShapeView

__all__ = ["KINDS", "Columns", "read", "record"]

#: Kind names by kind code.
KINDS: tuple[NodeKind, ...] = ("source", "op", "reduction", "external", "stage", "exchange")


@dataclass(frozen=True, slots=True)
class Columns:
    """The columns of a store's nodes (see the module's documentation)."""

    ids: memoryview
    kinds: memoryview
    shapes: memoryview
    offsets: memoryview
    inputs: memoryview
    shape_table: list[ShapeView]

    def __len__(self) -> int:
        return len(self.ids)

    def inputs_of(self, row: int) -> memoryview:
        """The input ids of row `row`."""
        return self.inputs[self.offsets[row] : self.offsets[row + 1]]


def read(store: GraphStore, outputs: Sequence[SupportsIndex] | None = None) -> Columns:
    """The columns of the nodes of `store` reachable from `outputs` (all nodes when None); an id
    the store lacks is a ValueError, as for ``GraphStore.reduce``."""
    ids, kinds, shapes, offsets, inputs, shape_table = store._read_columns(outputs=outputs)
    return Columns(
        memoryview(ids).cast("q"),
        memoryview(kinds).cast("B"),
        memoryview(shapes).cast("I"),
        memoryview(offsets).cast("q"),
        memoryview(inputs).cast("q"),
        shape_table,
    )


_KIND_CODES = {name: code for code, name in enumerate(KINDS)}


def _kind_codes(kinds: Any) -> Any:
    """Kind names become their codes; codes and buffers pass through unchanged."""
    if isinstance(kinds, (list, tuple)) and kinds and isinstance(kinds[0], str):
        try:
            return bytes([_KIND_CODES[kind] for kind in kinds])
        except (KeyError, TypeError):
            for row, kind in enumerate(kinds):
                if not isinstance(kind, str) or kind not in _KIND_CODES:
                    raise ValueError(f"row {row}, kind: {kind!r} is not a kind name ({', '.join(KINDS)})") from None
            raise
    return kinds


def record(
    store: GraphStore,
    kinds: Sequence[int | NodeKind] | Any,
    names: Sequence[str | None],
    params: Sequence[Params | None] | None = None,
    descriptors: Sequence[PayloadDescriptor | DescriptorDict | None] | None = None,
    offsets: Sequence[int] | Any | None = None,
    inputs: Sequence[int] | Any | None = None,
) -> memoryview:
    """Records one node per row into `store` and returns the id of every row (see the module's
    documentation); all or nothing."""
    if (offsets is None) != (inputs is None):
        raise TypeError("offsets and inputs are given together, or neither")
    codes = _kind_codes(kinds)
    if offsets is None:
        offsets, inputs = bytes(len(codes) + 1), b""
    ids = store._record_columns(codes, names, params, descriptors, offsets, inputs)
    return memoryview(ids).cast("q")
