"""veltrix_core.run in one process: the meanings the rewrite rules rely on, the checks made before
anything runs, one clear error per bad input, stages member by member, values dropped after
their last reader, and the dask lowering on dask's local schedulers."""

import os
import pathlib
import pickle
import sys

import pytest
from optional import require

np = require("numpy")
require("hypothesis")

import ir_blob  # noqa: E402
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import veltrix_core as vc  # noqa: E402
from veltrix_core import run  # noqa: E402
from veltrix_core.run import (  # noqa: E402
    MissingImplementation,
    NodeFailed,
    default_registry,
    evaluate,
    evaluate_measured,
    to_dask,
)
from veltrix_core.run.local import size_of  # noqa: E402
from veltrix_core.run.registry import Table  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))
import graphgen  # noqa: E402
import soundness  # noqa: E402

SPECIAL = [0.0, -0.0, np.nan, -np.nan, 1.0, -1.5, np.inf]


def bits(value):
    """Dtype, shape and bytes, with every NaN one value but zeros keeping their sign."""
    array = np.array(value)
    if array.dtype.kind == "f":
        array[np.isnan(array)] = np.nan
    return array.dtype.str, array.shape, array.tobytes()


@st.composite
def arrays(draw, shape=(5,)):
    dtype = draw(st.sampled_from(graphgen.DTYPES))
    size = int(np.prod(shape))
    if dtype == "bool":
        data = draw(st.lists(st.booleans(), min_size=size, max_size=size))
    elif dtype == "int64":
        data = draw(st.lists(st.integers(-3, 3), min_size=size, max_size=size))
    else:
        data = draw(st.lists(st.sampled_from(SPECIAL) | st.floats(-4, 4, width=32), min_size=size, max_size=size))
    return np.array(data, dtype=dtype).reshape(shape)


REGISTRY = default_registry()


@given(st.sampled_from(graphgen.COMMUTATIVE), arrays(), arrays())
def test_commutative_names_commute_to_the_bit(name, a, b):
    # Exact, zero signs included: a commuted twin that kept a different -0.0 would show up later
    # in a division or an atan2 as inf against -inf.
    entry = REGISTRY["op", name]
    assert bits(entry([a, b], {})) == bits(entry([b, a], {}))


IDENTITY_FORMS = [
    (name, {"scalar": scalar, "side": side}) for name, scalar in [("add", 0.0), ("mul", 1.0)] for side in "lr"
]


@pytest.mark.parametrize(("name", "params"), IDENTITY_FORMS)
@pytest.mark.parametrize(
    "x",
    [np.array([-0.0, np.nan]), np.array(3), np.array(["ab"]), [1, 2], 2**70, Table({"a": [1]})],
    ids=["floats", "0-d", "strings", "list", "big int", "table"],
)
def test_identity_forms_return_their_input_itself_whatever_it_is(name, params, x):
    # The reducer has replaced such a node by its input, so computing anything here (x + 0.0
    # turns -0.0 into +0.0, concatenates strings) would tell a graph from its reduction.
    assert REGISTRY["op", name]([x], params) is x


@given(st.sampled_from(["add", "sub", "mul", "div", "maximum", "minimum"]), arrays(), st.sampled_from([0.5, -2.0, 3.0]))
def test_arithmetic_scalar_forms_keep_the_input_dtype_and_sides_differ_only_in_order(name, x, scalar):
    entry = REGISTRY["op", name]
    right = entry([x], {"scalar": scalar, "side": "r"})
    left = entry([x], {"scalar": scalar, "side": "l"})
    as_array = np.asarray(scalar).astype(x.dtype)
    assert bits(right) == bits(entry([x, as_array], {}))
    assert bits(left) == bits(entry([as_array, x], {}))
    if name not in ("sub", "div"):  # numpy refuses boolean subtraction; division is true division
        assert right.dtype == x.dtype


def test_every_generated_and_demo_name_has_a_meaning():
    names = {
        ("op", n)
        for n in graphgen.COMMUTATIVE
        + graphgen.NON_COMMUTATIVE_BINARY
        + graphgen.UNARY
        + graphgen.TERNARY
        + graphgen.SCALAR_OPS
    }
    names |= {("reduction", n) for n in graphgen.REDUCTIONS}
    names |= {("op", n) for n in ["getitem", "full_like", "stack", "log1p", "isnan"]}
    assert names <= set(default_registry())


