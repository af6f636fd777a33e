"""veltrix_core demo: record the dataflow graph of a small feature pipeline, as a framework
would while tracing user code, reduce it, and show the graph before and after.

Run it with `bash scripts/demo.sh` (which sets up the machine and builds the module first). The
recorded graph as an IR blob (pipeline.vir, for the `veltrix-core` command), the DOT files, and
their pictures when Graphviz's `dot` is installed, go to examples/out/.
"""

from __future__ import annotations

import shlex
import sys
import sysconfig
from pathlib import Path

import veltrix_core as vc
from veltrix_core import display

OUT = Path(__file__).resolve().parent / "out"


def record_pipeline(store: vc.GraphStore) -> list[int]:
    """Traces a feature pipeline over two tables and returns the outputs the user asked for.

    Like traced user code, it repeats itself: the same expression written with its operands the
    other way round (commuted duplicates), identity ops left behind by library code (adding a zero,
    scaling by one), values computed twice, and a debugging branch whose result nobody uses."""
    table = {"path": "warehouse/orders", "columns": "user,item,qty,price,ts"}
    orders = store.add_source("read_table", table)
    items = store.add_source("read_table", {"path": "warehouse/items", "columns": "item,weight,category"})
    col = {name: store.add_op("getitem", [orders], {"key": name}) for name in ("qty", "price", "ts")}
    weight = store.add_op("getitem", [items], {"key": "weight"})

    # Revenue, written once as price * qty and later as qty * price.
    revenue = store.add_op("mul", [col["price"], col["qty"]])
    revenue_again = store.add_op("mul", [col["qty"], col["price"]])
    # A library normalises its input by adding 0.0 and scaling by 1.0: identity ops.
    revenue_norm = store.add_op(
        "mul", [store.add_op("add", [revenue_again], {"scalar": 0.0, "side": "r"})], {"scalar": 1.0, "side": "l"}
    )

    # Standardise revenue: (x - mean) * (x - mean), then a clipped log.
    mean = store.add_reduction("mean", [revenue], {"axis": 0})
    centered = store.add_op("sub", [revenue_norm, mean])
    squared = store.add_op("mul", [centered, centered])
    score = store.add_op("log1p", [store.add_op("abs", [squared])])
    clipped = store.add_op("minimum", [score, store.add_op("full_like", [score], {"value": 8.0})])

    # Shipping cost: weight * qty + price, and the same written as price + qty * weight.
    shipping = store.add_op("add", [store.add_op("mul", [weight, col["qty"]]), col["price"]])
    shipping_again = store.add_op("add", [col["price"], store.add_op("mul", [col["qty"], weight])])
    margin = store.add_op("sub", [revenue, store.add_op("maximum", [shipping, shipping_again])])

    # Recency feature from the timestamps.
    age = store.add_op("sub", [store.add_reduction("max", [col["ts"]], {"axis": 0}), col["ts"]])
    decay = store.add_op("exp", [store.add_op("mul", [age], {"scalar": -0.01, "side": "r"})])

    features = store.add_op("stack", [clipped, margin, decay], {"axis": 1})
    model = vc.PayloadDescriptor(
        kind="model", content_hash="9f2c61d0", framework="pyfunc", version="2.1", io_schema="f32[n,3]->f32[n]"
    )
    scores = store.add_external(model, [features], {"batch": 4096})

    # A debugging branch the user never looked at again: dead code.
    debug = store.add_op("log", [store.add_op("abs", [scores])])
    store.add_reduction("sum", [store.add_op("mul", [debug, debug])], {"axis": 0})
    store.add_op("isnan", [margin])

    # Repartition by user before the final aggregations.
    by_user = store.add_exchange([store.add_op("add", [scores, margin])], {"scheme": "hash", "partitions": 8})
    total = store.add_reduction("sum", [by_user], {"axis": 0, "keepdims": False})
    best = store.add_reduction("max", [store.add_op("mul", [by_user], {"scalar": 1.0, "side": "r"})], {"axis": 0})
    # Tracing the same expression again returns the node that already exists.
    assert store.add_op("mul", [col["price"], col["qty"]]) == revenue
    return [total, best, margin]


def describe(view: dict) -> str:
    if view["kind"] == "external":
        d = view["descriptor"]
        what = f"{d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}]"
    elif view["kind"] == "stage":
        what = " ; ".join(describe_member(m) for m in view["members"])
    else:
        what = view["name"]
    params = ", ".join(f"{k}={v!r}" for k, v in view["params"].items())
    return " ".join(part for part in (what, f"{{{params}}}" if params else "") if part)


