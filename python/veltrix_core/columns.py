"""A graph as columns: whole graphs in and out of a store without one Python call per node.

`read` gives the nodes of a store (those reachable from some outputs, or all) in id order as
typed columns, and a table of the distinct node shapes they hold. `record` records many nodes
in one call, the batched form of the ``add_*`` methods, all or nothing.

The columns of `read` are memoryviews, which numpy reads without copying
(``numpy.asarray(columns.ids)``):

.. list-table::
   :header-rows: 1
   :widths: 16 12 72

   * - Column
     - Type
     - Holds
   * - ``ids``
     - int64
     - the node id of each row
   * - ``kinds``
     - uint8
     - the kind code of each row; ``KINDS[code]`` is its name
   * - ``shapes``
     - uint32
     - the row's index into ``shape_table``
   * - ``offsets``
     - int64
     - rows + 1 entries: the inputs of row k are ``inputs[offsets[k]:offsets[k + 1]]``
   * - ``inputs``
     - int64
     - every row's input ids, row after row
   * - ``shape_table``
     - list of dicts
     - a node's view from ``GraphStore.nodes()`` without its id, inputs and output flag
       (kind, name, params, and descriptor or members)

Two rows share a shape exactly when their nodes are equal but for their inputs, so code that
builds something per kind of node (an implementation, a label) builds it once per shape. Shape
indices follow the first row of each shape. Every row's value, shape included, is exactly what
``nodes()`` shows for that node.

`record` takes one column per field. Row k is a node of kind ``kinds[k]`` (a code, or a kind
name: source, op, reduction, external or exchange), named ``names[k]`` (None for externals and
exchanges), with the params dict ``params[k]`` (or None) and, for an external, the descriptor
``descriptors[k]``; its inputs are ``inputs[offsets[k]:offsets[k + 1]]``, each a node id of the
store or ``-1 - j`` for the node of an earlier row j of the same batch. ``params`` and
``descriptors`` may be None for a column of Nones; ``offsets`` and ``inputs`` None for rows
without inputs. Integer columns (kind codes, offsets, inputs) are lists or tuples of ints, or
buffers of integers (numpy arrays, ``array.array``); the others are lists or tuples. Rows that
share one params dict object convert it once; a front end that keeps its params as a table
passes the table as ``params`` and each row's index into it as ``param_rows``.

The store ends up exactly as if the rows had been recorded one ``add_*`` call at a time, in
order: the same ids, the same bytes. A row that one of those calls would refuse fails the whole
batch with that call's error, prefixed by the row and the field (``row 7, params: ...``), and
records nothing.
"""

from __future__ import annotations

from collections.abc import Buffer, Sequence
from dataclasses import dataclass
from typing import Any, SupportsIndex, TypeAlias

from veltrix_core import GraphStore, PayloadDescriptor
from veltrix_core.typing import DescriptorDict, NodeKind, Params, ShapeView

__all__ = ["KINDS", "Columns", "read", "record", "KindColumn", "IdColumn"]

KINDS: tuple[NodeKind, ...] = ("source", "op", "reduction", "external", "stage", "exchange")
"""Kind names by kind code."""

KindColumn: TypeAlias = Sequence[int | NodeKind] | Buffer
"""The kinds of `record`'s rows: kind codes or kind names (a list or tuple), or a buffer of codes."""

IdColumn: TypeAlias = Sequence[int] | Buffer
"""Offsets or input ids of `record`'s rows: a list or tuple of ints, or a buffer of integers."""


@dataclass(frozen=True, slots=True)
class Columns:
    """The columns of a store's nodes, as `read` gives them; ``len()`` is the number of rows."""

    ids: memoryview
    """int64: the node id of each row."""
    kinds: memoryview
    """uint8: the kind code of each row; ``KINDS[code]`` is its name."""
    shapes: memoryview
    """uint32: the row's index into `shape_table`."""
    offsets: memoryview
    """int64, rows + 1 entries: the inputs of row k are ``inputs[offsets[k]:offsets[k + 1]]``."""
    inputs: memoryview
    """int64: every row's input ids, row after row."""
    shape_table: list[ShapeView]
    """One dict per distinct node shape: a node's view without its id, inputs and output flag."""

    def __len__(self) -> int:
        return len(self.ids)

    def inputs_of(self, row: int) -> memoryview:
        """The input ids of row `row`."""
        return self.inputs[self.offsets[row] : self.offsets[row + 1]]


def read(store: GraphStore, outputs: Sequence[SupportsIndex] | None = None) -> Columns:
    """The columns of the nodes of ``store`` reachable from ``outputs``, in id order.

    :param outputs: the ids whose graph to read; ``None`` reads every node.
    :raises ValueError: an output id that names no node, as for ``GraphStore.reduce``.
    """
    return _typed_columns(*store._read_columns(outputs=outputs))


def _typed_columns(
    ids: bytes, kinds: bytes, shapes: bytes, offsets: bytes, inputs: bytes, shape_table: list[ShapeView]
) -> Columns:
    """The columns the store's native reader gives (byte buffers), as typed memoryviews."""
    return Columns(
        memoryview(ids).cast("q"),
        memoryview(kinds).cast("B"),
        memoryview(shapes).cast("I"),
        memoryview(offsets).cast("q"),
        memoryview(inputs).cast("q"),
        shape_table,
    )


_KIND_CODES = {name: code for code, name in enumerate(KINDS)}


def _kind_codes(kinds: KindColumn) -> Any:
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
    kinds: KindColumn,
    names: Sequence[str | None],
    params: Sequence[Params | None] | None = None,
    descriptors: Sequence[PayloadDescriptor | DescriptorDict | None] | None = None,
    offsets: IdColumn | None = None,
    inputs: IdColumn | None = None,
    *,
    param_rows: IdColumn | None = None,
) -> memoryview:
    """Records one node per row into ``store``, all or nothing, and returns the id of every row.

    The columns are described in the module's documentation. An input of a row is a node id of
    the store, or ``-1 - j`` for the node of row j of the same batch.

    With ``param_rows``, ``params`` is a table: row k's params are ``params[param_rows[k]]``
    (an entry may be None), and each entry is converted once, when a row first names it.

    A row that an ``add_*`` call would refuse fails the whole batch with that call's error,
    prefixed by the row and the field, and nothing is recorded.

    :returns: the id of each row, an int64 memoryview (a row equal to a recorded node, or to an
        earlier row, gets that node's id).
    :raises TypeError: a column or a value of the wrong type, or ``offsets`` without ``inputs``
        or the reverse.
    :raises ValueError: an unknown kind name, or an input that names no node or no earlier row.
    """
    if (offsets is None) != (inputs is None):
        raise TypeError("offsets and inputs are given together, or neither")
    codes = _kind_codes(kinds)
    if offsets is None:
        offsets, inputs = bytes(len(codes) + 1), b""
    ids = store._record_columns(codes, names, params, descriptors, offsets, inputs, param_rows=param_rows)
    return memoryview(ids).cast("q")