def test_default_registry_is_new_every_time():
    mine = default_registry()
    mine["op", "add"] = lambda inputs, params: "mine"
    assert default_registry()["op", "add"] is not mine["op", "add"]


# ---- bad input: one exception naming the node, before anything runs where it can be known


def small_store():
    store = vc.GraphStore()
    x = store.add_source("x")
    y = store.add_op("neg", [x])
    return store, x, y


class CountingSources:
    def __init__(self):
        self.calls = 0

    def __call__(self, name, params):
        self.calls += 1
        return np.arange(4.0)


def build(case):
    """A store, its outputs and the keyword arguments of a run, for each bad-input case."""
    store, x, y = small_store()
    kwargs = {"sources": CountingSources()}
    if case == "unknown op":
        out = store.add_op("frobnicate", [y])
    elif case == "unknown op in a stage":
        out = store.add_op("frobnicate", [y])
        store, _ = store.reduce(outputs=[out])
        out = store.outputs()[0]
    elif case == "unknown reduction":
        out = store.add_reduction("median", [y])
    elif case == "missing source":
        out = y
        kwargs["sources"] = {"z": np.arange(3.0)}
    elif case == "missing model":
        descriptor = {"kind": "udf", "content_hash": "c0ffee", "framework": "np", "version": "1", "io_schema": "-"}
        out = store.add_external(descriptor, [y])
        kwargs["models"] = {"other": lambda inputs, params: inputs[0]}
    elif case == "unread param":
        out = store.add_op("relu", [y], {"alpha": 0.1})
    elif case == "wrong arity":
        out = store.add_op("sub", [y])
    elif case == "bad side":
        out = store.add_op("add", [y], {"scalar": 1.0, "side": "middle"})
    elif case == "cast without dtype":
        out = store.add_op("cast", [y])
    elif case == "exchange of two":
        out = store.add_exchange([x, y])
    elif case == "model not callable":
        descriptor = {"kind": "udf", "content_hash": "c0ffee", "framework": "np", "version": "1", "io_schema": "-"}
        out = store.add_external(descriptor, [y])
        kwargs["models"] = {"c0ffee": 5}
    elif case == "source entry not callable":
        out = y
        kwargs["registry"] = {**default_registry(), ("source", ""): 5}
    elif case == "refused source value":
        out = y
        kwargs["sources"] = {"x": np.array(["text"])}
    elif case == "cast to strings":
        out = store.add_op("cast", [y], {"dtype": "U3"})
    elif case in ("stage input missing", "stage without members"):
        IN = ir_blob.INPUT_REF
        members = (("op|neg", ((IN, 0),)), ("op|neg", ((IN, 2),))) if case == "stage input missing" else ()
        nodes = [ir_blob.Node(ir_blob.SOURCE, "x"), ir_blob.Node(ir_blob.STAGE, inputs=(0,), members=members)]
        store = vc.GraphStore.deserialize(ir_blob.blob(nodes, outputs=[1]))
        out = 1
    else:
        raise AssertionError(case)
    return store, [out], kwargs


MISSING = [
    ("unknown op", "node 2 (op 'frobnicate'): the registry has no entry for ('op', 'frobnicate')"),
    (
        "unknown op in a stage",
        "node 1 (stage): member 1, op 'frobnicate': the registry has no entry for ('op', 'frobnicate')",
    ),
    ("unknown reduction", "node 2 (reduction 'median'): the registry has no entry for ('reduction', 'median')"),
    ("missing source", "node 0 (source 'x'): sources has no value for 'x'"),
    ("missing model", "node 2 (external 'udf:c0ffee'): models has no entry for content hash 'c0ffee'"),
    ("unread param", "node 2 (op 'relu'): params 'alpha' are not read by relu"),
    ("wrong arity", "node 2 (op 'sub'): sub takes 2 inputs, not 1"),
    ("bad side", "node 2 (op 'add'): side must be 'l' or 'r', not 'middle'"),
    ("cast without dtype", "node 2 (op 'cast'): cast needs a 'dtype' param"),
    ("exchange of two", "node 2 (exchange): an exchange passes one value on, and this one has 2 inputs"),
    ("model not callable", "node 2 (external 'udf:c0ffee'): models' entry for content hash 'c0ffee' is not callable"),
    ("source entry not callable", "node 0 (source 'x'): the registry's entry for ('source', '') is not callable"),
    (
        "refused source value",
        "node 0 (source 'x'): the value of 'x' is refused: TypeError: an array of dtype <U4 is not a value ops compute "
        "with; dtypes: bool, int8 to int64, uint8 to uint64, float16 to float64, complex64 or complex128",
    ),
    (
        "cast to strings",
        "node 2 (op 'cast'): cast's dtype must name one of bool, int8 to int64, uint8 to uint64, float16 to float64, "
        "complex64 or complex128, not 'U3'",
    ),
    ("stage input missing", "node 1 (stage): member 1 reads stage input 2, and the stage has 1 input"),
    ("stage without members", "node 1 (stage): a stage without members has no value"),
]


