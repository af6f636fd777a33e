"""The README's and the documentation's Python examples run as written, and every graph they record
runs through veltrix_core.run.evaluate with the default registry, with the same values, bit for
bit, once reduced.

A page's code blocks run in order in one namespace (the notebooks page in an IPython shell), as
a reader who pastes them one after the other would run them; a block of ``>>>`` lines is checked
as the session it shows. Each graph example (the guide's drawn graphs) runs alone, as the
documentation build runs it. After a page, every store it left behind is evaluated for all its
nodes, with a value for each source (a table when the graph reads columns of it, an array
otherwise) and a model for each External, with the registry the page makes if it makes one, and
compared with its reductions."""

import contextlib
import doctest
import io
import os
import pathlib
import re
import shutil
import sys
import textwrap
from dataclasses import dataclass

import pytest
from optional import require

np = require("numpy")

import veltrix_core as vc  # noqa: E402
from veltrix_core import run  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import soundness  # noqa: E402

DIRECTIVE = re.compile(r"^\.\. (code-block:: python|graph-example::)\s*$")


@dataclass
class Block:
    code: str
    where: str  # file:line, for tracebacks
    graph_example: bool = False
    maximal_fusion: bool = False


def markdown_blocks(path):
    text = path.read_text()
    for match in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M):
        yield Block(match.group(1), f"{path.name}:{text.count(chr(10), 0, match.start()) + 2}")


def rst_blocks(path):
    lines = path.read_text().splitlines()
    index = 0
    while index < len(lines):
        match = DIRECTIVE.match(lines[index])
        index += 1
        if not match:
            continue
        start, options = index, set()
        while index < len(lines) and lines[index].strip().startswith(":"):
            options.add(lines[index].strip().strip(":"))
            index += 1
        body = []
        while index < len(lines) and (not lines[index].strip() or lines[index].startswith(" ")):
            body.append(lines[index])
            index += 1
        code = textwrap.dedent("\n".join(body)).strip("\n") + "\n"
        yield Block(code, f"{path.name}:{start}", match.group(1) == "graph-example::", "maximal-fusion" in options)


def page_blocks(path):
    return list(markdown_blocks(path) if path.suffix == ".md" else rst_blocks(path))


def run_session(block, namespace):
    """A block of >>> lines: each example's output must be what the page shows."""
    for example in doctest.DocTestParser().get_examples(block.code):
        with contextlib.redirect_stdout(io.StringIO()) as out:
            exec(compile(example.source, block.where, "single"), namespace)
        assert out.getvalue().strip() == example.want.strip(), block.where


def run_in_ipython(blocks, namespace, monkeypatch, tmp_path):
    require("IPython")
    from IPython.core.interactiveshell import InteractiveShell  # noqa: PLC0415
    from traitlets.config import Config  # noqa: PLC0415

    monkeypatch.setenv("IPYTHONDIR", str(tmp_path / "ipython"))
    config = Config()
    config.HistoryManager.enabled = False
    shell = InteractiveShell.instance(config=config, user_ns=namespace)
    try:
        for block in blocks:
            with contextlib.redirect_stdout(io.StringIO()):
                shell.run_cell(block.code).raise_error()
        if shutil.which("dot"):
            data, _ = shell.display_formatter.format(namespace["reduced"])
            assert data["image/svg+xml"].lstrip().startswith("<?xml"), "the page says a cell shows the picture"
    finally:
        InteractiveShell.clear_instance()


def value_of(key):
    """A column or array with negatives, a zero and a fraction; columns differ by name."""
    return np.array([-1.5, 0.0, 2.0, 3.25]) + len(str(key))


def model(inputs, params):
    (x,) = inputs
    return np.tanh(x).sum(axis=-1) if x.ndim > 1 else np.tanh(x)


def run_inputs(store):
    """Sources and models for every node of `store`: a source whose columns the graph reads
    (getitem, alone or in a stage) is a table of those columns, any other an array."""
    views = store.nodes()
    columns = {}

    def read(source_id, key):
        if views[source_id]["kind"] == "source":
            columns.setdefault(views[source_id]["name"], set()).add(key)

    for view in views:
        if view["kind"] == "op" and view["name"] == "getitem":
            read(view["inputs"][0], view["params"]["key"])
        for member in view.get("members", []):
            ref, index = member["inputs"][0] if member["inputs"] else (None, 0)
            if member["name"] == "getitem" and ref == "input":
                read(view["inputs"][index], member["params"]["key"])
    sources = {
        view["name"]: {key: value_of(key) for key in columns[view["name"]]}
        if view["name"] in columns
        else value_of(view["name"])
        for view in views
        if view["kind"] == "source"
    }
    models = {view["descriptor"]["content_hash"]: model for view in views if view["kind"] == "external"}
    return sources, models


def check_graph(store, outputs, maximal_options=(False, True), registry=None):
    """`store` runs for `outputs`, and each of its reductions gives the same values."""
    sources, models = run_inputs(store)
    want = run.evaluate(store, outputs, sources=sources, models=models, registry=registry)
    for maximal in maximal_options:
        reduction = run.reduce(store, outputs, maximal_fusion=maximal)
        got = run.evaluate(reduction.store, reduction.outputs, sources=sources, models=models, registry=registry)
        assert soundness.compare_outputs(want, got) == [], f"maximal_fusion={maximal}"


def stores_in(namespace):
    found = {id(value): value for value in namespace.values() if isinstance(value, vc.GraphStore)}
    return list(found.values())


# Every page with a Python example (the command line's page runs commands, at build time).
PAGES = [
    path
    for path in [ROOT / "README.md", ROOT / "docs" / "index.rst", *sorted((ROOT / "docs" / "guide").glob("*.rst"))]
    if page_blocks(path)
]


def page_id(path):
    return str(path.relative_to(ROOT))


@pytest.mark.parametrize("path", PAGES, ids=page_id)
def test_examples_run_and_their_graphs_evaluate(path, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # examples that write files write them here
    blocks = page_blocks(path)
    if path.name == "running.rst":
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            pytest.skip("the page starts cluster workers, separate processes not run under AddressSanitizer")
        require("dask")
        require("distributed")
    graph_examples = [block for block in blocks if block.graph_example]
    for block in graph_examples:
        namespace = {"vc": vc}
        exec(compile(block.code, block.where, "exec"), namespace)
        check_graph(namespace["store"], namespace["outputs"], (block.maximal_fusion,))
    # Names that are not importable send the page's own functions to cluster workers by value.
    namespace = {"vc": vc, "__name__": "docs_example"}
    code_blocks = [block for block in blocks if not block.graph_example]
    with contextlib.redirect_stdout(io.StringIO()) as out:
        if path.name == "notebooks.rst":
            run_in_ipython(code_blocks, namespace, monkeypatch, tmp_path)
        for block in code_blocks if path.name != "notebooks.rst" else ():
            if block.code.lstrip().startswith(">>>"):
                run_session(block, namespace)
            else:
                exec(compile(block.code, block.where, "exec"), namespace)
    if path.name == "README.md":
        assert "digraph veltrix {" in out.getvalue()
    stores = stores_in(namespace)
    assert stores or not code_blocks, f"{page_id(path)} records no graph"
    # A page that adds ops of its own to a registry runs its graphs with that registry.
    registry = namespace.get("registry")
    for store in stores:
        check_graph(store, list(range(store.node_count())), registry=registry)
