"""Recording through the add_* methods: interning, parameter maps, descriptors, node views."""

import math
import struct

import pytest

import veltrix_core as vc


def descriptor_fields(**changes):
    fields = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    fields.update(changes)
    return fields


def make_descriptor(**changes):
    return vc.PayloadDescriptor(**descriptor_fields(**changes))


class IntLike:
    def __index__(self):
        return 7


class FloatLike:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "value, stored",
    [
        (True, True),
        (False, False),
        (1, 1),
        (-(2**63), -(2**63)),
        (2**63 - 1, 2**63 - 1),
        (2**63, 9.223372036854776e18),
        (-(2**64), -1.8446744073709552e19),
        (IntLike(), 7),
        (FloatLike(), 2.5),
        (1.5, 1.5),
        ("1", "1"),
        ("", ""),
    ],
)
def test_param_values_convert_in_fixed_order(value, stored):
    store = vc.GraphStore()
    store.add_source("x", {"k": value})
    back = store.nodes()[0]["params"]["k"]
    assert type(back) is type(stored) and back == stored


@pytest.mark.parametrize("value", [None, 10**400, [1], b"x", object()])
def test_unsupported_param_values(value):
    store = vc.GraphStore()
    with pytest.raises(TypeError) as info:
        store.add_source("x", {"k": value})
    assert str(info.value) == "param values must be int, float, bool, or str"
    assert store.node_count() == 0


@pytest.mark.parametrize("params", [[("a", 1)], (), "x", 1, vc.GraphStore()])
def test_params_must_be_a_dict(params):
    with pytest.raises(TypeError, match=r"^params must be a dict or None$"):
        vc.GraphStore().add_source("x", params)


def test_param_keys_must_be_strings_unwrapped():
    with pytest.raises(TypeError) as info:
        vc.GraphStore().add_source("x", {1: 2})
    assert str(info.value) == "'int' object is not an instance of 'str'"


def test_params_dict_subclass_and_key_order():
    class D(dict):
        def __missing__(self, key):
            return 0

    store = vc.GraphStore()
    a = store.add_source("x", D(b=1, a=2))
    assert store.add_source("x", {"a": 2, "b": 1}) == a
    assert list(store.nodes()[a]["params"]) == ["a", "b"]
    keys = ["b", "ab", "Z", "a", "\u00e9", "\U0001f600"]
    n = store.add_source("y", {k: 0 for k in keys})
    assert list(store.nodes()[n]["params"]) == sorted(keys, key=lambda k: k.encode())


def test_values_of_three_variants_are_three_nodes():
    store = vc.GraphStore()
    ids = [store.add_source("x", {"k": v}) for v in (True, 1, 1.0)]
    assert len(set(ids)) == 3
    views = store.nodes()
    assert [type(views[i]["params"]["k"]) for i in ids] == [bool, int, float]


def test_float_identity_by_canonical_bits():
    store = vc.GraphStore()
    pos, neg = store.add_source("x", {"k": 0.0}), store.add_source("x", {"k": -0.0})
    assert pos != neg
    nan1 = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000001))[0]
    nan2 = struct.unpack("<d", struct.pack("<Q", 0xFFF0000000000123))[0]
    first = store.add_source("x", {"k": nan1})
    assert store.add_source("x", {"k": nan2}) == first
    assert store.add_source("x", {"k": math.nan}) == first
    stored = store.nodes()[first]["params"]["k"]
    assert struct.pack("<d", stored) == struct.pack("<d", nan1)  # bits are kept as recorded
    assert math.copysign(1, store.nodes()[neg]["params"]["k"]) == -1


def test_recording_interns_and_keeps_input_order():
    store = vc.GraphStore()
    x, y = store.add_source("x"), store.add_source("y")
    assert store.add_source("x") == x
    add = store.add_op("add", [x, y])
    assert store.add_op("add", [y, x]) != add
    assert store.add_op("add", [x, y]) == add
    assert store.add_op("x", []) not in (x, y)
    assert store.add_reduction("add", [x, y]) != add
    twice = store.add_op("mul", [x, x])
    assert store.nodes()[twice]["inputs"] == [x, x]
    assert store.node_count() == 7
    assert store.outputs() == []