@pytest.mark.parametrize("runner", ["evaluate", "to_dask"])
@pytest.mark.parametrize(("case", "message"), MISSING, ids=[case for case, _ in MISSING])
def test_a_node_nothing_can_compute_is_named_before_anything_runs(case, message, runner):
    store, outputs, kwargs = build(case)
    with pytest.raises(MissingImplementation) as caught:
        (evaluate if runner == "evaluate" else to_dask)(store, outputs, **kwargs)
    assert str(caught.value) == message
    assert caught.value.node_id == int(message.split()[1])
    sources = kwargs["sources"]
    assert not isinstance(sources, CountingSources) or sources.calls == 0


def test_the_lowest_node_that_cannot_run_is_the_one_named():
    store, x, y = small_store()
    late = store.add_op("unknown_b", [store.add_op("unknown_a", [y])])
    with pytest.raises(MissingImplementation, match=r"^node 2 \(op 'unknown_a'\)"):
        evaluate(store, [late], sources={"x": 1.0})


def test_a_stage_member_that_reads_a_later_member_is_refused():
    # No store holds such a stage (the byte form refuses it), so the stage builder is asked alone.
    from veltrix_core.run import plan  # noqa: PLC0415

    member = {"kind": "op", "name": "neg", "params": {}, "inputs": [("member", 0)]}
    with pytest.raises(plan._Refused, match=r"^member 0 reads member 0, which does not come before it"):
        plan._Implementations(default_registry()).stage([member])


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ({"registry": [1]}, "registry must be a mapping from (kind, name) to a callable, not list"),
        ({"registry": "add"}, "registry must be a mapping from (kind, name) to a callable, not str"),
        ({"models": []}, "models must be a mapping from content hash to a callable, not list"),
        ({"outputs": {1}}, "outputs must be a list or tuple of node ids, not set"),
        ({"outputs": "1"}, "outputs must be a list or tuple of node ids, not str"),
        ({"outputs": b"\x01"}, "outputs must be a list or tuple of node ids, not bytes"),
        ({"outputs": {1: 1}}, "outputs must be a list or tuple of node ids, not dict"),
        ({"outputs": (i for i in [1])}, "outputs must be a list or tuple of node ids, not generator"),
        ({"outputs": np.array([1])}, "outputs must be a list or tuple of node ids, not ndarray"),
        ({"outputs": [True]}, "outputs must hold node ids (ints), not bool"),
        ({"outputs": [1.0]}, "outputs must hold node ids (ints), not float"),
        ({"outputs": ["1"]}, "outputs must hold node ids (ints), not str"),
    ],
)
def test_arguments_of_the_wrong_type_are_a_type_error_before_anything_runs(arguments, message):
    store, x, y = small_store()
    sources = CountingSources()
    kwargs = {"outputs": [y], "sources": sources, **arguments}
    for runner in (evaluate, evaluate_measured, to_dask):
        with pytest.raises(TypeError) as caught:
            runner(store, **kwargs)
        assert str(caught.value) == message
    assert sources.calls == 0


def test_outputs_may_be_a_tuple_and_ids_any_integer_type():
    store, x, y = small_store()
    values = evaluate(store, (np.int64(y), x), sources={"x": np.arange(2.0)})
    assert [v.tolist() for v in values] == [[-0.0, -1.0], [0.0, 1.0]]


@pytest.mark.parametrize("outputs", [[3], [0, 2, -1], [10**20]])
def test_an_output_the_store_lacks(outputs):
    store, _, _ = small_store()
    bad = next(o for o in outputs if not 0 <= o < 2)
    for runner in (evaluate, to_dask):
        with pytest.raises(ValueError, match=rf"^no node with id {bad}$"):
            runner(store, outputs, sources={"x": 1.0})


def boom(inputs, params):
    raise ZeroDivisionError("the op divided by zero")


