"""Pictures in notebooks: the SVG drawing and the IPython formatter, through IPython's own
display machinery."""

import shutil
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given
from hypothesis import strategies as st
from optional import require

import veltrix_core as vc
from veltrix_core import display
from veltrix_core._graphviz import visible

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
    if shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed")


needs_graphviz = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
SVG_TEXT = "{http://www.w3.org/2000/svg}text"


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


# Any text, with the characters that XML forbids, Graphviz's own escapes and references, and the
# DOT quoting characters over-represented.
texts = st.text(
    st.one_of(st.characters(exclude_categories=("Cs",)), st.sampled_from('\x00\x01\x0b\x1f\ufffe\uffff&#;\\"<>\n\r')),
    max_size=10,
)


def store_of_texts(name, key, value, fields):
    store = vc.GraphStore()
    x = store.add_source(name, {key: value})
    descriptor = dict(zip(("kind", "content_hash", "framework", "version", "io_schema"), fields))
    e = store.add_external(descriptor, [x], {key: value})
    store.add_op(value, [x, e], {name: key})
    store.add_exchange([e], {key: name})
    return store


@needs_graphviz
@given(name=texts, key=texts, value=texts, fields=st.lists(texts, min_size=5, max_size=5))
def test_the_picture_of_any_text_is_well_formed_xml(name, key, value, fields):
    ET.fromstring(display.svg(store_of_texts(name, key, value, fields)))


@needs_graphviz
@pytest.mark.parametrize(
    "name, shown",
    [
        ("a\x01b", "a\\u{1}b"),  # a character XML forbids, made visible
        ("nul\x00", "nul\\u{0}"),  # which Graphviz would stop at
        ("\ufffe\uffff", "\\u{fffe}\\u{ffff}"),
        ("&#1;", "&#1;"),  # references are drawn as written, not decoded
        ("&lt;&amp;", "&lt;&amp;"),
        ("back\\slash", "back\\slash"),
        pytest.param("é\\" * 9000, "é\\" * 9000, id="longer than Graphviz reads as one string"),
    ],
)
def test_every_character_is_drawn_as_written_or_visibly_escaped(name, shown):
    store = vc.GraphStore()
    store.add_source(name)
    drawn = [element.text for element in ET.fromstring(display.svg(store)).iter(SVG_TEXT)]
    assert drawn == [f"Source {shown}"]
    assert visible(name) == shown  # the one form every picture gives them
