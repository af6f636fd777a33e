"""Properties of reduction: a reduced graph computes what the recorded one did, is well formed,
and keeps the name and params of every fused op.

Graphs are evaluated by a small interpreter over numpy arrays. Sources are arrays; a Stage is
evaluated member by member through its references, with each member's op read back from the
member view that nodes() gives. The identity rules treat x + 0.0 as x although IEEE addition
turns -0.0 + 0.0 into +0.0, so the interpreter never lets the sign of a zero matter: values are
compared with == (so -0.0 equals 0.0) and no op (division, copysign, ...) maps the two zeros to
different values."""

import math
import struct

from optional import require

require("numpy")
require("hypothesis")

import numpy as np  # noqa: E402
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import veltrix_core as vc
import veltrix_core.run.reduction as vc_run

BINARY = {
    "add": np.add,
    "mul": np.multiply,
    "sub": np.subtract,
    "maximum": np.maximum,
    "minimum": np.minimum,
    "and": lambda a, b: np.logical_and(a != 0, b != 0).astype(float),
    "or": lambda a, b: np.logical_or(a != 0, b != 0).astype(float),
    "eq": lambda a, b: np.equal(a, b).astype(float),
    "ne": lambda a, b: np.not_equal(a, b).astype(float),
}
UNARY = {"neg": np.negative, "abs": np.abs, "square": np.square}
REDUCTIONS = {"sum": np.sum, "max": np.max}
IDENTITIES = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
]
# Look like identities but are not: each is evaluated for what it is.
NEAR_IDENTITIES = [
    ("add", {"scalar": 2.0, "side": "r"}),
    ("mul", {"scalar": -1.0, "side": "l"}),
    ("add", {"scalar": 0, "side": "r"}),
    ("add", {"scalar": -0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r", "fast": True}),
]


def apply_op(name, params, args):
    if "scalar" in params:
        (x,) = args
        scalar = float(params["scalar"])
        fn = np.add if name == "add" else np.multiply
        return fn(scalar, x) if params["side"] == "l" else fn(x, scalar)
    if name in BINARY:
        return BINARY[name](*args)
    return UNARY[name](*args)


def evaluate(store, sources):
    """The value of every node of `store`, by id."""
    values = []
    with np.errstate(all="ignore"):
        for view in store.nodes():
            args = [values[i] for i in view["inputs"]]
            kind = view["kind"]
            if kind == "source":
                value = sources[view["params"]["i"]]
            elif kind == "op":
                value = apply_op(view["name"], view["params"], args)
            elif kind == "reduction":
                value = REDUCTIONS[view["name"]](args[0])
            elif kind == "exchange":
                value = args[0]
            elif kind == "external":
                value = sum(args) * len(view["descriptor"]["content_hash"])
            else:
                assert kind == "stage"
                members = []
                for member in view["members"]:
                    assert member["kind"] == "op"
                    operands = [args[i] if ref == "input" else members[i] for ref, i in member["inputs"]]
                    members.append(apply_op(member["name"], member["params"], operands))
                value = members[-1]
            values.append(value)
    return values


def same_value(a, b):
    return np.array_equal(a, b, equal_nan=True)  # == compares -0.0 equal to 0.0


@st.composite
def dataflow_graphs(draw):
    """A recorded graph rich in commuted duplicates, identity ops, shared subexpressions, fan-out
    and dead nodes, with the requested outputs and the source arrays."""
    store = vc.GraphStore()
    sources = []
    values = []
    binary = []  # (name, a, b) of recorded binary ops, commutative or not
    floats = st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -3.0, 7.0])
    for _ in range(draw(st.integers(1, 3))):
        sources.append(np.array(draw(st.lists(floats, min_size=3, max_size=3))))
        values.append(store.add_source("x", {"i": len(sources) - 1}))

    def pick():
        # Mostly recent values, so chains and fan-out both occur.
        if draw(st.booleans()):
            return values[-1 - draw(st.integers(0, min(3, len(values) - 1)))]
        return draw(st.sampled_from(values))

    for _ in range(draw(st.integers(1, 30))):
        choice = draw(
            st.sampled_from(
                [
                    "binary",
                    "binary",
                    "commuted",
                    "identity",
                    "near",
                    "unary",
                    "reduction",
                    "exchange",
                    "external",
                    "repeat",
                ]
            )
        )
        if choice == "binary":
            name = draw(st.sampled_from(sorted(BINARY)))
            a, b = pick(), pick()
            node = store.add_op(name, [a, b])
            binary.append((name, a, b))
        elif choice == "commuted" and binary:
            name, a, b = draw(st.sampled_from(binary))
            node = store.add_op(name, [b, a])
        elif choice == "identity":
            name, params = draw(st.sampled_from(IDENTITIES))
            node = store.add_op(name, [pick()], params)
        elif choice == "near":
            name, params = draw(st.sampled_from(NEAR_IDENTITIES))
            node = store.add_op(name, [pick()], params)
        elif choice == "reduction":
            node = store.add_reduction(draw(st.sampled_from(sorted(REDUCTIONS))), [pick()], {"axis": 0})
        elif choice == "exchange":
            node = store.add_exchange([pick()], {"scheme": "hash"})
        elif choice == "external":
            descriptor = vc.PayloadDescriptor(
                kind="udf",
                content_hash=draw(st.sampled_from(["ab", "abc"])),
                framework="np",
                version="1",
                io_schema="f->f",
            )
            node = store.add_external(descriptor, [pick(), pick()])
        else:  # a unary op, or re-recording one: the store returns the existing node
            node = store.add_op(draw(st.sampled_from(sorted(UNARY))), [pick()])
        values.append(node)
    count = store.node_count()
    if draw(st.booleans()):
        outputs = draw(st.lists(st.integers(0, count - 1), min_size=0, max_size=6))
    else:
        # Mostly the nodes nothing consumes, so that most of the graph is live; some stay dead.
        consumed = {i for view in store.nodes() for i in view["inputs"]}
        sinks = [i for i in range(count) if i not in consumed]
        outputs = [i for i in sinks if draw(st.integers(0, 9)) > 0] + draw(
            st.lists(st.integers(0, count - 1), max_size=2)
        )
    return store, outputs, sources