def failing_stores():
    """An op that raises alone, inside a stage, and a source callable that raises."""
    store, x, y = small_store()
    out = store.add_op("neg", [store.add_op("boom", [y])])
    reduced, _ = store.reduce(outputs=[out])
    return [
        (store, [out], {"x": np.ones(3)}, r"^node 2 \(op 'boom'\) raised ZeroDivisionError: the op divided by zero$"),
        (
            reduced,
            reduced.outputs(),
            {"x": np.ones(3)},
            r"^node 1 \(stage member 1, op 'boom'\) raised ZeroDivisionError: the op divided by zero$",
        ),
        (store, [y], lambda name, params: {}[name], r"^node 0 \(source 'x'\) raised KeyError: 'x'$"),
    ]


@pytest.mark.parametrize("scheduler", ["local", "dask sync", "dask threads"])
def test_a_node_that_raises_is_named(scheduler):
    registry = default_registry()
    registry["op", "boom"] = boom
    for store, outputs, sources, message in failing_stores():
        with pytest.raises(NodeFailed, match=message) as caught:
            if scheduler == "local":
                evaluate(store, outputs, sources=sources, registry=registry)
            else:
                dask = require("dask")
                graph, keys = to_dask(store, outputs, sources=sources, registry=registry)
                dask.get(graph, keys) if scheduler == "dask sync" else dask.threaded.get(graph, keys)
        # What a cluster worker sends back: the same exception, the node still named.
        again = pickle.loads(pickle.dumps(caught.value))
        assert (type(again), str(again), again.node_id) == (NodeFailed, str(caught.value), caught.value.node_id)


# ---- evaluation


def test_a_stage_runs_its_members_as_the_unfused_nodes_would():
    """A stage read back from bytes with op and reduction members, shared operands and members
    used twice, against the same ops recorded one node each."""
    IN, R = ir_blob.INPUT_REF, ir_blob.MEMBER_REF
    members = (
        ("op|mul", ((IN, 0), (IN, 1))),  # m0 = x * y
        ("red|sum|axis=i0;keepdims=btrue", ((R, 0),)),  # m1 = sum(m0, axis 0, keepdims)
        ("op|sub", ((R, 0), (R, 1))),  # m2 = m0 - m1
        ("op|add|scalar=f4000000000000000;side=sl", ((R, 2),)),  # m3 = 2.0 + m2
        ("op|maximum", ((R, 3), (IN, 0))),  # m4 = max(m3, x)
    )
    fused = vc.GraphStore.deserialize(
        ir_blob.blob(
            [
                ir_blob.Node(ir_blob.SOURCE, "x"),
                ir_blob.Node(ir_blob.SOURCE, "y"),
                ir_blob.Node(ir_blob.STAGE, inputs=(0, 1), members=members),
            ],
            outputs=[2],
        )
    )
    plain = vc.GraphStore()
    x, y = plain.add_source("x"), plain.add_source("y")
    m0 = plain.add_op("mul", [x, y])
    m1 = plain.add_reduction("sum", [m0], {"axis": 0, "keepdims": True})
    m3 = plain.add_op("add", [plain.add_op("sub", [m0, m1])], {"scalar": 2.0, "side": "l"})
    m4 = plain.add_op("maximum", [m3, x])
    sources = {"x": np.array([[1.0, -2.0], [3.0, 0.5]]), "y": np.array([[2.0, 2.0], [-1.0, 4.0]])}
    (got,) = evaluate(fused, [2], sources=sources)
    (want,) = evaluate(plain, [m4], sources=sources)
    assert bits(got) == bits(want)


def test_outputs_come_back_in_request_order_with_repeats():
    store, x, y = small_store()
    z = store.add_exchange([y], {"scheme": "hash", "partitions": 4})
    values = evaluate(store, [z, x, z, y], sources={"x": np.arange(3.0)})
    assert [v.tolist() for v in values] == [[-0.0, -1.0, -2.0], [0.0, 1.0, 2.0], [-0.0, -1.0, -2.0], [-0.0, -1.0, -2.0]]
    assert evaluate(store, [], sources={}) == []


def chain(length, fan_in=1):
    """A source, then `length` ops, each reading the previous value and, with fan_in k, the
    values k back too (k values alive at once)."""
    store = vc.GraphStore()
    values = [store.add_source("x")]
    for i in range(length):
        inputs = [values[-1]] if fan_in == 1 or i < fan_in else [values[-1], values[-fan_in]]
        values.append(store.add_op("neg" if len(inputs) == 1 else "add", inputs))
    return store, values[-1]


