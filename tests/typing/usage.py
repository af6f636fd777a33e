"""What a type checker makes of code that uses veltrix_core: the types it infers, and the calls it
must refuse. Checked by mypy with --warn-unused-ignores (scripts/test.sh), never run: each
refused call carries an ignore for its error code, so a stub that stops refusing it leaves an
unused ignore, and a stub that refuses a valid call leaves an error."""

from typing import Any, assert_type

import numpy as np

import veltrix_core as vc
from veltrix_core import columns, run
from veltrix_core.display import svg
from veltrix_core.typing import (
    DescriptorView,
    MemberView,
    NodeFunction,
    NodeView,
    ParamValue,
    ReductionReport,
    ShapeView,
)

store = vc.GraphStore()
a = store.add_source("read", {"path": "p", "n": 3, "f": 0.5, "b": True})
b = store.add_source("read", None)
assert_type(a, int)
s = store.add_op("add", [a, b])
assert_type(store.add_op("add", (a, b), {"scalar": 0.0}), int)
assert_type(store.add_op("getitem", range(1)), int)
assert_type(store.add_reduction("sum", [s], params={"axis": 0}), int)
assert_type(store.add_op("neg", [np.int64(0)]), int)  # ids may be NumPy integers
model = vc.PayloadDescriptor(kind="m", content_hash="h", framework="f", version="1", io_schema="x")
assert_type(model.preprocessing_ref, str | None)
assert_type(model.kind, str)
e = store.add_external(model, [s])
assert_type(
    store.add_external({"kind": "m", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "x"}, [s]), int
)
assert_type(store.add_exchange([e], {"scheme": "hash"}), int)
assert_type(store.node_count(), int)
assert_type(store.outputs(), list[int])
assert_type(store.to_dot(), str)

views = store.nodes()
assert_type(views, list[NodeView])
view = views[0]
assert_type(view["id"], int)
assert_type(view["inputs"], list[int])
assert_type(view["params"], dict[str, ParamValue])
assert_type(view["descriptor"], DescriptorView)
assert_type(view["members"], list[MemberView])
member = view["members"][0]
assert_type(member["inputs"][0][1], int)

blob = store.serialize(outputs=[e])
assert_type(blob, bytes)
assert_type(vc.GraphStore.deserialize(blob), vc.GraphStore)
reduced, report = store.reduce(maximal_fusion=True, outputs=[e])
assert_type(reduced, vc.GraphStore)
assert_type(report, ReductionReport)
assert_type(report["stages"], int)
assert_type(store.reduce_incremental(outputs=[e]), tuple[vc.GraphStore, ReductionReport])
assert_type(store.reduction_report(), ReductionReport)

reducer = vc.IncrementalReducer()
assert_type(reducer.step(store), int)
assert_type(reducer.watermark(), int)
assert_type(reducer.finalize(store, outputs=[e]), tuple[vc.GraphStore, ReductionReport])
assert_type(vc.version(), str)
assert_type(svg(store), str)

# Calls the module refuses at run time, refused by the checker too.
store.add_op("add", "01")  # type: ignore[arg-type]
store.add_op("add", {a, b})  # type: ignore[arg-type]
store.add_op("add", [1.5])  # type: ignore[list-item]
store.add_source(b"read")  # type: ignore[arg-type]
store.add_source("read", {"k": None})  # type: ignore[dict-item]
store.add_source("read", {1: 2})  # type: ignore[dict-item]
store.add_source("read", [("k", 1)])  # type: ignore[arg-type]
store.add_external({"kind": "m"}, [])  # type: ignore[arg-type]
store.add_external("model", [])  # type: ignore[arg-type]
store.reduce(True)  # type: ignore[call-arg]
store.reduce(maximal_fusion=None)  # type: ignore[arg-type]
store.reduction_report([a])  # type: ignore[call-arg]
reducer.finalize(store, True)  # type: ignore[call-arg]
reducer.step(blob)  # type: ignore[arg-type]
vc.GraphStore.deserialize(bytearray(blob))  # type: ignore[arg-type]
vc.GraphStore(1)  # type: ignore[call-arg]
vc.PayloadDescriptor("m")  # type: ignore[call-arg]
vc.PayloadDescriptor(kind="m")  # type: ignore[call-arg]
model.kind = "other"  # type: ignore[misc]
report["nodes"]  # type: ignore[typeddict-item]
store.node_count(1)  # type: ignore[call-arg]


