"""Reductions that say which reduced node answers which requested output.

A reduced store marks each distinct reduced output once, in first-appearance order, so when two
requested outputs merge (commuted twins, duplicates, an identity op and its input) the store has
fewer marks than the caller asked for, and `reduced.outputs()` no longer lines up with the
request. `reduce` and `finalize` return, beside the store and the report, the reduced id of
every requested output in the requested order, repetitions kept: pass that list to
`veltrix_core.run.evaluate` or `veltrix_core.run.to_dask` and value i answers output i.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import NamedTuple, SupportsIndex, TypeAlias

from veltrix_core import GraphStore, IncrementalReducer
from veltrix_core.typing import ReductionReport

__all__ = ["Origins", "Reduction", "reduce", "finalize"]


@dataclass(frozen=True, slots=True)
class Origins:
    """The recorded nodes each reduced node stands for.

    Compressed columns (int64 memoryviews): the recorded ids of reduced node k are
    ``ids[offsets[k]:offsets[k + 1]]``, ascending. Every recorded node reachable from the
    outputs is there exactly once: under the node it became, the stage it was fused into, or
    the node it was merged with.
    """

    offsets: memoryview
    """int64, one more entry than the reduced store has nodes."""
    ids: memoryview
    """int64: recorded ids, reduced node after reduced node."""

    def of(self, reduced_id: int) -> list[int]:
        """The recorded ids that reduced node `reduced_id` stands for."""
        return self.ids[self.offsets[reduced_id] : self.offsets[reduced_id + 1]].tolist()


class _ReductionFields(NamedTuple):
    store: GraphStore
    report: ReductionReport
    outputs: list[int]


class Reduction(_ReductionFields):
    """What `reduce` and `finalize` return: the named tuple ``(store, report, outputs)`` of the
    reduced store, its report and the output mapping, and the origins when asked for.

    ``outputs[i]`` is the reduced id of the i-th requested output: run ``store`` for
    ``outputs`` and value i answers requested output i. ``origins`` is None unless asked for
    (it is an attribute, not a field: the tuple unpacks into three values either way).
    """

    origins: Origins | None = None


_Mapped: TypeAlias = (
    tuple[GraphStore, ReductionReport, list[int]] | tuple[GraphStore, ReductionReport, list[int], tuple[bytes, bytes]]
)


def _reduction(result: _Mapped) -> Reduction:
    reduction = Reduction(result[0], result[1], result[2])
    if len(result) == 4:
        offsets, ids = result[3]
        reduction.origins = Origins(memoryview(offsets).cast("q"), memoryview(ids).cast("q"))
    return reduction


def reduce(
    store: GraphStore, outputs: Sequence[SupportsIndex], *, maximal_fusion: bool = False, origins: bool = False
) -> Reduction:
    """``store.reduce(outputs=outputs, maximal_fusion=...)``, with the reduced id of every
    requested output.

    :param outputs: the ids to compute, in order; repeats are kept in the mapping.
    :param maximal_fusion: as for ``GraphStore.reduce``.
    :param origins: also give, for every reduced node, the recorded nodes it stands for, from
        the same reduction.
    :raises ValueError: an output id that names no node.
    """
    return _reduction(store._reduce_mapped(maximal_fusion=maximal_fusion, outputs=outputs, origins=origins))


def finalize(
    reducer: IncrementalReducer,
    store: GraphStore,
    outputs: Sequence[SupportsIndex],
    *,
    maximal_fusion: bool = False,
    origins: bool = False,
) -> Reduction:
    """``reducer.finalize(store, outputs=outputs, maximal_fusion=...)``, with the reduced id of
    every requested output, as `reduce` gives it.

    With ``origins``, the nodes of ``store`` every reduced node stands for.
    """
    return _reduction(reducer._finalize_mapped(store, maximal_fusion=maximal_fusion, outputs=outputs, origins=origins))