def test_external_descriptors_dict_and_object_agree():
    store = vc.GraphStore()
    src = store.add_source("x")
    from_obj = store.add_external(make_descriptor(), [src])
    assert store.add_external(descriptor_fields(), [src]) == from_obj
    assert store.add_external(dict(descriptor_fields(), extra="ignored"), [src]) == from_obj
    assert store.add_external(dict(descriptor_fields(), preprocessing_ref=None), [src]) == from_obj
    empty_ref = store.add_external(make_descriptor(preprocessing_ref=""), [src])
    assert empty_ref != from_obj
    assert store.add_external(make_descriptor(io_schema="other"), [src]) not in (from_obj, empty_ref)
    view = store.nodes()[from_obj]
    assert view["name"] == "" and view["kind"] == "external"
    assert view["descriptor"] == dict(descriptor_fields(), preprocessing_ref=None)
    assert list(view["descriptor"]) == [
        "kind",
        "content_hash",
        "framework",
        "version",
        "io_schema",
        "preprocessing_ref",
    ]
    assert store.nodes()[empty_ref]["descriptor"]["preprocessing_ref"] == ""


@pytest.mark.parametrize(
    "descriptor, inputs, exc_type, message",
    [
        ({"kind": "k"}, [], ValueError, "descriptor missing required field 'content_hash'"),
        ({}, [], ValueError, "descriptor missing required field 'kind'"),
        (dict(descriptor_fields(), preprocessing_ref=3), [], TypeError, "'int' object is not an instance of 'str'"),
        (dict(descriptor_fields(), version=None), [], TypeError, "'None' is not an instance of 'str'"),
        ({"preprocessing_ref": 3}, [], TypeError, "'int' object is not an instance of 'str'"),
        (None, [], TypeError, "descriptor must be a PayloadDescriptor or dict"),
        ([("kind", "k")], [], TypeError, "descriptor must be a PayloadDescriptor or dict"),
        (5, "x", TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
        (descriptor_fields(), [3], ValueError, "no node with id 3"),
    ],
)
def test_external_refusals(descriptor, inputs, exc_type, message):
    store = vc.GraphStore()
    with pytest.raises(exc_type) as info:
        store.add_external(descriptor, inputs)
    assert str(info.value) == message
    assert store.node_count() == 0


def test_payload_descriptor_attributes_are_read_only():
    d = make_descriptor()
    assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref) == (
        "k",
        "h",
        "f",
        "v",
        "s",
        None,
    )
    assert make_descriptor(preprocessing_ref="").preprocessing_ref == ""
    assert make_descriptor(preprocessing_ref=None).preprocessing_ref is None
    for name in ("kind", "preprocessing_ref"):
        with pytest.raises(AttributeError):
            setattr(d, name, "x")
        with pytest.raises(AttributeError):
            delattr(d, name)
    assert type(d).kind.__doc__ == ""
    assert make_descriptor() != make_descriptor()
    with pytest.raises(TypeError) as info:
        make_descriptor(version=1)
    assert str(info.value) == "argument 'version': 'int' object is not an instance of 'str'"
    with pytest.raises(TypeError) as info:
        make_descriptor(preprocessing_ref=b"x")
    assert str(info.value) == "argument 'preprocessing_ref': 'bytes' object is not an instance of 'str'"


def test_exchange_has_no_name_and_any_arity():
    store = vc.GraphStore()
    a = store.add_source("a")
    ex = store.add_exchange([a, a, a], {"scheme": "hash"})
    empty = store.add_exchange([])
    views = store.nodes()
    assert views[ex] == {
        "id": ex,
        "output": False,
        "inputs": [a, a, a],
        "kind": "exchange",
        "name": "",
        "params": {"scheme": "hash"},
    }
    assert views[empty]["inputs"] == [] and views[empty]["params"] == {}


def test_node_views_are_fresh_objects():
    store = vc.GraphStore()
    a = store.add_source("a", {"k": 1})
    views = store.nodes()
    assert list(views[0]) == ["id", "output", "inputs", "kind", "name", "params"]
    views[0]["params"]["k"] = 99
    views[0]["inputs"].append(5)
    assert store.nodes()[a]["params"] == {"k": 1}
    assert store.nodes()[a]["inputs"] == []
    assert vc.GraphStore().nodes() == []