def widest_cut(store, outputs):
    """The most values alive at once when nodes run in id order and each value lives from its
    node until its last reader has run (outputs until the end)."""
    last = {}
    for view in store.nodes():
        for i in view["inputs"]:
            last[i] = view["id"]
    end = store.node_count()
    last.update({o: end for o in outputs})
    return max(sum(1 for j in range(t + 1) if j == t or last.get(j, -1) >= t) for t in range(end))


@pytest.mark.parametrize(("length", "fan_in", "outputs"), [(200, 1, ()), (120, 8, ()), (50, 30, ()), (60, 5, (7, 30))])
def test_values_are_dropped_after_their_last_reader(length, fan_in, outputs):
    store, out = chain(length, fan_in)
    outputs = [out, *outputs]
    size = 8 * 1000
    values, memory = evaluate_measured(store, outputs, sources={"x": np.ones(1000)})
    assert memory.nodes_run == length + 1
    assert memory.total_bytes == (length + 1) * size
    assert memory.peak_values == widest_cut(store, outputs)
    assert memory.peak_bytes == memory.peak_values * size


@pytest.mark.parametrize(
    ("value", "dtype", "shape"),
    [
        (3, "int64", ()),
        (2**63, "uint64", ()),
        (True, "bool", ()),
        (-0.0, "float64", ()),
        (1j, "complex128", ()),
        ([1, 2], "int64", (2,)),
        ([[0.5], [1.0]], "float64", (2, 1)),
        (np.float32(2), "float32", ()),
        (np.arange(3, dtype=">i4"), "int32", (3,)),
        (np.arange(2.0).reshape(1, 2).view(type("Subclass", (np.ndarray,), {})), "float64", (1, 2)),
    ],
)
def test_a_source_value_becomes_a_plain_native_array(value, dtype, shape):
    store = vc.GraphStore()
    x = store.add_source("x")
    for sources in ({"x": value}, lambda name, params: value):
        (got,) = evaluate(store, [x], sources=sources)
        assert (type(got), got.dtype, got.shape) == (np.ndarray, np.dtype(dtype), shape)
        assert got.tolist() == np.asarray(value).tolist()


def self_holding():
    table = {}
    table["self"] = table
    return table


@pytest.mark.parametrize(
    ("value", "reason"),
    [
        (np.array(["ab"]), "TypeError: an array of dtype <U2 is not a value ops compute with"),
        ("ab", "TypeError: a str is not a numeric value"),
        (2**70, "TypeError: the int 1180591620717411303424 does not fit in 64 bits"),
        (None, "TypeError: an array of dtype object (from NoneType) is not a value"),
        (np.array([1.0], dtype=np.longdouble), "TypeError: an array of dtype float128 is not a value"),
        (np.array(["2020-01-01"], dtype="datetime64[D]"), "TypeError: an array of dtype datetime64[D] is not a value"),
        (np.ma.masked_array([1.0, 2.0], mask=[True, False]), "TypeError: a masked array would lose its mask"),
        ([[1], [1, 2]], "ValueError: setting an array element with a sequence"),
        ({"qty": ["a"]}, "TypeError: an array of dtype <U1 (from list) is not a value"),
        ({1: [1.0]}, "TypeError: a table's column names are str, not int"),
        (self_holding(), "TypeError: column 'self' is a mapping; a table's columns are arrays"),
    ],
)
def test_a_source_value_no_op_computes_with_is_refused_naming_the_source(value, reason):
    store = vc.GraphStore()
    x = store.add_source("x")
    out = store.add_op("neg", [x])
    with pytest.raises(MissingImplementation) as before_running:
        evaluate(store, [out], sources={"x": value})
    assert str(before_running.value).startswith(f"node 0 (source 'x'): the value of 'x' is refused: {reason}")
    with pytest.raises(NodeFailed) as made_while_running:
        evaluate(store, [out], sources=lambda name, params: value)
    assert str(made_while_running.value).startswith(f"node 0 (source 'x') raised {reason}")


