"""Pictures of graphs: the drawing's DOT text read back node by node and edge by edge, the SVG
that Graphviz makes of it, and the IPython formatter through IPython's own display machinery."""

import ast
import math
import re
import shutil
import xml.etree.ElementTree as ET
from dataclasses import dataclass

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from optional import require

import veltrix_core as vc
from veltrix_core import display
from veltrix_core._drawing import ROW_LIMIT, TEXT_LIMIT, drawing, shown_value

needs_graphviz = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
SVG_TEXT = "{http://www.w3.org/2000/svg}text"


@dataclass
class Drawn:
    rows: list[str]  # the label's lines of text
    attributes: str


@dataclass
class Picture:
    nodes: dict[str, Drawn]
    edges: list[tuple[str, str, str]]  # (from, to, attributes)

    def node(self, node_id):
        return self.nodes[f"n{node_id}"]

    def hidden(self):
        return {name: drawn for name, drawn in self.nodes.items() if not name.startswith("n")}


NODE = re.compile(r"  (\w+) \[label=<(<TABLE.*</TABLE>)>, (.*)\];")
EDGE = re.compile(r"  (\w+) -> (\w+)(?: \[(.*)\])?;")


def picture(store, **options):
    """The drawing of `store`, read back: each label is XML, each row one line of text."""
    nodes, edges = {}, []
    for line in drawing(store, **options).splitlines():
        if match := NODE.fullmatch(line):
            table = ET.fromstring(match.group(2))
            nodes[match.group(1)] = Drawn(["".join(cell.itertext()) for cell in table.iter("TD")], match.group(3))
        elif match := EDGE.fullmatch(line):
            edges.append((match.group(1), match.group(2), match.group(3) or ""))
    return Picture(nodes, edges)


def marked(store, outputs):
    return vc.GraphStore.deserialize(store.serialize(outputs=outputs))


def edge_positions(attributes):
    """The input positions an edge's label names, and how many times it says the input is used."""
    label = re.search(r'label="(?:×(\d+)  )?([^"]*)"', attributes)
    if label is None:
        return None, 1
    return [int(p) for p in re.findall(r"in(\d+)", label.group(2))], int(label.group(1) or 1)


def test_a_stage_lists_its_members_in_order_with_what_each_reads():
    store = vc.GraphStore()
    x, y = store.add_source("x"), store.add_source("y")
    scaled = store.add_op("mul", [x], {"scalar": 2.0})
    total = store.add_op("neg", [store.add_op("add", [scaled, y], {"mode": "fast"})])
    reduced, _ = store.reduce(outputs=[total])
    (stage,) = [view for view in reduced.nodes() if view["kind"] == "stage"]
    drawn = picture(reduced).node(stage["id"])
    assert "penwidth=2.5" in drawn.attributes and "circle" not in drawn.attributes  # an output, outlined
    assert drawn.rows == [
        f"n{stage['id']} · stage · 3 members · 2 inputs output",
        "m0 op mul(in0) {scalar=2.0}",
        'm1 op add(m0, in1) {mode="fast"}',
        "m2 op neg(m1)",
    ]
    into = {source: attributes for source, target, attributes in picture(reduced).edges if target == f"n{stage['id']}"}
    assert {source: edge_positions(a)[0] for source, a in into.items()} == {
        f"n{node}": [position] for position, node in enumerate(stage["inputs"])
    }


def small_graph():
    store = vc.GraphStore()
    store.add_op("neg", [store.add_source("read", {"path": "clicks"})])
    return store


@pytest.mark.parametrize(
    "value, shown",
    [
        (1.0, "1.0"),
        (1, "1"),
        (math.nan, "nan"),
        (-math.inf, "-inf"),
        ('a"b\\c\n\t\x00', r'"a\"b\\c\n\t\0"'),
        ("\x01\u0301", r'"\u{1}\u{301}"'),  # a control character; a combining mark, which would join the quote
        ("x" * (TEXT_LIMIT + 5), '"' + "x" * TEXT_LIMIT + '"…(+5)'),
    ],
)
def test_params_show_their_values_as_written_in_python(value, shown):
    store = vc.GraphStore()
    store.add_source("s", {"key": value})
    assert picture(store).node(0).rows[2] == f"key={shown}"


simple_values = st.one_of(
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(st.characters(categories=("L", "N", "P", "S"), include_characters=" "), max_size=TEXT_LIMIT),
)


@given(simple_values)
def test_a_shown_value_reads_back_in_python_as_the_same_type_and_value(value):
    back = ast.literal_eval(shown_value(value))
    assert type(back) is type(value) and back == value
    if isinstance(value, float):
        assert math.copysign(1, back) == math.copysign(1, value)


