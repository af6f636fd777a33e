"""GraphStore.reduce, reduce_incremental and reduction_report through the public surface:
arguments and failures, the report, and the reduced graphs of small hand-made stores."""

from optional import require

require("numpy")

import numpy as np  # noqa: E402
import pytest

import veltrix_core as vc

GraphStore = vc.GraphStore
REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]
IDENTITY = {"scalar": 0.0, "side": "r"}


def run(store, method, **kwargs):
    """The reduced store and report of any of the three methods (reduction_report has no store)."""
    result = getattr(store, method)(**kwargs)
    return (None, result) if method == "reduction_report" else result


def summary(store):
    """Each node as (kind, name, params, inputs) plus stage members, then the marks."""
    rows = []
    for view in store.nodes():
        row = [view["kind"], view["name"], view["params"], view["inputs"]]
        if view["kind"] == "stage":
            row.append([(m["kind"], m["name"], m["params"], m["inputs"]) for m in view["members"]])
        rows.append(tuple(row))
    return rows, store.outputs()


def five_sources():
    store = GraphStore()
    for name in "abcde":
        store.add_source(name)
    return store


def marked(store, outputs):
    """A copy of `store` whose output marks are `outputs` (only built stores carry marks)."""
    return GraphStore.deserialize(store.serialize(outputs=outputs))


DOCS = {
    "reduce": (
        "($self, *, maximal_fusion=False, outputs=None)",
        "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
        "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
        "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
        "pinned by the frozen M4 suite).",
    ),
    "reduce_incremental": (
        "($self, *, outputs=None)",
        "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
        "step-by-step reduction while building, use `IncrementalReducer`.",
    ),
    "reduction_report": (
        "($self, *, outputs=None)",
        "The reduction report for the current graph, without keeping the reduced store.",
    ),
}


@pytest.mark.parametrize("method", DOCS)
def test_signature_and_docstring(method):
    signature, doc = DOCS[method]
    assert getattr(GraphStore, method).__text_signature__ == signature
    assert getattr(GraphStore, method).__doc__ == doc


METHODS = list(DOCS)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((1,), {}, TypeError, "takes 0 positional arguments but 1 was given"),
        ((), {"bogus": 1}, TypeError, "got an unexpected keyword argument 'bogus'"),
        ((), {"outputs": "ab"}, TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        ((), {"outputs": [0, 7]}, ValueError, "no node with id 7"),
        ((), {"outputs": [7, 9]}, ValueError, "no node with id 7"),
        ((), {"outputs": [5]}, ValueError, "no node with id 5"),
    ],
)
def test_bad_arguments_leave_the_store_as_it_was(method, args, kwargs, error, message):
    store = five_sources()
    before = summary(store)
    with pytest.raises(error) as caught:
        getattr(store, method)(*args, **kwargs)
    assert message in str(caught.value)
    assert summary(store) == before


@pytest.mark.parametrize(
    "value, message",
    [
        (None, "argument 'maximal_fusion': 'None' is not an instance of 'bool'"),
        (1, "argument 'maximal_fusion': 'int' object is not an instance of 'bool'"),
        ("yes", "argument 'maximal_fusion': 'str' object is not an instance of 'bool'"),
    ],
)
def test_maximal_fusion_must_be_a_bool(value, message):
    with pytest.raises(TypeError, match="^" + message + "$"):
        five_sources().reduce(maximal_fusion=value)


def test_maximal_fusion_is_converted_before_outputs():
    with pytest.raises(TypeError, match="maximal_fusion"):
        five_sources().reduce(maximal_fusion=None, outputs="ab")


@pytest.mark.parametrize("flag", [True, False, np.True_, np.False_])
def test_numpy_bools_are_flags(flag):
    store = GraphStore()
    s = store.add_source("s")
    x = store.add_op("x", [s])
    store.add_op("mul", [x, x])
    reduced, report = store.reduce(maximal_fusion=flag, outputs=[2])
    assert report["stages"] == (1 if flag else 2)


@pytest.mark.parametrize("method", METHODS)
def test_report_has_six_int_keys_in_a_fixed_order(method):
    store = five_sources()
    _, report = run(store, method, outputs=[3, 1])
    assert list(report) == REPORT_KEYS
    assert all(type(value) is int for value in report.values())
    assert report == {
        "input_nodes": 5,
        "reachable_nodes": 2,
        "canonical_nodes": 2,
        "stages": 0,
        "reduced_nodes": 2,
        "boundary_nodes": 2,
    }


@pytest.mark.parametrize("method", METHODS)
def test_no_marks_and_no_outputs_reduce_to_nothing(method):
    store = five_sources()
    store.add_op("neg", [0])
    for kwargs in ({}, {"outputs": None}, {"outputs": []}):
        reduced, report = run(store, method, **kwargs)
        assert report == dict.fromkeys(REPORT_KEYS, 0) | {"input_nodes": 6}
        if reduced is not None:
            assert reduced.node_count() == 0 and reduced.outputs() == []


