"""Reductions that say which reduced node answers which requested output.

A reduced store marks each distinct reduced output once, in first-appearance order, so when two
requested outputs merge (commuted twins, duplicates, an identity op and its input) the store has
fewer marks than the caller asked for, and `reduced.outputs()` no longer lines up with the
request. `reduce` and `finalize` return, beside the store and the report, the reduced id of
every requested output in the requested order, repetitions kept: pass that list to `evaluate`
or `to_dask` and value i answers output i.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import NamedTuple

from veltrix_core import GraphStore, IncrementalReducer
from veltrix_core.typing import ReductionReport

__all__ = ["Origins", "Reduction", "reduce", "finalize"]


@dataclass(frozen=True, slots=True)
class Origins:
    """The recorded nodes each reduced node stands for, as compressed columns: the recorded ids
    of reduced node k are ``ids[offsets[k]:offsets[k + 1]]``, ascending (int64 memoryviews).
    Every recorded node reachable from the outputs is there exactly once: under the node it
    became, the stage it was fused into, or the node it was merged with."""

    offsets: memoryview
    ids: memoryview

    def of(self, reduced_id: int) -> list[int]:
        """The recorded ids that reduced node `reduced_id` stands for."""
        return self.ids[self.offsets[reduced_id] : self.offsets[reduced_id + 1]].tolist()


class Reduction(NamedTuple):
    """A reduced store, its report, the reduced id of every requested output in order, and,
    when asked for, the origins of every reduced node (None otherwise)."""

    store: GraphStore
    report: ReductionReport
    outputs: list[int]
    origins: Origins | None = None


def _reduction(result: tuple) -> Reduction:  # type: ignore[type-arg]
    if len(result) == 3:
        return Reduction(*result)
    store, report, outputs, (offsets, ids) = result
    return Reduction(store, report, outputs, Origins(memoryview(offsets).cast("q"), memoryview(ids).cast("q")))


def reduce(
    store: GraphStore, outputs: Sequence[int], *, maximal_fusion: bool = False, origins: bool = False
) -> Reduction:
    """`store.reduce(outputs=outputs, maximal_fusion=...)`, with `outputs` mapped: the reduced id
    of each requested output, in the order asked (repetitions kept). With `origins`, also the
    recorded nodes every reduced node stands for, from the same reduction."""
    return _reduction(store._reduce_mapped(maximal_fusion=maximal_fusion, outputs=outputs, origins=origins))


def finalize(
    reducer: IncrementalReducer,
    store: GraphStore,
    outputs: Sequence[int],
    *,
    maximal_fusion: bool = False,
    origins: bool = False,
) -> Reduction:
    """`reducer.finalize(store, outputs=outputs, maximal_fusion=...)`, with `outputs` mapped as
    by `reduce`; with `origins`, the nodes of `store` every reduced node stands for."""
    return _reduction(reducer._finalize_mapped(store, maximal_fusion=maximal_fusion, outputs=outputs, origins=origins))