def test_past_the_limit_the_nodes_nearest_the_outputs_are_drawn_and_the_rest_counted():
    store = vc.GraphStore()
    sources = [store.add_source("read", {"part": part}) for part in range(50)]
    total = store.add_reduction("sum", sources)
    store.add_source("unused")
    drawn = picture(marked(store, [total]), max_nodes=10)
    assert set(drawn.nodes) - set(drawn.hidden()) == {f"n{node}" for node in [*sources[:9], total]}
    hidden = {name: box.rows for name, box in drawn.hidden().items()}
    assert hidden == {f"behind_n{total}": ["… 41 more nodes", "41 source"], "hidden": ["… 1 more node", "1 source"]}
    assert (f"behind_n{total}", f"n{total}") in [(source, target) for source, target, _ in drawn.edges]


def test_long_texts_and_long_lists_are_cut_visibly():
    store = vc.GraphStore()
    store.add_source("a" * 1000, {f"k{index:03}": index for index in range(100)})
    rows = picture(store).node(0).rows
    assert rows[1] == "a" * TEXT_LIMIT + f"…(+{1000 - TEXT_LIMIT})"
    assert rows[2:] == [f"k{index:03}={index}" for index in range(ROW_LIMIT)] + [f"… {100 - ROW_LIMIT} more params"]


@pytest.mark.parametrize("max_nodes, error", [(0, ValueError), (-1, ValueError), (True, TypeError), ("5", TypeError)])
def test_a_limit_that_is_not_a_positive_int_is_refused(max_nodes, error):
    with pytest.raises(error, match="max_nodes"):
        drawing(small_graph(), max_nodes=max_nodes)


@st.composite
def recorded_graphs(draw):
    """Small graphs of every kind, some reduced (so with stages), some with outputs marked."""
    store = vc.GraphStore()
    descriptor = {"kind": "k", "content_hash": "h", "framework": "f", "version": "v", "io_schema": "s"}
    for _ in range(draw(st.integers(1, 25))):
        count = store.node_count()
        kind = draw(
            st.sampled_from(["source", "op", "op", "reduction", "external", "exchange"]) if count else st.just("source")
        )
        if kind == "source":
            store.add_source(draw(st.sampled_from("abc")), {"n": draw(st.integers(0, 2))})
            continue
        inputs = draw(st.lists(st.integers(0, count - 1), min_size=1, max_size=3))
        if kind == "op":
            store.add_op(draw(st.sampled_from(["add", "mul", "neg"])), inputs)
        elif kind == "reduction":
            store.add_reduction("sum", inputs[:1], {"axis": 0})
        elif kind == "external":
            store.add_external(descriptor, inputs)
        else:
            store.add_exchange(inputs[:1])
    outputs = draw(st.lists(st.integers(0, store.node_count() - 1), max_size=3, unique=True))
    if outputs and draw(st.booleans()):
        store, _ = store.reduce(outputs=outputs)
        return store
    return marked(store, outputs)


@settings(max_examples=100)
@given(recorded_graphs(), st.integers(1, 30))
def test_a_picture_shows_each_node_drawn_as_nodes_says_and_counts_the_rest(store, max_nodes):
    views = store.nodes()
    drawn = picture(store, max_nodes=max_nodes)
    hidden = drawn.hidden()
    shown = {int(name[1:]) for name in drawn.nodes if name not in hidden}
    assert len(shown) == min(len(views), max_nodes)
    if len(store.outputs()) <= max_nodes:
        assert set(store.outputs()) <= shown
    counted = sum(int(re.match(r"… (\d+) more", box.rows[0]).group(1)) for box in hidden.values())
    assert len(shown) + counted == len(views)
    for node in shown:
        view = views[node]
        header = drawn.node(node).rows[0]
        assert header.startswith(f"n{node} · {view['kind']}") and header.endswith(" output") == view["output"]
        edges = [(source, attributes) for source, target, attributes in drawn.edges if target == f"n{node}"]
        expected = {}
        for position, source in enumerate(view["inputs"]):
            if source in shown:
                expected.setdefault(f"n{source}", []).append(position)
        got = {}
        for source, attributes in edges:
            if source.startswith("n"):
                positions, times = edge_positions(attributes)
                assert positions is None or times == len(expected[source])
                got[source] = positions if positions is not None else [0]
        assert got == {source: positions[:4] for source, positions in expected.items()}
        assert any(source in hidden for source, _ in edges) == any(i not in shown for i in view["inputs"])


def svg_texts(store):
    """The texts of the SVG picture of `store`: Graphviz writes one element per line and font."""
    texts = (element.text or "" for element in ET.fromstring(display.svg(store)).iter(SVG_TEXT))
    return [text.strip(" ") for text in texts if text.strip(" ")]