def pipeline_store():
    """Commuted duplicates, an identity op, a dead branch, fan-out and a boundary in the middle."""
    store = GraphStore()
    a, b = store.add_source("a", {"i": 0}), store.add_source("b", {"i": 1})
    ab = store.add_op("add", [a, b])
    ba = store.add_op("add", [b, a])
    same = store.add_op("add", [ba], IDENTITY)
    prod = store.add_op("mul", [ab, same])
    store.add_op("log", [prod])  # dead
    total = store.add_reduction("sum", [prod], {"axis": 0})
    shifted = store.add_op("sub", [total, a])
    return store, [shifted, prod]


def test_reduce_incremental_and_reduction_report_agree_with_reduce():
    store, outputs = pipeline_store()
    reduced, report = store.reduce(outputs=outputs)
    again, again_report = store.reduce_incremental(outputs=outputs)
    assert summary(again) == summary(reduced) and again_report == report
    assert store.reduction_report(outputs=outputs) == report
    # add(a, b) is used twice by one mul, which ends its group under the default rule.
    assert report == {
        "input_nodes": 9,
        "reachable_nodes": 8,
        "canonical_nodes": 6,
        "stages": 3,
        "reduced_nodes": 6,
        "boundary_nodes": 3,
    }


def test_the_reduced_pipeline_with_maximal_fusion():
    store, outputs = pipeline_store()
    reduced, _ = store.reduce(maximal_fusion=True, outputs=outputs)
    nodes, marks = summary(reduced)
    assert nodes == [
        ("source", "a", {"i": 0}, []),
        ("source", "b", {"i": 1}, []),
        (
            "stage",
            "",
            {},
            [0, 1],
            [("op", "add", {}, [("input", 0), ("input", 1)]), ("op", "mul", {}, [("member", 0), ("member", 0)])],
        ),
        ("reduction", "sum", {"axis": 0}, [2]),
        ("stage", "", {}, [3, 0], [("op", "sub", {}, [("input", 0), ("input", 1)])]),
    ]
    assert marks == [4, 2]


@pytest.mark.parametrize("method", METHODS)
def test_explicit_outputs_ignore_the_marks(method):
    store = marked(five_sources(), [4, 0])
    reduced, report = run(store, method, outputs=[2, 2, 1])
    assert report["reachable_nodes"] == 2
    if reduced is not None:
        assert [v["name"] for v in reduced.nodes()] == ["b", "c"]
        assert reduced.outputs() == [1, 0]  # a repeated output is marked once, at its first place
    reduced, report = run(store, method)  # the marks, in mark order
    assert report["reachable_nodes"] == 2
    if reduced is not None:
        assert [v["name"] for v in reduced.nodes()] == ["a", "e"] and reduced.outputs() == [1, 0]


def test_the_input_store_never_changes():
    store, outputs = pipeline_store()
    store = marked(store, outputs)
    before = (summary(store), store.serialize())
    for flag in (False, True):
        store.reduce(maximal_fusion=flag)
        store.reduce(maximal_fusion=flag, outputs=outputs[::-1])
    store.reduce_incremental()
    store.reduction_report(outputs=[0])
    assert (summary(store), store.serialize()) == before


def test_re_reducing_keeps_different_stages_with_equal_member_counts():
    store = GraphStore()
    s = store.add_source("s")
    neg, ab = store.add_op("neg", [s]), store.add_op("abs", [s])
    reduced, _ = store.reduce(outputs=[neg, ab])  # two one-member stages over s
    assert [v["kind"] for v in reduced.nodes()] == ["source", "stage", "stage"]
    both = reduced.add_op("add", [1, 2])
    again, report = reduced.reduce(outputs=[both])
    members = [[m["name"] for m in v["members"]] for v in again.nodes() if v["kind"] == "stage"]
    assert members == [["neg"], ["abs"], ["add"]]
    assert report["stages"] == 1 and report["boundary_nodes"] == 3


def test_stage_views_with_equal_members_are_separate_objects():
    store = GraphStore()
    a, b = store.add_source("a"), store.add_source("b")
    outputs = [store.add_op("scale", [x], {"k": 2}) for x in (a, b)]
    reduced, _ = store.reduce(outputs=outputs)
    first, second = [v["members"][0] for v in reduced.nodes() if v["kind"] == "stage"]
    assert first == second and first["params"] is not second["params"]
    first["params"]["k"] = 3
    first["inputs"].append(("input", 1))
    assert second == {"kind": "op", "name": "scale", "params": {"k": 2}, "inputs": [("input", 0)]}
    assert [v["members"][0] for v in reduced.nodes() if v["kind"] == "stage"] == [second, second]


def test_re_reducing_keeps_externals_apart_when_preprocessing_differs():
    store = GraphStore()
    s = store.add_source("s")
    fields = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    absent = store.add_external(vc.PayloadDescriptor(**fields), [s])
    dash = store.add_external(vc.PayloadDescriptor(**fields, preprocessing_ref="-"), [s])
    bar = store.add_external(vc.PayloadDescriptor(**(fields | {"kind": "k|h"}), preprocessing_ref="-"), [s])
    both = store.add_op("add", [absent, dash])
    reduced, report = store.reduce(outputs=[both, bar])
    refs = [v["descriptor"]["preprocessing_ref"] for v in reduced.nodes() if v["kind"] == "external"]
    assert refs == [None, "-", "-"]
    assert report["canonical_nodes"] == 5
