"""Reduction of the benchmark's graph shapes, checked against a small model of what the rules
make equal: commutative ops without params equal their swapped twins, identity ops (add of 0.0,
mul of 1.0, either side) equal their input, and equal nodes are one. Every shape is small enough
to saturate, so the reduced graph must hold exactly the model's distinct nodes."""

import collections
import pathlib
import struct
import sys

import pytest

import veltrix_core as vc

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import shapes  # noqa: E402

COMMUTATIVE = set(shapes.COMMUTATIVE)
IDENTITY = {"add": 0.0, "mul": 1.0}


def frozen(params):
    # A float's identity is its bit pattern: -0.0 is not 0.0, and 0 (an int) is neither.
    return tuple(
        sorted((k, type(v).__name__, struct.pack("<d", v) if type(v) is float else v) for k, v in params.items())
    )


def is_identity(view):
    params = view["params"]
    scalar = IDENTITY.get(view["name"])
    return (
        view["kind"] == "op"
        and len(view["inputs"]) == 1
        and set(params) == {"scalar", "side"}
        and params["side"] in ("r", "l")
        and frozen({"s": params["scalar"]}) == frozen({"s": scalar})
    )


def model(store, outputs):
    """The distinct nodes left once the rules have merged all they can: {key: kind}."""
    views = store.nodes()
    reached = set(outputs)
    for view in reversed(views):
        if view["id"] in reached:
            reached.update(view["inputs"])
    canonical, keys = {}, {}
    for view in views:
        if view["id"] not in reached:
            continue
        if is_identity(view):
            canonical[view["id"]] = canonical[view["inputs"][0]]
            continue
        children = [canonical[i] for i in view["inputs"]]
        if view["kind"] == "op" and view["name"] in COMMUTATIVE and not view["params"] and len(children) == 2:
            children.sort()
        key = (view["kind"], view["name"], frozen(view["params"]), tuple(children))
        canonical[view["id"]] = keys.setdefault(key, len(keys))
    return {key: key[0] for key in keys}, len(reached)


@pytest.mark.parametrize("shape", [s for s in shapes.SHAPES if s != "restaged"])
def test_each_shape_reduces_to_the_models_distinct_nodes(shape):
    store, outputs = shapes.SHAPES[shape](400, vc)
    expected, reachable = model(store, outputs)
    for maximal_fusion in (False, True):
        reduced, report = store.reduce(outputs=outputs, maximal_fusion=maximal_fusion)
        ops = collections.Counter((k[1], k[2]) for k, kind in expected.items() if kind == "op")
        others = collections.Counter((k[0], k[1], k[2]) for k, kind in expected.items() if kind != "op")
        assert report["reachable_nodes"] == reachable
        assert report["canonical_nodes"] == len(expected)
        assert report["boundary_nodes"] == sum(others.values())
        assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"] == reduced.node_count()
        views = reduced.nodes()
        members = collections.Counter(
            (m["name"], frozen(m["params"])) for v in views if v["kind"] == "stage" for m in v["members"]
        )
        assert members == ops, "every distinct op is one stage member"
        assert (
            collections.Counter((v["kind"], v["name"], frozen(v["params"])) for v in views if v["kind"] != "stage")
            == others
        )


def test_a_reduced_store_reduces_to_itself():
    store, outputs = shapes.restaged(2000, vc)
    assert any(v["kind"] == "stage" for v in store.nodes())
    reduced, report = store.reduce(outputs=outputs)
    assert reduced.serialize() == store.serialize()
    assert report["canonical_nodes"] == report["reduced_nodes"] == store.node_count()