def check_well_formed(reduced, report):
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"]
    assert report["reduced_nodes"] <= report["canonical_nodes"] <= report["reachable_nodes"] <= report["input_nodes"]
    assert reduced.node_count() == report["reduced_nodes"]
    stages = 0
    for view in reduced.nodes():
        assert view["kind"] != "op"
        assert all(i < view["id"] for i in view["inputs"])
        if view["kind"] == "stage":
            stages += 1
            assert view["n_members"] == len(view["members"]) > 0
            for position, member in enumerate(view["members"]):
                for ref, index in member["inputs"]:
                    assert index < (len(view["inputs"]) if ref == "input" else position)
    assert stages == report["stages"]  # the recorded graphs hold no stages of their own
    assert all(mark < reduced.node_count() for mark in reduced.outputs())


def replay(store, reducer, step_every):
    """The nodes of `store` recorded again into a new store (same ids), stepping `reducer` after
    every `step_every` of them."""
    copy = vc.GraphStore()
    for view in store.nodes():
        kind, params, inputs = view["kind"], view["params"], view["inputs"]
        if kind == "source":
            copy.add_source(view["name"], params)
        elif kind == "op":
            copy.add_op(view["name"], inputs, params)
        elif kind == "reduction":
            copy.add_reduction(view["name"], inputs, params)
        elif kind == "exchange":
            copy.add_exchange(inputs, params)
        else:
            assert kind == "external"
            copy.add_external(vc.PayloadDescriptor(**view["descriptor"]), inputs, params)
        if view["id"] % step_every == 0:
            reducer.step(copy)
    return copy


def assert_origins_hold(before, reduction, sources):
    """Each reachable recorded node stands under one reduced node: a node that is not a stage
    holds the value of every recorded node it stands for; a stage holds its last member's."""
    after = evaluate(reduction.store, sources)
    views = reduction.store.nodes()
    seen = []
    for reduced, view in enumerate(views):
        recorded = reduction.origins.of(reduced)
        assert recorded, f"reduced node {reduced} stands for nothing"
        seen += recorded
        agree = [same_value(after[reduced], before[r]) for r in recorded]
        assert any(agree) and (view["kind"] == "stage" or all(agree))
    assert sorted(seen) == sorted(set(seen))
    assert reduction.report["reachable_nodes"] == len(seen)


def assert_outputs_answer(before, requested, reduction, sources):
    """Reduced output i holds the value recorded output i held, for every i (repeats included),
    and the store marks exactly the distinct reduced outputs in order of first request."""
    after = evaluate(reduction.store, sources)
    assert len(reduction.outputs) == len(requested)
    for position, (recorded, reduced) in enumerate(zip(requested, reduction.outputs, strict=True)):
        assert same_value(after[reduced], before[recorded]), f"output {position}: {recorded} -> {reduced}"
    assert reduction.store.outputs() == list(dict.fromkeys(reduction.outputs))


