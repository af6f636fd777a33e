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
from typing import NamedTuple

from veltrix_core import GraphStore, IncrementalReducer
from veltrix_core.typing import ReductionReport

__all__ = ["Reduction", "reduce", "finalize"]


class Reduction(NamedTuple):
    """A reduced store, its report, and the reduced id of every requested output in order."""

    store: GraphStore
    report: ReductionReport
    outputs: list[int]


def reduce(store: GraphStore, outputs: Sequence[int], *, maximal_fusion: bool = False) -> Reduction:
    """`store.reduce(outputs=outputs, maximal_fusion=...)`, with `outputs` mapped: the reduced id
    of each requested output, in the order asked (repetitions kept)."""
    reduced, report, mapped = store._reduce_mapped(maximal_fusion=maximal_fusion, outputs=outputs)
    return Reduction(reduced, report, mapped)


def finalize(
    reducer: IncrementalReducer, store: GraphStore, outputs: Sequence[int], *, maximal_fusion: bool = False
) -> Reduction:
    """`reducer.finalize(store, outputs=outputs, maximal_fusion=...)`, with `outputs` mapped as
    by `reduce`."""
    reduced, report, mapped = reducer._finalize_mapped(store, maximal_fusion=maximal_fusion, outputs=outputs)
    return Reduction(reduced, report, mapped)
