"""IR blobs (serialize / deserialize) and DOT rendering (to_dot) through the public surface."""

import json
import math
import re
import shutil
import subprocess

import pytest
from optional import require

require("hypothesis")

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from ir_blob import (
    BOOL,
    EXCHANGE,
    EXTERNAL,
    FLOAT,
    INPUT_REF,
    INT,
    KIND_NAMES,
    MEMBER_REF,
    OP,
    REDUCTION,
    SOURCE,
    STAGE,
    STR,
    Node,
    bits_float,
    blob,
    first_occurrences,
    float_bits,
    id_list,
    node_bytes,
    sorted_params,
    string,
    u8,
    u32,
)

import veltrix_core as vc

GraphStore = vc.GraphStore

BLOB_ERROR = re.compile(
    r"truncated veltrix IR blob|not a veltrix IR blob \(bad magic/version\)|invalid (node|param|stage-ref) tag \d+"
    r"|invalid utf-8 in veltrix IR blob|node reference \d+ out of range"
    r"|node with more parameters or inputs than a veltrix graph store can hold"
)


def descriptor(pre=None, **changes):
    fields = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s", preprocessing_ref=pre)
    fields.update(changes)
    return fields


def canonical(value):
    """Node views with floats compared by bits, so NaN equals itself and -0.0 differs from 0.0."""
    if isinstance(value, float):
        return ("float", float_bits(value))
    if isinstance(value, dict):
        return {k: canonical(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(canonical(v) for v in value)
    return value


def sample_store():
    store = GraphStore()
    x = store.add_source("x", {"seed": -7, "shape": "2x3"})
    add = store.add_op("add", [x, x], {"alpha": 1.5, "flag": True})
    red = store.add_reduction("sum", [add], {"axis": 0})
    ext = store.add_external(descriptor(pre=""), [red, x], {"k": "é"})
    store.add_exchange([ext], {"scheme": "hash"})
    return store


# ---------------------------------------------------------------------------------------------
# Method surface


@pytest.mark.parametrize(
    "method, signature, doc_start",
    [
        ("to_dot", "($self)", ""),
        ("serialize", "($self, outputs=None)", "Serialize the IR to the canonical, versioned, byte-identical"),
        ("deserialize", "(data)", "Rebuild a store from canonical bytes. A round trip reproduces"),
    ],
)
def test_docstrings_and_signatures(method, signature, doc_start):
    function = getattr(GraphStore, method)
    assert function.__text_signature__ == signature
    assert (function.__doc__ or "").startswith(doc_start)
    if method == "serialize":
        assert "the serializable IR \u2014 not cloudpickle \u2014 is the canonical" in function.__doc__
        assert function.__doc__.endswith("the default keeps the marks-based behavior.")
    if method == "deserialize":
        assert function.__doc__.endswith(
            "`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."
        )


def test_deserialize_is_static_and_ignores_the_instance():
    data = sample_store().serialize(outputs=[4])
    other = GraphStore()
    other.add_source("unrelated")
    for rebuilt in (GraphStore.deserialize(data), other.deserialize(data), GraphStore.deserialize(data=data)):
        assert type(rebuilt) is GraphStore
        assert rebuilt.serialize() == data
    assert other.node_count() == 1


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.serialize(outputs="01"), TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        (lambda s: s.serialize({0}), TypeError, "argument 'outputs': 'set' object is not an instance of 'Sequence'"),
        (lambda s: s.serialize(outputs=[0, 7]), ValueError, "no node with id 7"),
        (lambda s: s.serialize(outputs=[5]), ValueError, "no node with id 5"),
        (lambda s: s.serialize(outputs=[9, "x"]), TypeError, None),  # conversion before the range check
        (lambda s: s.serialize(outputs=[-1]), OverflowError, None),
        (
            lambda s: s.serialize([], []),
            TypeError,
            "GraphStore.serialize() takes from 0 to 1 positional arguments but 2 were given",
        ),
        (
            lambda s: s.serialize(output=[]),
            TypeError,
            "GraphStore.serialize() got an unexpected keyword argument 'output'",
        ),
        (
            lambda s: GraphStore.deserialize(bytearray(b"VIR1")),
            TypeError,
            "argument 'data': 'bytearray' object is not an instance of 'bytes'",
        ),
        (
            lambda s: GraphStore.deserialize(memoryview(b"VIR1")),
            TypeError,
            "argument 'data': 'memoryview' object is not an instance of 'bytes'",
        ),
        (
            lambda s: GraphStore.deserialize("VIR1"),
            TypeError,
            "argument 'data': 'str' object is not an instance of 'bytes'",
        ),
        (lambda s: GraphStore.deserialize(None), TypeError, "argument 'data': 'None' is not an instance of 'bytes'"),
        (
            lambda s: GraphStore.deserialize(),
            TypeError,
            "GraphStore.deserialize() missing 1 required positional argument: 'data'",
        ),
        (
            lambda s: GraphStore.deserialize(b"", b""),
            TypeError,
            "GraphStore.deserialize() takes 1 positional arguments but 2 were given",
        ),
        (lambda s: s.to_dot(1), TypeError, None),
    ],
)
def test_argument_failures_leave_the_store_unchanged(call, error, message):
    store = sample_store()
    before = store.serialize()
    with pytest.raises(error) as raised:
        call(store)
    if message is not None:
        assert str(raised.value) == message
    assert store.serialize() == before


