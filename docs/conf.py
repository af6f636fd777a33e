"""Sphinx configuration of the veltrix_core documentation (built by scripts/docs.sh)."""

import pathlib
import re
import sys
import tomllib

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

with open(ROOT / "pyproject.toml", "rb") as f:
    release = version = tomllib.load(f)["project"]["version"]

project = "veltrix_core"
author = "The veltrix_core developers"
copyright = "The veltrix_core developers"

extensions = ["autoapi.extension", "sphinx.ext.graphviz", "graph_example"]
exclude_patterns = ["_build"]
default_role = "py:obj"

# The API reference is read from the stubs and the pure-Python modules, not from the compiled
# module, so it shows the precise types that type checkers see.
autoapi_type = "python"
autoapi_dirs = [str(ROOT / "python" / "veltrix_core")]
autoapi_file_patterns = ["*.pyi", "*.py"]
# The command line has its own page.
autoapi_ignore = ["*/__main__.py", "*/cli.py"]
# The run package's plan, evaluator and lowering are its machinery, and what callers use of them
# and of its other submodules is exported by veltrix_core.run itself; they are read (so that
# imports resolve) but get no pages of their own.
_RUN_INTERNALS = {f"veltrix_core.run.{name}" for name in ("plan", "local", "lowering", "errors", "reduction")}
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_options = ["members", "undoc-members", "show-module-summary", "imported-members"]
autoapi_python_class_content = "class"
autoapi_member_order = "bysource"

graphviz_output_format = "svg"
graphviz_dot_args = ["-Gfontname=Helvetica", "-Nfontname=Helvetica", "-Nfontsize=11"]

html_theme = "alabaster"
html_theme_options = {"page_width": "1100px", "sidebar_width": "240px"}
html_static_path = []
html_title = f"veltrix_core {release}"


def _constructor(self):
    """The extension's classes are built by __new__ (they have no __init__ of their own), so the
    stubs declare __new__; show its parameters as the class signature, without `cls`."""
    methods = {child.short_name: child for child in self.children if child.type == "method" and not child.inherited}
    constructor = methods.get("__init__") or methods.get("__new__")
    if constructor is not None and constructor.obj["args"][:1] and constructor.obj["args"][0][1] == "cls":
        constructor.obj["args"] = [(None, "self", None, None), *constructor.obj["args"][1:]]
    return constructor


# A sentence ends at a full stop, question or exclamation mark followed by a space or the end.
_SENTENCE = re.compile(r"(.+?[.!?])(?:\s|$)", re.S)


def _summary(self):
    """The summary tables show the first sentence of each docstring whole, however its lines are
    wrapped (autoapi's own summary is the first line, which cuts wrapped sentences short)."""
    paragraph = []
    for line in self.docstring.splitlines():
        if line.strip():
            paragraph.append(line.strip())
        elif paragraph:
            break
    text = " ".join(paragraph)
    match = _SENTENCE.match(text)
    return match.group(1) if match else text


def _skip_run_internals(app, what, name, obj, skip, options):
    return True if what == "module" and name in _RUN_INTERNALS else skip


def setup(app):
    app.connect("autoapi-skip-member", _skip_run_internals)
    from autoapi import _objects  # noqa: PLC0415 - only once Sphinx has loaded the extension

    _objects.PythonClass.constructor = property(_constructor)
    _objects.PythonObject.summary = property(_summary)