@needs_graphviz
def test_svg_draws_every_node():
    assert svg_texts(marked(small_graph(), [1])) == [
        "n0",
        "· source",
        "read",
        'path="clicks"',
        "n1",
        "· op",
        "output",
        "neg",
    ]


def test_registered_formatter_shows_a_store_as_its_picture():
    require("IPython")
    from IPython.core.formatters import DisplayFormatter  # noqa: PLC0415

    if shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed")

    class Shell:
        """What the formatter needs of an IPython shell: its display formatter."""

        display_formatter = DisplayFormatter()

    shell = Shell()
    before, _ = shell.display_formatter.format(small_graph())
    assert "image/svg+xml" not in before
    display.register_ipython_formatter(shell)
    data, _ = shell.display_formatter.format(small_graph())
    assert data["image/svg+xml"] == display.svg(small_graph())
    assert "GraphStore" in data["text/plain"]
    other, _ = shell.display_formatter.format(vc.IncrementalReducer())
    assert "image/svg+xml" not in other
    display.register_ipython_formatter(shell, max_nodes=1)
    data, _ = shell.display_formatter.format(small_graph())
    assert data["image/svg+xml"] == display.svg(small_graph(), max_nodes=1) != display.svg(small_graph())


def test_without_graphviz_the_error_says_what_is_missing(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(display.GraphvizNotFoundError, match="needs Graphviz's `dot` program"):
        display.svg(small_graph())


def test_registering_outside_ipython_is_refused():
    require("IPython")
    with pytest.raises(RuntimeError, match="inside IPython"):
        display.register_ipython_formatter()


def test_svg_refuses_what_is_not_a_store():
    with pytest.raises(TypeError, match="takes a GraphStore, not bytes"):
        display.svg(small_graph().serialize())


# Any text, with the characters that XML forbids, Graphviz's own escapes and references, and the
# DOT and HTML quoting characters over-represented.
texts = st.text(
    st.one_of(
        st.characters(exclude_categories=("Cs",)), st.sampled_from('\x00\x01\x0b\x1f\ufffe\uffff&#;\\"<>\n\r\t]')
    ),
    max_size=10,
)


def store_of_texts(name, key, value, fields):
    store = vc.GraphStore()
    x = store.add_source(name, {key: value})
    descriptor = dict(zip(("kind", "content_hash", "framework", "version", "io_schema"), fields))
    e = store.add_external(descriptor, [x], {key: value})
    y = store.add_op(value, [x, e], {name: key})
    z = store.add_op(name, [y], {key: 1.5})
    store.add_exchange([e], {key: name})
    reduced, _ = store.reduce(outputs=[z, e])  # z fuses into a stage, its members' texts drawn too
    return store, reduced


@needs_graphviz
@given(name=texts, key=texts, value=texts, fields=st.lists(texts, min_size=5, max_size=5))
@example(name="", key="", value="]", fields=[""] * 5)  # a label text that starts with "]"
def test_the_picture_of_any_text_is_well_formed_xml(name, key, value, fields):
    for store in store_of_texts(name, key, value, fields):
        ET.fromstring(display.svg(store))


@needs_graphviz
def test_the_longest_labels_stay_within_what_graphviz_reads():
    # Every character of these takes the most bytes a label can give one: an escape of 8 to 10.
    awkward = "\ufffe\U0010fffd&\x01" * 300
    params = {awkward + str(index): awkward for index in range(40)}
    store = vc.GraphStore()
    x = store.add_source(awkward, params)
    store.add_external(
        dict.fromkeys(("kind", "content_hash", "framework", "version", "io_schema"), awkward), [x], params
    )
    chain = x
    for _ in range(40):
        chain = store.add_op(awkward, [chain], params)
    reduced, _ = store.reduce(outputs=[chain])
    for drawn in (store, reduced):
        ET.fromstring(display.svg(drawn))


@needs_graphviz
@pytest.mark.parametrize(
    "name, shown",
    [
        ("a\x01b", "a\\u{1}b"),  # a character XML forbids, made visible
        ("nul\x00", "nul\\u{0}"),  # which Graphviz would stop at
        ("\ufffe\uffff", "\\u{fffe}\\u{ffff}"),
        ("tab\tcr\r", "tab\\u{9}cr\\u{d}"),  # which Graphviz would drop
        ("&#1;", "&#1;"),  # references are drawn as written, not decoded
        ("&lt;&amp;<b>", "&lt;&amp;<b>"),
        ("back\\slash", "back\\slash"),
        ("two\nlines", "two\nlines"),  # a line feed breaks the line
    ],
)
def test_every_character_is_drawn_as_written_or_visibly_escaped(name, shown):
    store = vc.GraphStore()
    store.add_source(name)
    assert svg_texts(store) == ["n0", "· source", *shown.split("\n")]
