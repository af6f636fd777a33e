"""Properties of recording: identity is exactly structural equality under the documented rules."""

import math
import struct

from optional import require

require("hypothesis")

from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import veltrix_core as vc

keys = st.text(max_size=6)
values = st.one_of(
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.text(max_size=6),
)
param_dicts = st.dictionaries(keys, values, max_size=5)


def canonical(value):
    """The identity of a param value: its variant plus its payload, floats by canonical bits."""
    if isinstance(value, bool):
        return ("b", value)
    if isinstance(value, int):
        return ("i", value)
    if isinstance(value, float):
        bits = struct.unpack("<Q", struct.pack("<d", value))[0]
        return ("f", 0x7FF8000000000000 if math.isnan(value) else bits)
    return ("s", value)


def canonical_params(params):
    return tuple(sorted(((k.encode(), canonical(v)) for k, v in params.items())))


@given(param_dicts, st.randoms())
def test_param_order_never_matters(params, rnd):
    store = vc.GraphStore()
    first = store.add_source("x", params)
    items = list(params.items())
    rnd.shuffle(items)
    assert store.add_source("x", dict(items)) == first
    assert list(store.nodes()[first]["params"]) == sorted(params, key=str.encode)


@given(st.integers(min_value=0, max_value=2**64 - 1), st.integers(min_value=0, max_value=2**64 - 1))
def test_floats_are_one_node_exactly_when_canonical_bits_agree(a_bits, b_bits):
    a, b = (struct.unpack("<d", struct.pack("<Q", bits))[0] for bits in (a_bits, b_bits))
    store = vc.GraphStore()
    ia, ib = store.add_source("x", {"k": a}), store.add_source("x", {"k": b})
    assert (ia == ib) == (canonical(a) == canonical(b))
    back = store.nodes()[ia]["params"]["k"]
    assert struct.pack("<d", back) == struct.pack("<d", a)  # stored bit for bit


# Texts dense in the characters that a node's encoding escapes or splits on.
awkward_text = st.text(alphabet=st.one_of(st.sampled_from("|;=%3Bisfb"), st.characters(codec="utf-8")), max_size=8)


@given(awkward_text, st.dictionaries(awkward_text, values, max_size=4))
def test_a_fused_op_reads_back_from_its_stage_member_token(name, params):
    store = vc.GraphStore()
    op = store.add_op(name, [store.add_source("x")], params)
    reduced, _ = store.reduce(outputs=[op])
    stage = reduced.nodes()[-1]
    if stage["kind"] != "stage":  # an identity op leaves nothing to fuse
        assert set(params) == {"scalar", "side"}
        return
    (member,) = stage["members"]
    assert (member["kind"], member["name"]) == ("op", name)
    assert canonical_params(member["params"]) == canonical_params(params)


node_kinds = st.sampled_from(["source", "op", "reduction", "exchange", "external"])


@st.composite
def recordings(draw):
    """A sequence of recording calls whose inputs name earlier nodes, with many repeats."""
    calls = []
    count = 0
    for _ in range(draw(st.integers(min_value=1, max_value=40))):
        kind = draw(node_kinds)
        if count == 0:
            kind = "source"
        name = draw(st.sampled_from(["a", "b", "add", ""]))
        params = draw(st.dictionaries(st.sampled_from(["k", "j", "ü"]), values, max_size=2))
        inputs = draw(st.lists(st.integers(min_value=0, max_value=max(count - 1, 0)), max_size=3)) if count else []
        ref = draw(st.sampled_from([None, "", "p"]))
        calls.append((kind, name, params, inputs, ref))
        count += 1  # an upper bound: repeats make the real count smaller, ids stay valid
    return calls


def reference_key(kind, name, params, inputs, ref):
    fields = (kind, canonical_params(params))
    if kind == "source":
        return fields + (name,)
    if kind == "external":
        return fields + (ref, tuple(inputs))
    if kind == "exchange":
        return fields + (tuple(inputs),)
    return fields + (name, tuple(inputs))


@given(recordings())
def test_store_agrees_with_a_reference_interner(calls):
    store = vc.GraphStore()
    reference = {}
    for kind, name, params, inputs, ref in calls:
        inputs = [i for i in inputs if i < len(reference)]
        if kind == "source":
            got = store.add_source(name, params)
        elif kind == "op":
            got = store.add_op(name, inputs, params)
        elif kind == "reduction":
            got = store.add_reduction(name, inputs, params)
        elif kind == "exchange":
            got = store.add_exchange(inputs, params)
        else:
            descriptor = dict(
                kind="k", content_hash="h", framework="f", version="v", io_schema="s", preprocessing_ref=ref
            )
            got = store.add_external(descriptor, inputs, params)
        expected = reference.setdefault(reference_key(kind, name, params, inputs, ref), len(reference))
        assert got == expected
    assert store.node_count() == len(reference)
    views = store.nodes()
    assert [v["id"] for v in views] == list(range(len(reference)))
    assert all(all(i < v["id"] for i in v["inputs"]) for v in views)
