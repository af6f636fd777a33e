"""A graph and its reduction compute the same values with the default registry, bit for bit:
every op, reduction and identity form of the registry over every value dtype, 0-d and n-d
arrays and Python scalars and lists as sources, the recorded graph against `reduce` (both
fusion rules) and the incremental reducer's `finalize`. Values agree in Python type, dtype,
shape and bytes, with every NaN one value and the signs of zeros counting."""

import itertools

import pytest
from optional import require

np = require("numpy")
require("hypothesis")

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import veltrix_core as vc  # noqa: E402
from veltrix_core import rules, run  # noqa: E402
from veltrix_core.run.registry import MEANINGS  # noqa: E402

# The rules the reducer applies, read from it: the registry must make every one of them exact.
COMMUTATIVE = list(rules.COMMUTATIVE_OPS)
IDENTITIES = list(rules.IDENTITY_FORMS)
REGISTRY = run.default_registry()
VALUE_DTYPES = [np.dtype(name) for name in ("bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32")]
VALUE_DTYPES += [np.dtype(name) for name in ("uint64", "float16", "float32", "float64", "complex64", "complex128")]


def value_key(value):
    """Python type, dtype, shape and bytes of a value, every NaN (each part of a complex one)
    written as one bit pattern; zeros keep their sign."""
    array = np.array(value)  # a copy, so that NaNs can be rewritten
    if array.dtype.kind in "fc":
        parts = array.reshape(-1).view(array.real.dtype)
        parts[np.isnan(parts)] = np.nan
    return type(value), array.dtype.str, array.shape, array.tobytes()


# ---- every pair of special values meets, in both orders, for every pair of dtypes


def specials(dtype):
    """The values where operand order shows: zeros of both signs, NaNs of other signs and
    payloads, infinities, inexact products and the ends of integer ranges."""
    if dtype.kind == "b":
        return np.array([False, True])
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return np.array(sorted({info.min, info.min + 1, 0, 1, 2, info.max}), dtype=dtype)
    part = np.dtype(dtype.char.lower()) if dtype.kind == "c" else dtype
    bits = np.dtype(f"u{part.itemsize}")
    nan = np.array(np.nan, part).view(bits)
    payloads = np.array([nan, nan | 1, nan | (bits.type(1) << bits.type(part.itemsize * 8 - 1))], bits).view(part)
    # 0.1 and 3.3 have inexact products, which show a product fused into a sum
    reals = np.concatenate([np.array([0.0, -0.0, np.inf, -np.inf, 1.0, -1.5, 0.1, 3.3], part), payloads])
    if dtype.kind == "f":
        return reals
    return complex_grid(reals, dtype)


def complex_grid(parts, dtype):
    grid = np.empty((len(parts), len(parts)), dtype)
    grid.real, grid.imag = parts[:, None], parts[None, :]
    return grid.ravel()


@pytest.mark.parametrize("name", COMMUTATIVE)
def test_commutative_ops_commute_to_the_bit_for_every_pair_of_dtypes(name):
    entry = REGISTRY["op", name]
    for left, right in itertools.product(VALUE_DTYPES, repeat=2):
        a, b = specials(left), specials(right)
        a, b = np.repeat(a, len(b)), np.tile(b, len(a))  # every pair of values meets
        assert value_key(entry([a, b], {})) == value_key(entry([b, a], {})), (name, left, right)


# ---- whole graphs: recorded against reduced


def float_parts(dtype):
    part = np.dtype(dtype.char.lower()) if dtype.kind == "c" else dtype
    return st.sampled_from(list(specials(part))) | st.floats(-4, 4, width=part.itemsize * 8)


def elements(dtype):
    if dtype.kind == "b":
        return st.booleans()
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return st.sampled_from(list(specials(dtype))) | st.integers(int(info.min), int(info.max))
    if dtype.kind == "f":
        return float_parts(dtype)
    return st.tuples(float_parts(dtype), float_parts(dtype))


ELEMENTS = {dtype: elements(dtype) for dtype in VALUE_DTYPES}


@st.composite
def arrays(draw, shape):
    dtype = draw(st.sampled_from(VALUE_DTYPES))
    size = int(np.prod(shape))
    data = draw(st.lists(ELEMENTS[dtype], min_size=size, max_size=size))
    array = np.empty(size, dtype)
    for i, element in enumerate(data):
        if dtype.kind == "c":
            array.real[i], array.imag[i] = element
        else:
            array[i] = element
    return array.reshape(shape)


PYTHON_SCALARS = (
    st.booleans()
    | st.integers(-(2**64), 2**64)
    | st.floats(allow_nan=True)
    | st.complex_numbers(allow_nan=True)
    | st.sampled_from([0.0, -0.0, complex(-0.0, -0.0), 2**63])
)

# Every input shape broadcasts with every other.
SHAPES = [(), (3,), (2, 3)]


