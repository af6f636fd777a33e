"""A registry entry's own `check(arity, params)`: whatever true value it returns refuses the node
before anything runs, as a MissingImplementation naming the node, for a lone op and for a stage
member alike; a false value lets the node run."""

import pytest
from optional import require

np = require("numpy")

import veltrix_core as vc  # noqa: E402
from veltrix_core import run  # noqa: E402


class CheckedEntry:
    """Doubles its input, after a check that returns what it was given."""

    def __init__(self, verdict):
        self.verdict = verdict

    def check(self, arity, params):
        return self.verdict

    def __call__(self, inputs, params):
        return inputs[0] * 2


def recorded_and_reduced():
    store = vc.GraphStore()
    doubled = store.add_op("twice", [store.add_source("x")])
    reduction = run.reduce(store, [doubled])  # the op becomes a stage of one member
    return [(store, [doubled]), (reduction.store, reduction.outputs)]


@pytest.mark.parametrize("verdict", ["needs two inputs", ["needs two inputs"], True, 1])
def test_a_true_verdict_refuses_the_node_before_anything_runs(verdict):
    def source(name, params):
        raise AssertionError("nothing may run")

    for store, outputs in recorded_and_reduced():
        registry = {("op", "twice"): CheckedEntry(verdict)}
        with pytest.raises(run.MissingImplementation, match=r"node 1 \(.*\): .*needs two inputs|node 1 .*: (True|1)$"):
            run.evaluate(store, outputs, sources=source, registry=registry)


@pytest.mark.parametrize("verdict", [None, "", False, 0])
def test_a_false_verdict_lets_the_node_run(verdict):
    for store, outputs in recorded_and_reduced():
        registry = {("op", "twice"): CheckedEntry(verdict)}
        (value,) = run.evaluate(store, outputs, sources={"x": np.ones(2)}, registry=registry)
        assert value.tolist() == [2.0, 2.0]
