"""IncrementalReducer: stepping consumes each recorded node once; finalizing reduces the
canonical form like GraphStore.reduce reduces the store."""

import pytest
from optional import require

require("hypothesis")

from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import veltrix_core as vc

IDENTITY = {"scalar": 0.0, "side": "r"}


def store_of(count):
    store = vc.GraphStore()
    for i in range(count):
        store.add_source(f"s{i}")
    return store


def comparable(result):
    store, report = result
    return (
        store.nodes(),
        store.outputs(),
        {k: report[k] for k in ("canonical_nodes", "stages", "reduced_nodes", "boundary_nodes")},
    )


@pytest.mark.parametrize(
    "method, signature",
    [
        ("step", "($self, store)"),
        ("watermark", "($self)"),
        ("total_work", "($self)"),
        ("canonical_count", "($self)"),
        ("finalize", "($self, store, *, maximal_fusion=False, outputs=None)"),
    ],
)
def test_method_signatures(method, signature):
    assert getattr(vc.IncrementalReducer, method).__text_signature__ == signature
    assert list(vars(vc.IncrementalReducer)).index(method) >= 0


def test_docstrings_verbatim():
    assert vc.IncrementalReducer.total_work.__doc__ == (
        "Cumulative nodes processed across all steps (== watermark: each node touched once)."
    )
    assert vc.IncrementalReducer.finalize.__doc__.splitlines()[1] == (
        "store's marked outputs \u2014 or, with `outputs=`, against EXACTLY that set (M22: stored marks"
    )


def test_a_new_reducer_is_empty():
    r = vc.IncrementalReducer()
    assert (r.watermark(), r.total_work(), r.canonical_count()) == (0, 0, 0)
    assert r.step(vc.GraphStore()) == 0


def test_steps_return_their_delta_sizes():
    store, r = vc.GraphStore(), vc.IncrementalReducer()
    sizes = []
    for i in range(10):
        store.add_source(f"s{i}")
        if i in (2, 5):
            sizes.append(r.step(store))
    sizes.append(r.step(store))
    assert sizes == [3, 3, 4]
    assert (r.watermark(), r.total_work(), r.step(store)) == (10, 10, 0)


def test_commuted_pairs_and_identity_ops_do_not_grow_the_canonical_form():
    store, r = vc.GraphStore(), vc.IncrementalReducer()
    a, b = store.add_source("a"), store.add_source("b")
    r.step(store)
    store.add_op("add", [a, b])
    store.add_op("add", [b, a])
    r.step(store)
    assert (r.canonical_count(), r.watermark(), r.total_work()) == (3, 4, 4)
    x = store.add_op("add", [a], IDENTITY)
    store.add_op("neg", [x])
    store.add_reduction("add", [a], IDENTITY)  # only ops are identities
    r.step(store)
    assert r.canonical_count() == 5  # neg(a) and the reduction


@pytest.mark.parametrize("step_between", [False, True])
def test_externals_over_commuted_inputs_merge_wherever_the_steps_fall(step_between):
    store, r = vc.GraphStore(), vc.IncrementalReducer()
    model = vc.PayloadDescriptor(kind="model", content_hash="h", framework="f", version="1", io_schema="s")
    a, b = store.add_source("a"), store.add_source("b")
    store.add_external(model, [store.add_op("add", [a, b])])
    if step_between:
        r.step(store)
    out = store.add_external(model, [store.add_op("add", [b, a])])
    r.step(store)
    assert r.canonical_count() == 4
    assert r.finalize(store, outputs=[out])[1]["input_nodes"] == 4


def test_finalize_after_partial_steps_equals_a_fresh_finalize():
    store = vc.GraphStore()
    a, b = store.add_source("a"), store.add_source("b")
    stepped = vc.IncrementalReducer()
    s = store.add_op("add", [a, b])
    stepped.step(store)
    t = store.add_op("add", [b, a])
    u = store.add_op("mul", [s, t])
    out = store.add_op("mul", [u], {"scalar": 1.0, "side": "l"})
    for maximal in (False, True):
        first = stepped.finalize(store, outputs=[out], maximal_fusion=maximal)
        fresh = vc.IncrementalReducer().finalize(store, outputs=[out], maximal_fusion=maximal)
        assert comparable(first) == comparable(fresh)
        assert first[1] == fresh[1]
    assert stepped.watermark() == store.node_count()


def test_finalize_uses_the_marks_by_default():
    store = store_of(3)
    reduced, report = vc.IncrementalReducer().finalize(store)
    assert reduced.node_count() == 0 and report["input_nodes"] == 3 and report["reachable_nodes"] == 0
    marked = vc.GraphStore.deserialize(store.serialize(outputs=[2, 0]))
    reduced, report = vc.IncrementalReducer().finalize(marked)
    assert reduced.outputs() == [1, 0] and report["reachable_nodes"] == 2