@st.composite
def source_values(draw):
    """An array, a Python scalar or a list of Python scalars of one type."""
    choice = draw(st.sampled_from(["array", "array", "scalar", "list"]))
    if choice == "array":
        return draw(arrays(draw(st.sampled_from(SHAPES))))
    if choice == "scalar":
        return draw(PYTHON_SCALARS)
    kind = draw(st.sampled_from([st.booleans(), st.integers(-(2**63), 2**63 - 1), st.floats(), st.complex_numbers()]))
    return draw(st.lists(kind, min_size=3, max_size=3))


SCALAR_PARAMS = st.fixed_dictionaries(
    {"scalar": st.sampled_from([0.0, -0.0, 1.0, 1, True, 0, 0.5, -2.0, 3, np.nan]), "side": st.sampled_from("lr")}
)
REDUCTION_PARAMS = st.builds(
    lambda axis, keepdims: {**axis, **keepdims},
    st.sampled_from([{}, {"axis": 0}, {"axis": -1}]),
    st.sampled_from([{}, {"keepdims": True}, {"keepdims": False}]),
)
OP_PARAMS = {
    "cast": st.fixed_dictionaries({"dtype": st.sampled_from([dtype.name for dtype in VALUE_DTYPES])}),
    "getitem": st.fixed_dictionaries({"key": st.sampled_from([0, -1])}),
    "full_like": st.fixed_dictionaries({"value": st.sampled_from([0.0, -0.0, 2, True, 1.5])}),
    "stack": st.just({"axis": 0}),
}


def forms():
    """(test id, kind, name, number of inputs or None for any, a strategy of params) for every
    meaning of the registry, and the scalar form of every binary op that has one."""
    cases = []
    for kind, name, _, arity, reads, _ in MEANINGS:
        if kind == "reduction":
            cases.append((f"reduction {name}", kind, name, arity, REDUCTION_PARAMS))
            continue
        cases.append((name, kind, name, arity, OP_PARAMS.get(name, st.just({}))))
        if reads == ("scalar", "side"):
            cases.append((f"{name} scalar", kind, name, 1, SCALAR_PARAMS))
    return cases


FORMS = forms()
FORM_IDS = [case[0] for case in FORMS]


def record(store, kind, name, inputs, params):
    if kind == "reduction":
        return store.add_reduction(name, inputs, params)
    return store.add_op(name, inputs, params)


def outcome(evaluate):
    try:
        return [value_key(v) for v in evaluate()]
    except run.RunError as error:
        return type(error).__name__


def reductions(store, outputs):
    """(label, reduced store, reduced output ids) for every reduction compared."""
    yield "reduce", *run.reduce(store, outputs)[::2]
    yield "reduce maximal", *run.reduce(store, outputs, maximal_fusion=True)[::2]
    reducer = vc.IncrementalReducer()
    reducer.step(store)
    yield "finalize", *run.finalize(reducer, store, outputs)[::2]


@pytest.mark.parametrize(("label", "kind", "name", "arity", "params"), FORMS, ids=FORM_IDS)
@settings(max_examples=max(6, settings().max_examples // 8))
@given(data=st.data())
def test_a_graph_and_its_reductions_compute_the_same_values(label, kind, name, arity, params, data):
    count = arity if arity is not None else data.draw(st.integers(1, 3))
    values = [data.draw(source_values()) for _ in range(count)]
    params = data.draw(params)
    identity_name, identity_params = data.draw(st.sampled_from(IDENTITIES))
    twin_first = data.draw(st.booleans())

    store = vc.GraphStore()
    sources = {f"s{i}": value for i, value in enumerate(values)}
    inputs = [store.add_source(f"s{i}") for i in range(count)]
    commuted = name in COMMUTATIVE and count == 2 and not params
    # the incremental reducer keeps the first operand order recorded, reduce the first reachable
    twin = store.add_op(name, inputs[::-1]) if commuted and twin_first else None
    node = record(store, kind, name, inputs, params)
    if commuted and not twin_first:
        twin = store.add_op(name, inputs[::-1])
    # identity forms over the node and over a source, and a consumer that reads through one
    around = store.add_op(identity_name, [node], identity_params)
    over_source = store.add_op(identity_name, [inputs[0]], identity_params)
    consumer = store.add_op("eq", [around, inputs[0]])
    outputs = [node, around, over_source, consumer] + ([twin] if twin is not None else [])

    recorded = outcome(lambda: run.evaluate(store, outputs, sources=sources, registry=REGISTRY))
    for form, reduced, reduced_outputs in reductions(store, outputs):
        assert (
            outcome(lambda r=reduced, o=reduced_outputs: run.evaluate(r, o, sources=sources, registry=REGISTRY))
            == recorded
        ), form
    if isinstance(recorded, list):
        assert all(key[0] is np.ndarray for key in recorded)
