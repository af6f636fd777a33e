"""Pictures in notebooks: the SVG drawing and the IPython formatter, through IPython's own
display machinery."""

import pytest
from optional import require

import veltrix_core as vc
from veltrix_core import display

IPython = require("IPython")
from IPython.core.formatters import DisplayFormatter  # noqa: E402


class Shell:
    """What the formatter needs of an IPython shell: its display formatter."""

    def __init__(self):
        self.display_formatter = DisplayFormatter()


def graph():
    store = vc.GraphStore()
    x = store.add_source("read", {"path": "clicks"})
    store.add_op("neg", [x])
    return vc.GraphStore.deserialize(store.serialize(outputs=[1]))


@pytest.fixture
def graphviz():
    import shutil  # noqa: PLC0415

    if shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed")


def test_svg_draws_every_node(graphviz):
    picture = display.svg(graph())
    assert picture.lstrip().startswith("<?xml") and "</svg>" in picture
    assert "Source read {path=&quot;clicks&quot;}" in picture and "Op neg" in picture
    assert picture.count("<ellipse") == 3  # the output is a double circle


def test_registered_formatter_shows_a_store_as_its_picture(graphviz):
    shell = Shell()
    before, _ = shell.display_formatter.format(graph())
    assert "image/svg+xml" not in before
    display.register_ipython_formatter(shell)
    data, _ = shell.display_formatter.format(graph())
    assert data["image/svg+xml"] == display.svg(graph())
    assert "GraphStore" in data["text/plain"]
    other, _ = shell.display_formatter.format(vc.IncrementalReducer())
    assert "image/svg+xml" not in other


def test_without_graphviz_the_error_says_what_is_missing(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(display.GraphvizNotFoundError, match="needs Graphviz's `dot` program"):
        display.svg(graph())


def test_registering_outside_ipython_is_refused():
    with pytest.raises(RuntimeError, match="inside IPython"):
        display.register_ipython_formatter()


def test_svg_refuses_what_is_not_a_store():
    with pytest.raises(TypeError, match="takes a GraphStore, not bytes"):
        display.svg(graph().serialize())