@settings(max_examples=300)
@given(dataflow_graphs(), st.integers(0, 2**32 - 1))
def test_reduction_preserves_every_output(graph, step_seed):
    store, outputs, sources = graph
    before = evaluate(store, sources)
    # The merged, repeated and dead outputs of the generator, with one repeat at least.
    outputs = outputs + outputs[: step_seed % 3]
    default_report = None
    for maximal in (False, True):
        reduction = vc_run.reduce(store, outputs, maximal_fusion=maximal, origins=True)
        reduced, report = reduction.store, reduction.report
        assert_origins_hold(before, reduction, sources)
        check_well_formed(reduced, report)
        plain, plain_report = store.reduce(maximal_fusion=maximal, outputs=outputs)
        assert reduced.nodes() == plain.nodes() and report == plain_report
        assert_outputs_answer(before, outputs, reduction, sources)
        # The maximal rule fuses everything the single-use rule does, and more.
        if maximal:
            assert report["canonical_nodes"] == default_report["canonical_nodes"]
            assert report["reduced_nodes"] <= default_report["reduced_nodes"]
        default_report = report
        # Re-reduction against the mapped outputs: already as small as it gets, and still mapped.
        again = vc_run.reduce(reduced, reduction.outputs, maximal_fusion=maximal)
        assert again.store.nodes() == reduced.nodes() and again.report["stages"] == 0
        assert again.outputs == reduction.outputs
        # An incremental reducer that stepped while the graph was recorded again, node by node.
        reducer = vc.IncrementalReducer()
        replayed = replay(store, reducer, step_every=1 + step_seed % 5)
        finalized = vc_run.finalize(reducer, replayed, outputs, maximal_fusion=maximal, origins=True)
        assert set(finalized.origins.ids) <= set(range(store.node_count()))
        check_well_formed(finalized.store, finalized.report)
        assert finalized.report["input_nodes"] == reducer.canonical_count()
        assert_outputs_answer(before, outputs, finalized, sources)


# Texts with the characters the term encoding escapes, escape-like sequences it must escape in
# turn, and characters it must leave alone.
awkward_text = st.lists(st.sampled_from(list("%;=|ab0é∑ \n") + ["%3B", "%25", "%7C", "%3D"]), max_size=6).map("".join)
param_values = st.one_of(
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, math.nan, "r", "l"]),
    st.booleans(),
    awkward_text,
)
# Names and keys of the identity ops too, so that near-identities occur.
named_nodes = st.tuples(
    st.one_of(awkward_text, st.sampled_from(["add", "mul"])),
    st.dictionaries(st.one_of(awkward_text, st.sampled_from(["scalar", "side"])), param_values, max_size=4),
)


def canonical(params):
    """Params by variant and payload, floats by bits with every NaN as the canonical NaN."""

    def value(v):
        if isinstance(v, float):
            return ("f", 0x7FF8000000000000 if math.isnan(v) else struct.unpack("<Q", struct.pack("<d", v))[0])
        return (type(v).__name__, v)

    return [(k, value(v)) for k, v in params.items()]


def is_identity(name, params):
    """Whether the engine may replace the op by its input (Python's == alone would also accept
    0, -0.0 and True as the scalar)."""
    if set(params) != {"scalar", "side"} or params["side"] not in ("r", "l") or type(params["scalar"]) is not float:
        return False
    scalar = params["scalar"]
    return (name == "add" and scalar == 0.0 and math.copysign(1.0, scalar) > 0) or (name == "mul" and scalar == 1.0)


@settings(max_examples=300)
@given(st.lists(named_nodes, min_size=1, max_size=6), st.lists(named_nodes, max_size=3), st.booleans())
def test_fused_ops_keep_their_name_and_params(ops, reductions, maximal):
    store = vc.GraphStore()
    previous = store.add_source("s")
    chain = []
    for name, params in ops:
        if is_identity(name, params):
            continue
        previous = store.add_op(name, [previous], params)
        chain.append((name, params))
    tops = [previous]
    for name, params in reductions:
        tops.append(store.add_reduction(name, [previous], params))
    reduced, _ = store.reduce(maximal_fusion=maximal, outputs=tops)
    views = reduced.nodes()
    members = [m for v in views if v["kind"] == "stage" for m in v["members"]]
    # A chain of single-use ops is one stage, its members in recording order.
    assert [(m["kind"], m["name"], canonical(m["params"])) for m in members] == [
        ("op", name, canonical(dict(sorted(params.items(), key=lambda kv: kv[0].encode())))) for name, params in chain
    ]
    kept = [(v["name"], canonical(v["params"])) for v in views if v["kind"] == "reduction"]
    expected = []
    for name, params in reductions:
        entry = (name, canonical(dict(sorted(params.items(), key=lambda kv: kv[0].encode()))))
        if entry not in expected:
            expected.append(entry)
    assert kept == expected