def test_serialize_outputs_none_is_the_default_and_bytes_subclasses_are_accepted():
    store = GraphStore.deserialize(blob([Node(SOURCE, "a"), Node(SOURCE, "b")], [1]))
    assert store.serialize(outputs=None) == store.serialize() == blob([Node(SOURCE, "a"), Node(SOURCE, "b")], [1])

    class Blob(bytes):
        pass

    assert GraphStore.deserialize(Blob(store.serialize())).outputs() == [1]


# ---------------------------------------------------------------------------------------------
# The byte format's edge cases


# The reader's messages are covered case by case natively; these show that each kind of failure
# reaches Python as ValueError with its message.
@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "truncated veltrix IR blob"),
        (b"ABCD", "not a veltrix IR blob (bad magic/version)"),
        (b"VIR1" + u32(1) + u8(6), "invalid node tag 6"),
        (b"VIR1" + u32(1) + node_bytes(Node(SOURCE, "a")) + id_list([1]), "node reference 1 out of range"),
        (b"VIR1" + u32(1) + u8(0) + string(b"\xff") + u32(0) + u32(0), "invalid utf-8 in veltrix IR blob"),
        (b"VIR1" + u32(0xFFFFFFFF), "truncated veltrix IR blob"),
    ],
)
def test_unreadable_blobs(data, message):
    with pytest.raises(ValueError) as raised:
        GraphStore.deserialize(data)
    assert str(raised.value) == message


def test_a_node_beyond_what_a_store_holds_is_refused_not_a_panic():
    # One Source with 2^24 Bool params (six bytes each, the empty key repeated): one more than a
    # node table entry holds. The same count with the entries missing is an ordinary truncation.
    count = 1 << 24
    head = b"VIR1" + u32(1) + u8(SOURCE) + string("a") + u32(count)
    with pytest.raises(ValueError, match="^node with more parameters or inputs than a veltrix graph store can hold$"):
        GraphStore.deserialize(head + (string("") + u8(BOOL) + u8(1)) * count + u32(0))
    with pytest.raises(ValueError, match="^truncated veltrix IR blob$"):
        GraphStore.deserialize(head + string("") + u8(BOOL) + u8(1))


def test_explicit_output_list_keeps_repeats_and_marks_do_not():
    store = GraphStore()
    for name in "abc":
        store.add_source(name)
    data = store.serialize(outputs=[2, 2])
    assert data.endswith(id_list([2, 2]))
    rebuilt = GraphStore.deserialize(data)
    assert rebuilt.outputs() == [2]
    assert rebuilt.serialize().endswith(id_list([2]))
    assert rebuilt.nodes() == [{**v, "output": v["id"] == 2} for v in store.nodes()]


def rich_blob():
    nodes = [
        Node(SOURCE, "x", (("f", FLOAT, float_bits(-0.0)), ("i", INT, -(2**63)), ("s", STR, 'a"\\\n'))),
        Node(SOURCE, "y", (("nan", FLOAT, 0xFFF0000000000123),)),
        Node(OP, "add", (("b", BOOL, 1),), (0, 1, 0)),
        Node(REDUCTION, "sum", (), (2,)),
        Node(EXTERNAL, "", (("k", STR, ""),), (3,), ("k", "h", "f", "v", "s", "pre")),
        Node(EXTERNAL, "", (), (), ("k", "h", "f", "v", "s", None)),
        Node(EXCHANGE, "", (("scheme", STR, "hash"),), (4,)),
        Node(STAGE, "", (), (6, 5), (("op|neg", ((INPUT_REF, 0),)), ("red|sum", ((MEMBER_REF, 0), (INPUT_REF, 1))))),
    ]
    return blob(nodes, [7, 0])


# ---------------------------------------------------------------------------------------------
# Round trips of random stores

keys = st.text(alphabet="abZé\x00", max_size=3)
texts = st.text(max_size=8)
TOKENS = ["op|neg", "red|sum", "op|add|alpha=f3ff8000000000000", "red|max|axis=i1;keep=btrue", "op|a%7Cb|s=sx%3Dy"]