def test_a_mapping_source_is_a_table_that_getitem_reads_and_no_other_op():
    store = vc.GraphStore()
    t = store.add_source("t")
    qty = store.add_op("getitem", [t], {"key": "qty"})
    sources = {"t": {"qty": [1, 2], "price": np.ones(2, dtype=np.float32)}}
    table, column = evaluate(store, [t, qty], sources=sources)
    assert type(table) is Table and list(table) == ["qty", "price"] and table.nbytes == 16 + 8
    assert column is table["qty"] and column.tolist() == [1, 2] and column.dtype == np.int64
    again = pickle.loads(pickle.dumps(table))  # tables travel to cluster workers
    assert list(again) == list(table) and again["price"].dtype == np.float32
    assert table == table and table != again  # one table is equal to itself only
    for bad in (store.add_op("add", [t, qty]), store.add_op("neg", [t])):
        name = store.nodes()[bad]["name"]
        with pytest.raises(
            NodeFailed, match=rf"^node {bad} \(op '{name}'\) raised TypeError: {name} refuses its input: a table"
        ):
            evaluate(store, [bad], sources=sources)


@pytest.mark.parametrize("order", ["made first", "made second"])
def test_an_op_refuses_an_input_it_cannot_compute_exactly_naming_the_node(order):
    """A registry entry of the caller's can make any value; the commutative ops refuse one on
    which they would not commute (add concatenates strings) rather than compute it."""
    registry = default_registry()
    registry["op", "text"] = lambda inputs, params: np.array(["ab"])
    store = vc.GraphStore()
    x = store.add_source("x")
    text = store.add_op("text", [x])
    out = store.add_op("add", [text, x] if order == "made first" else [x, text])
    with pytest.raises(
        NodeFailed, match=rf"^node {out} \(op 'add'\) raised TypeError: add refuses its input: an array"
    ):
        evaluate(store, [out], sources={"x": 1.0}, registry=registry)


def test_memory_is_counted_from_what_values_say_of_themselves_not_by_walking_into_them():
    class FailingSize:
        @property
        def nbytes(self):
            raise RuntimeError("no size")

    held = self_holding()
    items = list(range(100_000))
    array = np.zeros((10, 10))
    assert size_of(held) == sys.getsizeof(held)  # walking into it would never end
    assert size_of(items) == sys.getsizeof(items)
    assert size_of(array[2:4]) == 2 * 10 * 8 and size_of(Table({"a": array})) == array.nbytes
    assert size_of(FailingSize()) == sys.getsizeof(FailingSize())
    store = vc.GraphStore()
    x = store.add_source("x")
    pass_on = {("op", "same"): lambda inputs, params: inputs[0]}
    values, memory = evaluate_measured(store, [store.add_op("same", [x])], sources={"x": held}, registry=pass_on)
    assert values == [held] and memory.total_bytes == 2 * sys.getsizeof(held)


# ---- dask lowering


def demo_inputs():
    import demo  # noqa: PLC0415

    store = vc.GraphStore()
    outputs = demo.record_pipeline(store)
    n = 12
    orders = {"qty": np.arange(1.0, n + 1), "price": np.linspace(1, 3, n), "ts": np.arange(n) * 10.0}
    items = {"weight": np.linspace(0.5, 2.0, n)}

    def tables(name, params):  # both tables are "read_table": the params tell them apart
        return orders if params["path"].endswith("orders") else items

    models = {"9f2c61d0": lambda inputs, params: np.tanh(inputs[0].sum(axis=1))}
    return store, outputs, tables, models


@pytest.mark.parametrize("maximal", [False, True])
def test_the_demo_gives_the_same_values_reduced_locally_and_under_dask(maximal):
    dask = require("dask")

    store, outputs, tables, models = demo_inputs()
    want = evaluate(store, outputs, sources=tables, models=models)
    reduced, report, mapped = run.reduce(store, outputs, maximal_fusion=maximal)
    got = evaluate(reduced, mapped, sources=tables, models=models)
    assert soundness.compare_outputs(want, got) == []
    graph, keys = to_dask(reduced, mapped, sources=tables, models=models)
    # One task per node: a stage is one task, the exchange one identity task.
    assert len(graph) == report["reduced_nodes"] and len(keys) == len(outputs)
    for get in (dask.get, dask.threaded.get):
        assert soundness.compare_outputs(want, list(get(graph, keys))) == []