def test_finalize_refuses_unknown_outputs_before_touching_the_reducer():
    store, r = store_of(5), vc.IncrementalReducer()
    with pytest.raises(ValueError, match=r"^no node with id 99$"):
        r.finalize(store, outputs=[99])
    assert r.watermark() == 0
    with pytest.raises(ValueError, match=r"^no node with id 5$"):
        r.finalize(store, outputs=[0, 5])
    assert r.watermark() == 0


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda r, s: r.step(5), TypeError, "argument 'store': 'int' object is not an instance of 'GraphStore'"),
        (lambda r, s: r.step(None), TypeError, "argument 'store': 'None' is not an instance of 'GraphStore'"),
        (lambda r, s: r.step(), TypeError, "IncrementalReducer.step() missing 1 required positional argument: 'store'"),
        (
            lambda r, s: r.step(s, s),
            TypeError,
            "IncrementalReducer.step() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda r, s: r.finalize(s, True),
            TypeError,
            "IncrementalReducer.finalize() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda r, s: r.finalize(s, maximal_fusion=None),
            TypeError,
            "argument 'maximal_fusion': 'None' is not an instance of 'bool'",
        ),
        (
            lambda r, s: r.finalize(s, maximal_fusion=1),
            TypeError,
            "argument 'maximal_fusion': 'int' object is not an instance of 'bool'",
        ),
        (lambda r, s: r.finalize(s, outputs="0"), TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        (lambda r, s: r.finalize(s, outputs=[-1]), OverflowError, "can't convert negative int to unsigned"),
        (
            lambda r, s: r.finalize(store=s, store2=s),
            TypeError,
            "IncrementalReducer.finalize() got an unexpected keyword argument 'store2'",
        ),
    ],
)
def test_argument_errors_leave_the_reducer_unchanged(call, exc_type, message):
    store, r = store_of(2), vc.IncrementalReducer()
    with pytest.raises(exc_type) as info:
        call(r, store)
    assert type(info.value) is exc_type and str(info.value) == message
    assert r.watermark() == 0


def test_a_smaller_second_store_changes_nothing():
    r = vc.IncrementalReducer()
    assert r.step(store_of(5)) == 5
    assert r.step(store_of(3)) == 0
    assert (r.watermark(), r.total_work(), r.canonical_count()) == (5, 5, 5)


def test_finalize_returns_a_new_store_and_the_report():
    store = vc.GraphStore()
    a = store.add_source("a")
    n = store.add_op("neg", [a])
    result = vc.IncrementalReducer().finalize(store, outputs=[n, n])
    assert isinstance(result, tuple) and len(result) == 2
    reduced, report = result
    assert isinstance(reduced, vc.GraphStore) and reduced.outputs() == [1]
    assert list(report) == [
        "input_nodes",
        "reachable_nodes",
        "canonical_nodes",
        "stages",
        "reduced_nodes",
        "boundary_nodes",
    ]


COMMUTATIVE = ["add", "mul", "maximum"]


@st.composite
def reachable_graphs(draw):
    """A recording whose every node feeds the last one, rich in commuted twins and identity ops,
    and the points at which a reducer steps."""
    store_calls = [("source", "a", []), ("source", "b", [])]
    count = 2
    for _ in range(draw(st.integers(min_value=1, max_value=25))):
        choice = draw(st.sampled_from(["binary", "twin", "identity", "unary", "reduction"]))
        pick = st.integers(min_value=0, max_value=count - 1)
        if choice in ("binary", "twin"):
            x, y = draw(pick), draw(pick)
            name = draw(st.sampled_from(COMMUTATIVE + ["sub"]))
            store_calls.append(("op", name, [x, y]))
            if choice == "twin":
                store_calls.append(("op", name, [y, x]))
        elif choice == "identity":
            store_calls.append(("identity", draw(st.sampled_from(["add", "mul"])), [draw(pick)]))
        elif choice == "unary":
            store_calls.append(("op", "neg", [draw(pick)]))
        else:
            store_calls.append(("reduction", "sum", [draw(pick)]))
        count = len(store_calls)
    steps = draw(st.lists(st.integers(min_value=0, max_value=len(store_calls)), max_size=4))
    maximal = draw(st.booleans())
    return store_calls, sorted(steps), maximal


def record(store, call, ids):
    kind, name, inputs = call
    inputs = [ids[i] for i in inputs]
    if kind == "source":
        return store.add_source(name)
    if kind == "reduction":
        return store.add_reduction(name, inputs)
    if kind == "identity":
        scalar = 0.0 if name == "add" else 1.0
        return store.add_op(name, inputs, {"scalar": scalar, "side": "r"})
    return store.add_op(name, inputs)


@given(reachable_graphs())
def test_stepping_anywhere_then_finalizing_equals_reduce(graph):
    calls, steps, maximal = graph
    store, reducer = vc.GraphStore(), vc.IncrementalReducer()
    ids = []
    for position, call in enumerate(calls):
        while steps and steps[0] == position:
            steps.pop(0)
            reducer.step(store)
            assert reducer.total_work() == reducer.watermark() == store.node_count()
        ids.append(record(store, call, ids))
    # Make every node reachable: one final node consumes them all.
    out = store.add_op("gather", list(range(store.node_count())))
    finalized = reducer.finalize(store, outputs=[out], maximal_fusion=maximal)
    assert reducer.total_work() == reducer.watermark() == store.node_count()
    reduced = store.reduce(outputs=[out], maximal_fusion=maximal)
    assert comparable(finalized) == comparable(reduced)
