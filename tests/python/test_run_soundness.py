"""No rewrite changes what a program computes: random evaluable programs of the shared generator,
run recorded and in every reduced form (single-use and maximal fusion, a reduced store reduced
again, the incremental reducer's finalize), give the same value for every requested output.
bench/bench_run.py runs the same check on larger programs."""

import pathlib
import sys

import pytest
from optional import require

require("numpy")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import soundness  # noqa: E402

FORMS = ["reduce", "reduce maximal", "re-reduce", "finalize"]


@pytest.mark.parametrize(("nodes", "seed"), [(1000, 0), (1000, 1), (2000, 2), (3000, 3), (10_000, 4)])
def test_every_reduced_form_computes_what_was_recorded(nodes, seed):
    outcome = soundness.check_program(nodes, seed)
    assert outcome.nodes == nodes and outcome.outputs > 0
    assert set(outcome.problems) == set(FORMS)
    assert {form: problems[:5] for form, problems in outcome.problems.items() if problems} == {}
    # The reduced forms are smaller, so the check exercises merging, not only a copy.
    assert all(outcome.sizes[form] < nodes for form in FORMS)


@pytest.mark.parametrize(
    ("before", "after", "problems"),
    [
        ([1.0, 2.0, 1.0], [1.0, 2.0, 1.0], 0),
        ([1.0, 2.0], [2.0, 1.0], 2),
        # every NaN is one value, but the sign of a zero counts, and so do dtype and Python type
        ([-0.0, float("nan")], [-0.0, -float("nan")], 0),
        ([-0.0, float("nan")], [0.0, float("nan")], 1),
        ([1.0], ["int"], 1),
        ([1.0], ["array"], 1),
        # a value missing, never hidden by a shorter list
        ([1.0, 2.0], [1.0], 1),
    ],
)
def test_output_values_compare_position_by_position(before, after, problems):
    import numpy as np  # noqa: PLC0415

    before = [np.float64(v) for v in before]
    after = [np.int64(1) if v == "int" else np.array(1.0) if v == "array" else np.float64(v) for v in after]
    assert len(soundness.compare_outputs(before, after)) == problems
