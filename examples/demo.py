"""veltrix_core demo: record the dataflow graph of a small feature pipeline, as a framework
would while tracing user code, and show what the store holds.

Run it with `bash scripts/demo.sh` (which sets up the machine and builds the module first).
"""

from __future__ import annotations

import veltrix_core as vc


def record_pipeline(store: vc.GraphStore) -> dict[str, int]:
    """Traces a small feature pipeline: two sources, normalisation, a scoring model called as an
    external payload, a commuted duplicate, an identity op, a dead debugging branch, and a
    repartitioning exchange before the final aggregation."""
    ids: dict[str, int] = {}
    ids["clicks"] = store.add_source("read_table", {"path": "warehouse/clicks", "columns": "user,item,ts"})
    ids["items"] = store.add_source("read_table", {"path": "warehouse/items", "columns": "item,price"})
    ids["ts"] = store.add_op("getitem", [ids["clicks"]], {"key": "ts"})
    ids["price"] = store.add_op("getitem", [ids["items"]], {"key": "price"})
    ids["mean"] = store.add_reduction("mean", [ids["price"]], {"axis": 0})
    ids["centered"] = store.add_op("sub", [ids["price"], ids["mean"]])
    ids["scaled"] = store.add_op("mul", [ids["centered"], ids["centered"]])
    # The user wrote price + ts in one place and ts + price in another: a commuted duplicate.
    ids["feature_a"] = store.add_op("add", [ids["price"], ids["ts"]])
    ids["feature_b"] = store.add_op("add", [ids["ts"], ids["price"]])
    # An identity op left behind by a library (adding a zero scalar on the right).
    ids["feature_c"] = store.add_op("add", [ids["feature_b"]], {"scalar": 0.0, "side": "r"})
    ids["features"] = store.add_op("stack", [ids["feature_a"], ids["feature_c"], ids["scaled"]], {"axis": 1})
    model = vc.PayloadDescriptor(kind="model", content_hash="9f2c61d0", framework="pyfunc",
                                 version="2.1", io_schema="f32[n,3]->f32[n]")
    ids["scores"] = store.add_external(model, [ids["features"]], {"batch": 4096})
    # A debugging branch the user never looked at again: dead code.
    ids["debug"] = store.add_op("log", [ids["scores"]])
    ids["debug_sum"] = store.add_reduction("sum", [ids["debug"]], {"axis": 0})
    ids["relu"] = store.add_op("maximum", [ids["scores"], ids["mean"]])
    ids["shuffled"] = store.add_exchange([ids["relu"]], {"scheme": "hash", "partitions": 8})
    ids["total"] = store.add_reduction("sum", [ids["shuffled"]], {"axis": 0, "keepdims": False})
    # Tracing the same expression again returns the node that already exists.
    assert store.add_op("add", [ids["price"], ids["ts"]]) == ids["feature_a"]
    return ids


def describe(view: dict) -> str:
    if view["kind"] == "external":
        d = view["descriptor"]
        what = f"{d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}]"
    else:
        what = view["name"]
    params = ", ".join(f"{k}={v!r}" for k, v in view["params"].items())
    return " ".join(part for part in (what, f"{{{params}}}" if params else "") if part)


def print_nodes(store: vc.GraphStore) -> None:
    print(f"{'id':>3}  {'kind':<10} {'inputs':<12} node")
    for view in store.nodes():
        inputs = ",".join(map(str, view["inputs"]))
        mark = "  <- output" if view["output"] else ""
        print(f"{view['id']:>3}  {view['kind']:<10} {inputs:<12} {describe(view)}{mark}")


def main() -> None:
    store = vc.GraphStore()
    record_pipeline(store)
    print(f"veltrix_core {vc.version()}: recorded {store.node_count()} nodes\n")
    print_nodes(store)


if __name__ == "__main__":
    main()