@st.composite
def param_entries(draw, unique):
    entries = draw(
        st.lists(
            st.one_of(
                st.tuples(keys, st.just(INT), st.integers(-(2**63), 2**63 - 1)),
                st.tuples(keys, st.just(FLOAT), st.one_of(st.floats().map(float_bits), st.integers(0, 2**64 - 1))),
                st.tuples(keys, st.just(BOOL), st.integers(0, 1)),
                st.tuples(keys, st.just(STR), texts),
            ),
            max_size=4,
            unique_by=(lambda e: e[0]) if unique else None,
        )
    )
    return tuple(entries)


@st.composite
def models(draw, kinds, unique_keys):
    """Distinct nodes in id order (params as drawn, not yet sorted) and an output list."""
    nodes, seen = [], set()
    for _ in range(draw(st.integers(0, 10))):
        kind = draw(st.sampled_from(kinds))
        ids = st.lists(st.integers(0, len(nodes) - 1), max_size=4) if nodes else st.just([])
        inputs = () if kind == SOURCE else tuple(draw(ids))
        name = draw(texts) if kind in (SOURCE, OP, REDUCTION) else ""
        params = () if kind == STAGE else draw(param_entries(unique_keys))
        desc = None
        if kind == EXTERNAL:
            desc = tuple(draw(texts) for _ in range(5)) + (draw(st.none() | texts),)
        members = ()
        if kind == STAGE:
            members = tuple(
                (
                    draw(st.sampled_from(TOKENS)),
                    tuple(
                        draw(
                            st.lists(
                                st.one_of(
                                    st.tuples(st.just(INPUT_REF), st.integers(0, 2**32 - 1)),
                                    *([st.tuples(st.just(MEMBER_REF), st.integers(0, m - 1))] if m else []),
                                ),
                                max_size=3,
                            )
                        )
                    ),
                )
                for m in range(draw(st.integers(0, 3)))
            )
        node = Node(kind, name, params, inputs, desc, members)
        canonical_node = Node(kind, name, sorted_params(params), inputs, desc, members)
        if canonical_node.identity() not in seen:
            seen.add(canonical_node.identity())
            nodes.append(node)
    outputs = draw(st.lists(st.integers(0, len(nodes) - 1), max_size=5)) if nodes else []
    return nodes, outputs


def canonical_nodes(nodes):
    return [Node(n.kind, n.name, sorted_params(n.params), n.inputs, n.descriptor, n.members) for n in nodes]


def record(store, node):
    params = {k: bits_float(v) if t == FLOAT else bool(v) if t == BOOL else v for k, t, v in node.params}
    if node.kind == SOURCE:
        return store.add_source(node.name, params)
    if node.kind == OP:
        return store.add_op(node.name, list(node.inputs), params)
    if node.kind == REDUCTION:
        return store.add_reduction(node.name, list(node.inputs), params)
    if node.kind == EXTERNAL:
        fields = dict(
            zip(["kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"], node.descriptor)
        )
        return store.add_external(fields, list(node.inputs), params)
    return store.add_exchange(list(node.inputs), params)


def assert_round_trip(store):
    data = store.serialize()
    rebuilt = GraphStore.deserialize(data)
    assert rebuilt.node_count() == store.node_count()
    assert canonical(rebuilt.nodes()) == canonical(store.nodes())
    assert rebuilt.outputs() == store.outputs()
    assert rebuilt.serialize() == data


@given(models(kinds=[SOURCE, OP, REDUCTION, EXTERNAL, EXCHANGE], unique_keys=True))
def test_recorded_stores_serialize_as_the_reference_writer_does(model):
    nodes, outputs = model
    store = GraphStore()
    assert [record(store, n) for n in nodes] == list(range(len(nodes)))
    assert store.serialize(outputs=outputs) == blob(canonical_nodes(nodes), outputs)
    assert_round_trip(GraphStore.deserialize(store.serialize(outputs=outputs)))


@given(models(kinds=[SOURCE, OP, REDUCTION, EXTERNAL, STAGE, EXCHANGE], unique_keys=False))
def test_stores_of_every_kind_round_trip(model):
    nodes, outputs = model
    # Params are written as drawn (out of order, keys repeated); the reader puts them in order.
    store = GraphStore.deserialize(blob(nodes, outputs))
    assert store.node_count() == len(nodes)
    assert store.outputs() == first_occurrences(outputs)
    assert store.serialize(outputs=outputs) == blob(canonical_nodes(nodes), outputs)
    views = store.nodes()
    assert [(v["kind"], v["name"], v["inputs"], v["output"]) for v in views] == [
        (KIND_NAMES[n.kind], n.name, list(n.inputs), i in outputs) for i, n in enumerate(nodes)
    ]
    assert [v.get("n_members") for v in views] == [len(n.members) if n.kind == STAGE else None for n in nodes]
    assert_round_trip(store)