def test_lowering_has_one_task_per_reachable_node_and_fresh_keys():
    store = vc.GraphStore()
    program, kwargs = graphgen.recorded_evaluable(300, 5, store)
    outputs = program.sinks()[:5] * 2
    graph, keys = to_dask(store, outputs, **kwargs)
    reachable = store.reduction_report(outputs=outputs)["reachable_nodes"]
    assert len(graph) == reachable and keys[:5] == keys[5:]
    other, _ = to_dask(store, outputs, **kwargs)
    assert not set(graph) & set(other)  # two lowerings on one cluster never share a key
    dask = require("dask")

    local = evaluate(store, outputs, **kwargs)
    assert [bits(v) for v in dask.threaded.get(graph, keys)] == [bits(v) for v in local]


def test_the_run_module_needs_no_numpy_without_the_default_registry():
    code = (
        "import sys; sys.modules['numpy'] = None\n"
        "import veltrix_core as vc\nfrom veltrix_core.run import evaluate\n"
        "s = vc.GraphStore(); x = s.add_source('x'); y = s.add_op('twice', [x])\n"
        "print(evaluate(s, [y], sources={'x': 21}, registry={('op', 'twice'): lambda i, p: 2 * i[0]}))"
    )
    import subprocess  # noqa: PLC0415

    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ), check=True)
    assert out.stdout.strip() == "[42]"


@pytest.mark.parametrize("maximal", [False, True])
def test_the_lazy_front_end_pipeline_keeps_its_values_with_far_fewer_tasks(maximal):
    import lazy  # noqa: PLC0415

    graph, outputs = lazy.record_pipeline(chunks=5, rows=16)
    reduced, report, mapped = run.reduce(graph.store, outputs, maximal_fusion=maximal)
    want = evaluate(graph.store, outputs, sources=graph.data)
    got = evaluate(reduced, mapped, sources=graph.data)
    assert soundness.compare_outputs(want, got) == []
    # Its redundancy (identity ops, commuted products, dead code) and chains all go.
    assert report["reduced_nodes"] * 3 < report["reachable_nodes"]


def test_params_equal_under_python_equality_are_still_different_nodes():
    """0.0 and -0.0, 1 and 1.0 and True are different params to the store; each node must keep
    its own, alone and fused into stages."""
    store = vc.GraphStore()
    x = store.add_source("x")
    scalars = [0.0, -0.0, 1, 1.0, True, 2.5]
    outputs = [store.add_op("mul", [x], {"scalar": s, "side": "r"}) for s in scalars]
    outputs += [store.add_op("full_like", [x], {"value": v}) for v in (0.0, -0.0)]
    outputs += [store.add_op("neg", [o]) for o in outputs]
    reduced, _ = store.reduce(outputs=outputs)
    x_value = np.array([3.0, 4.0])
    for graph, ids in [(store, outputs), (reduced, reduced.outputs())]:
        values = evaluate(graph, ids, sources={"x": x_value})
        by_scalar = [np.signbit(v).tolist() for v in values[:2]]
        assert by_scalar == [[False, False], [True, True]]
        assert np.signbit(values[6]).tolist() == [False, False] and np.signbit(values[7]).tolist() == [True, True]


@pytest.mark.parametrize("where", ["local", "dask"])
def test_a_failing_reduced_node_names_the_recorded_nodes_it_stands_for(where):
    store = vc.GraphStore()
    x = store.add_source("x")
    doubled = store.add_op("mul", [x, x])
    twin = store.add_op("mul", [x, x])  # the same node
    bad = store.add_op("explode", [store.add_op("neg", [doubled])])
    out = store.add_op("add", [bad, twin])
    registry = default_registry()
    registry["op", "explode"] = lambda inputs, params: 1 / 0
    reduction = run.reduce(store, [out], origins=True)
    kwargs = {"sources": {"x": 2.0}, "registry": registry, "origins": reduction.origins}
    with pytest.raises(NodeFailed) as caught:
        if where == "local":
            evaluate(reduction.store, reduction.outputs, **kwargs)
        else:
            graph, keys = to_dask(reduction.store, reduction.outputs, **kwargs)
            require("dask").get(graph, keys)
    failed = caught.value
    stage = failed.node_id
    assert failed.recorded_ids == tuple(reduction.origins.of(stage)) and bad in failed.recorded_ids
    assert f"node {stage} (recorded nodes {', '.join(map(str, failed.recorded_ids))})" in str(failed)
    # Without origins the node is named by its reduced id alone.
    kwargs["origins"] = None
    with pytest.raises(NodeFailed) as caught:
        evaluate(reduction.store, reduction.outputs, **kwargs)
    assert caught.value.recorded_ids is None and str(caught.value).startswith(f"node {stage} (")