def describe_member(member: dict) -> str:
    args = ",".join(("in" if ref == "input" else "m") + str(i) for ref, i in member["inputs"])
    params = ",".join(f"{k}={v!r}" for k, v in member["params"].items())
    return f"{member['name']}({args}{'; ' + params if params else ''})"


def print_nodes(store: vc.GraphStore, outputs: list[int] | None = None) -> None:
    marks = set(store.outputs() if outputs is None else outputs)
    print(f"{'id':>3}  {'kind':<10} {'inputs':<10} node")
    for view in store.nodes():
        inputs = ",".join(map(str, view["inputs"]))
        mark = "  <- output" if view["id"] in marks else ""
        print(f"{view['id']:>3}  {view['kind']:<10} {inputs:<10} {describe(view)}{mark}")


REPORT_ROWS = [
    ("input_nodes", "nodes recorded"),
    ("reachable_nodes", "reachable from the outputs (the rest is dead code)"),
    ("canonical_nodes", "after merging equal terms (commuted twins, identity ops)"),
    ("stages", "stages made by fusing chains of ops"),
    ("boundary_nodes", "sources, reductions, externals, exchanges"),
    ("reduced_nodes", "nodes in the reduced graph"),
]


def print_report(report: dict) -> None:
    width = max(len(key) for key, _ in REPORT_ROWS)
    print(f"  {'counter':<{width}}  {'value':>5}  meaning")
    for key, meaning in REPORT_ROWS:
        print(f"  {key:<{width}}  {report[key]:>5}  {meaning}")


def write_pictures(graphs: dict[str, vc.GraphStore | str]) -> None:
    """Writes each graph's DOT text (`to_dot`) to examples/out/NAME.dot and, when Graphviz is
    installed, its picture (`veltrix_core.display.svg`) to NAME.svg. A graph given as DOT text
    gets the text only: the picture is drawn from the store."""
    OUT.mkdir(exist_ok=True)
    missing = False
    for name, graph in graphs.items():
        path = OUT / f"{name}.dot"
        path.write_text(graph if isinstance(graph, str) else graph.to_dot())
        print(f"  wrote {path}")
        if isinstance(graph, str) or missing:
            continue
        try:
            picture = display.svg(graph)
        except display.GraphvizNotFoundError:
            missing = True
            continue
        path.with_suffix(".svg").write_text(picture)
        print(f"  wrote {path.with_suffix('.svg')}")
    if missing:
        print("  (install Graphviz for SVG pictures: scripts/setup.sh does)")


def shell_path(path: Path) -> str:
    """`path` as typed in a shell in the current folder: relative below it, absolute elsewhere."""
    path = path.absolute()
    return shlex.quote(str(path.relative_to(Path.cwd()) if path.is_relative_to(Path.cwd()) else path))


def command_line() -> str:
    """How to run the `veltrix-core` command of this interpreter's environment from this shell.
    The environment is usually not on PATH (scripts/demo.sh uses .venv without activating it)."""
    script = Path(sysconfig.get_path("scripts")) / "veltrix-core"
    if script.is_file():
        return shell_path(script)
    return f"{shell_path(Path(sys.executable))} -m veltrix_core"


def main() -> None:
    store = vc.GraphStore()
    outputs = record_pipeline(store)
    print(f"veltrix_core {vc.version()}: recorded {store.node_count()} nodes, outputs {outputs}\n")
    print_nodes(store, outputs)

    reduced, report = store.reduce(outputs=outputs)
    print(f"\nreduced to {reduced.node_count()} nodes:\n")
    print_report(report)
    print()
    print_nodes(reduced)

    print("\nthe recorded graph as an IR blob:")
    # The recorded store has no output marks; the blob carries them, so a copy read back from it
    # shows the outputs in DOT too, and `veltrix-core reduce` finds them.
    blob = store.serialize(outputs=outputs)
    OUT.mkdir(exist_ok=True)
    (OUT / "pipeline.vir").write_bytes(blob)
    print(f"  wrote {OUT / 'pipeline.vir'} ({len(blob)} bytes)")

    print("\ngraph before and after reduction:")
    marked = vc.GraphStore.deserialize(blob)
    write_pictures({"pipeline": marked, "pipeline-reduced": reduced})

    print("\nread the blob back with the command line (info, dot, reduce, verify):")
    print(f"  {command_line()} info {shell_path(OUT / 'pipeline.vir')}")


if __name__ == "__main__":
    main()