class Mine(vc.GraphStore):  # type: ignore[misc]
    pass


# Running graphs: the reduced store runs for the reduction's output mapping.
reduction = run.reduce(store, [e, s, e], maximal_fusion=True)
assert_type(reduction, run.Reduction)
assert_type(reduction.store, vc.GraphStore)
assert_type(reduction.outputs, list[int])
assert_type(reduction.origins, run.Origins | None)
traced = run.reduce(store, (e,), origins=True).origins
if traced is not None:
    assert_type(traced.of(0), list[int])
assert_type(run.finalize(reducer, store, [s]), run.Reduction)


def twice(inputs: list[Any], params: dict[str, ParamValue]) -> Any:
    return inputs[0] * 2


registry = run.default_registry()
registry["op", "twice"] = twice
models: dict[str, NodeFunction] = {"h": lambda inputs, params: inputs[0]}
values = run.evaluate(
    reduction.store, reduction.outputs, sources={"read": np.zeros(3)}, registry=registry, models=models
)
assert_type(values, list[Any])
values, memory = run.evaluate_measured(store, (a, s), sources=lambda name, params: np.zeros(3))
assert_type(memory, run.MemoryReport)
assert_type(memory.peak_bytes, int)
graph, keys = run.to_dask(store, [s], sources={"read": [1.0, 2.0]})
assert_type(graph, dict[str, tuple[Any, ...]])
assert_type(keys, list[str])
error = run.NodeFailed("node 3 failed", node_id=3, kind="op", name="neg")
assert_type(error.node_id, int | None)

# What running refuses at run time, refused by the checker too.
run.evaluate(store, "0", sources={})  # type: ignore[arg-type]
run.evaluate(store, 0, sources={})  # type: ignore[arg-type]
run.evaluate(store, range(2), sources={})  # type: ignore[arg-type]
run.evaluate(store, [1.5], sources={})  # type: ignore[list-item]
run.evaluate(store, [s])  # type: ignore[call-arg]
run.evaluate(store, [s], {})  # type: ignore[call-arg]
run.evaluate(blob, [s], sources={})  # type: ignore[arg-type]
run.evaluate(store, [s], sources=[("read", 1)])  # type: ignore[arg-type]
run.evaluate(store, [s], sources={}, registry=[("op", "add")])  # type: ignore[arg-type]
run.evaluate(store, [s], sources={}, registry={"add": twice})  # type: ignore[dict-item]
run.evaluate(store, [s], sources={}, models={"h": 3})  # type: ignore[dict-item]
run.to_dask(store, {s}, sources={})  # type: ignore[arg-type]
run.reduce(store, "0")  # type: ignore[arg-type]
run.reduce(store, [s], True)  # type: ignore[call-arg]
run.finalize(store, [s])  # type: ignore[arg-type, call-arg]
reduction.outputs = []  # type: ignore[misc]
registry["op", "bad"] = 3  # type: ignore[assignment]

# Columns: typed buffers out, whole batches in.
table = columns.read(store, outputs=[s])
assert_type(table, columns.Columns)
assert_type(table.ids, memoryview)
assert_type(table.shape_table, list[ShapeView])
assert_type(len(table), int)
assert_type(columns.KINDS[table.kinds[0]], vc.typing.NodeKind)
assert_type(columns.record(store, ["source", "op"], ["read", "neg"], offsets=[0, 0, 1], inputs=[-1]), memoryview)
assert_type(columns.record(store, np.array([0], dtype=np.uint8), ("read",), [{"path": "q"}]), memoryview)
assert_type(columns.record(store, b"\x03", [None], descriptors=[model], offsets=(0, 1), inputs=(s,)), memoryview)

columns.read(store, outputs=s)  # type: ignore[arg-type]
columns.record(store, ["source"])  # type: ignore[call-arg]
columns.record(store, ["sauce"], ["read"])  # type: ignore[list-item]
columns.record(store, "op", ["neg"])  # type: ignore[arg-type]
columns.record(store, ["source"], [1])  # type: ignore[list-item]
columns.record(store, ["source"], ["read"], params=[{"k": None}])  # type: ignore[dict-item]
columns.record(store, ["op"], ["neg"], offsets=[0, 1], inputs=[1.5])  # type: ignore[list-item]
columns.record(store, ["external"], [None], descriptors=["model"])  # type: ignore[list-item]