@settings(max_examples=300)
@given(st.data())
def test_any_bytes_end_in_a_store_or_a_blob_error(data):
    base = bytearray(rich_blob())
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(0, len(base)))
        action = data.draw(st.sampled_from(["set", "insert", "delete", "cut"]))
        if action == "set" and at < len(base):
            base[at] = data.draw(st.integers(0, 255))
        elif action == "insert":
            base[at:at] = data.draw(st.binary(min_size=1, max_size=8))
        elif action == "delete":
            del base[at : at + data.draw(st.integers(1, 8))]
        else:
            del base[at:]
    try:
        store = GraphStore.deserialize(bytes(base))
    except ValueError as error:
        assert BLOB_ERROR.fullmatch(str(error)), str(error)
    else:
        # Not through nodes(): a mutated stage member token need not parse as one.
        data = store.serialize()
        rebuilt = GraphStore.deserialize(data)
        assert (rebuilt.serialize(), rebuilt.outputs(), rebuilt.to_dot()) == (data, store.outputs(), store.to_dot())


# ---------------------------------------------------------------------------------------------
# DOT


def test_dot_of_a_rebuilt_store_with_a_marked_op():
    data = blob([Node(SOURCE, "x"), Node(OP, "neg", (("scale", FLOAT, float_bits(2.0)),), (0,))], [1])
    assert GraphStore.deserialize(data).to_dot() == (
        "digraph veltrix {\n"
        '  n0 [label="Source x"];\n'
        '  n1 [label="Op neg {scale=2}", shape=doublecircle];\n'
        "  n0 -> n1;\n"
        "}\n"
    )
    assert GraphStore().to_dot() == "digraph veltrix {\n}\n"


AWKWARD = [
    "",
    "plain",
    'a"b',
    "a\\",
    "\\",
    '\\"',
    '"',
    '""',
    "line\nfeed",
    "back\\\nslash",
    "cr\rtab\t",
    "{}[];,=->",
    "digraph",
    "node",
    "edge",
    "subgraph",
    "strict",
    "<b>html</b>",
    "\u00e9\u4e2d\U0001f600",
    "e\u0301",
    "\u200b\u202e",
    "\x01\x1f\x7f",
    "a\\nb",
    "\\N\\G\\l",
    "it's",
    "--",
    "n0 -> n1",
]


def awkward_store(names):
    nodes = []
    for name in names:
        nodes.append(Node(SOURCE, name, (("s", STR, name),)))
    for i, name in enumerate(names):
        nodes.append(Node(OP, name, (), (i, i, max(i - 1, 0))))
    nodes.append(Node(EXTERNAL, "", (("x", FLOAT, float_bits(math.nan)),), (0,), tuple(names[:5]) + (None,)))
    nodes.append(Node(EXCHANGE, "", (("scheme", STR, names[-1]),), (len(nodes) - 1,)))
    nodes.append(Node(STAGE, "", (), (1, 0, len(nodes) - 1), (("op|neg", ((INPUT_REF, 0),)),)))
    store = GraphStore.deserialize(blob(nodes, [0, len(nodes) - 1, 3]))
    assert store.node_count() == len(nodes)  # distinct names: ids equal positions
    return store


def run_dot(text):
    done = subprocess.run(["dot", "-Tjson0"], input=text.encode(), capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    assert b"rror" not in done.stderr and b"syntax" not in done.stderr, done.stderr.decode(errors="replace")
    return json.loads(done.stdout, strict=False)


needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")


def check_accepted(store):
    graph = run_dot(store.to_dot())
    views = store.nodes()
    objects = sorted(graph.get("objects", []), key=lambda o: int(o["name"][1:]))
    assert [o["name"] for o in objects] == [f"n{v['id']}" for v in views]
    assert len(graph.get("edges", [])) == sum(len(v["inputs"]) for v in views)
    for o, v in zip(objects, views):
        # Graphviz unescapes \" and keeps \\ as written, so a name shows with its backslashes doubled.
        if v["kind"] == "op" and not v["params"]:
            assert o["label"] == "Op " + v["name"].replace("\\", "\\\\")
        assert (o.get("shape") == "doublecircle") == v["output"]


@needs_dot
def test_graphviz_accepts_awkward_graphs():
    check_accepted(awkward_store(AWKWARD))


@needs_dot
@settings(max_examples=25)
@given(
    st.lists(
        st.text(st.characters(blacklist_characters="\x00", blacklist_categories=("Cs",)), max_size=12),
        min_size=5,
        max_size=8,
        unique=True,
    )
)
def test_graphviz_accepts_random_names(names):
    check_accepted(awkward_store(names))
