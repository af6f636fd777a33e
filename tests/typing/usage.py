"""What a type checker makes of code that uses veltrix_core: the types it infers, and the calls it
must refuse. Checked by mypy with --warn-unused-ignores (scripts/test.sh), never run: each
refused call carries an ignore for its error code, so a stub that stops refusing it leaves an
unused ignore, and a stub that refuses a valid call leaves an error."""

from typing import assert_type

import numpy as np

import veltrix_core as vc
from veltrix_core.display import svg
from veltrix_core.typing import DescriptorView, MemberView, NodeView, ParamValue, ReductionReport

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
