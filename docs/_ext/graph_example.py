"""Directives that show what the installed veltrix_core really does, computed at build time.

`graph-example` runs the Python code it holds, shows the code, and draws the recorded graph and
its reduction with Graphviz. The code must leave a `store` (a GraphStore) and `outputs` (a list
of ids) behind. Options: `:maximal-fusion:` reduces with maximal_fusion=True; `:before-only:`
draws only the recording.

`command-example` runs one `veltrix-core` command line (its content) in a folder that holds the
demo's recorded graph as `pipeline.vir` (and a copy with two bytes appended), and shows the
command with what it printed; `:status:` is the exit status expected (default 0).
"""

from __future__ import annotations

import importlib.util
import pathlib
import shlex
import shutil
import subprocess
import sys
import tempfile

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.ext.graphviz import graphviz
from sphinx.util.docutils import SphinxDirective

import veltrix_core as vc


def dot_node(directive: SphinxDirective, store: vc.GraphStore, alt: str) -> graphviz:
    node = graphviz()
    node["code"] = store.to_dot()
    node["options"] = {"docname": directive.env.current_document.docname}
    node["alt"] = alt
    node["classes"] = ["graph-example"]
    return node


def member_text(member: dict) -> str:
    refs = ", ".join(("in" if kind == "input" else "m") + str(index) for kind, index in member["inputs"])
    params = ", ".join(f"{k}={v!r}" for k, v in member["params"].items())
    return f"{member['name']}({refs}{'; ' + params if params else ''})"


def node_lines(store: vc.GraphStore) -> str:
    lines = []
    for view in store.nodes():
        what = view["name"] or view["kind"]
        if view["kind"] == "stage":
            what = "; ".join(f"m{i} = {member_text(m)}" for i, m in enumerate(view["members"]))
        inputs = ",".join(map(str, view["inputs"]))
        mark = "   <- output" if view["output"] else ""
        lines.append(f"n{view['id']:<3} {view['kind']:<10} in=[{inputs}]  {what}{mark}")
    return "\n".join(lines)


class GraphExample(SphinxDirective):
    has_content = True
    option_spec = {"maximal-fusion": directives.flag, "before-only": directives.flag}

    def run(self) -> list[nodes.Node]:
        code = "\n".join(self.content)
        namespace: dict = {"vc": vc}
        try:
            exec(compile(code, f"<{self.env.current_document.docname}:{self.lineno}>", "exec"), namespace)
            store, outputs = namespace["store"], namespace["outputs"]
        except Exception as error:  # noqa: BLE001 - any failure becomes a build warning
            return [self.state.document.reporter.warning(f"graph-example failed: {error!r}", line=self.lineno)]
        shown = nodes.literal_block(code, code, language="python")
        marked = vc.GraphStore.deserialize(store.serialize(outputs=outputs))
        result: list[nodes.Node] = [shown, nodes.paragraph(text="Recorded (outputs drawn as double circles):")]
        result.append(dot_node(self, marked, "the recorded graph"))
        if "before-only" in self.options:
            return result
        maximal = "maximal-fusion" in self.options
        reduced, report = store.reduce(outputs=outputs, maximal_fusion=maximal)
        call = f"store.reduce(outputs={outputs!r}{', maximal_fusion=True' if maximal else ''})"
        result.append(nodes.paragraph(text=f"After {call}:"))
        result.append(dot_node(self, reduced, "the reduced graph"))
        counters = ", ".join(
            f"{key} {report[key]}"
            for key in (
                "input_nodes",
                "reachable_nodes",
                "canonical_nodes",
                "stages",
                "boundary_nodes",
                "reduced_nodes",
            )
        )
        listing = node_lines(reduced) + "\n\nreport: " + counters
        result.append(nodes.literal_block(listing, listing))
        return result


_workdir: pathlib.Path | None = None


def command_workdir() -> pathlib.Path:
    """A folder, made once per build, holding the demo's recorded graph as pipeline.vir."""
    global _workdir
    if _workdir is None:
        demo_path = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"
        spec = importlib.util.spec_from_file_location("veltrix_demo", demo_path)
        demo = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(demo)
        store = vc.GraphStore()
        outputs = demo.record_pipeline(store)
        _workdir = pathlib.Path(tempfile.mkdtemp(prefix="veltrix-docs-"))
        blob = store.serialize(outputs=outputs)
        (_workdir / "pipeline.vir").write_bytes(blob)
        (_workdir / "pipeline-with-trailing-bytes.vir").write_bytes(blob + b"\0\0")
    return _workdir


def remove_workdir(app, exception) -> None:
    global _workdir
    if _workdir is not None:
        shutil.rmtree(_workdir, ignore_errors=True)
        _workdir = None


class CommandExample(SphinxDirective):
    has_content = True
    option_spec = {"status": directives.nonnegative_int}

    def run(self) -> list[nodes.Node]:
        line = " ".join(self.content).strip()
        args = shlex.split(line)
        if args[:1] != ["veltrix-core"]:
            return [self.state.document.reporter.warning("command-example must run veltrix-core", line=self.lineno)]
        done = subprocess.run(
            [sys.executable, "-c", "import sys; from veltrix_core.cli import main; sys.exit(main())", *args[1:]],
            cwd=command_workdir(),
            capture_output=True,
            text=True,
            timeout=120,
        )
        expected = self.options.get("status", 0)
        if done.returncode != expected:
            message = f"command-example {line!r} exited {done.returncode}, not {expected}: {done.stderr.strip()}"
            return [self.state.document.reporter.warning(message, line=self.lineno)]
        text = f"$ {line}\n{done.stdout}{done.stderr}".rstrip("\n")
        return [nodes.literal_block(text, text, language="console")]


def setup(app):
    app.setup_extension("sphinx.ext.graphviz")
    app.add_directive("graph-example", GraphExample)
    app.add_directive("command-example", CommandExample)
    app.connect("build-finished", remove_workdir)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
