"""The package's picture of a graph, as DOT text for Graphviz, drawn from the store's columns.

`GraphStore.to_dot` writes a fixed text with one short label per node. This drawing is made to
be read: each node's label holds its id, its kind, its name and its params with their Python
types (``scalar=1.0``, ``n=1``, ``flag=True``, ``mode="fast"``); a stage lists its members in
order, with what each reads (``in0`` is the stage's first input, ``m0`` its first member);
kinds differ in shape and colour; outputs have a thick red border and an "output" tag; an edge
into a node with several inputs (or into a stage) is labelled with the input positions it fills.

A graph of more than ``max_nodes`` nodes is summarised: the ``max_nodes`` nodes nearest the
outputs are drawn (those fewest steps upstream of an output, then those upstream of nodes that
nothing reads), and each node drawn whose inputs were left out gets one dashed "… N more nodes"
box standing for everything hidden behind it, with the kinds it holds; hidden nodes that lead
to no drawn node share one more box.

Every text of the graph goes through `visible` before Graphviz sees it, and is then written as
text of an HTML-like label, so names, keys and values reach the picture as written: a line feed
breaks the line, tab and carriage return are shown as \\u{9} and \\u{d}. A text longer than
`TEXT_LIMIT` characters is cut, ending in "…(+N)"; a node with more than `ROW_LIMIT` params or
members shows the first ones and "… N more".
"""

from __future__ import annotations

import html
import unicodedata
from collections import deque
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from veltrix_core import GraphStore, columns
from veltrix_core._graphviz import visible
from veltrix_core.typing import MemberRef, MemberView, ParamValue, ShapeView

__all__ = ["DEFAULT_MAX_NODES", "ROW_LIMIT", "TEXT_LIMIT", "check_max_nodes", "drawing", "shown_value"]

DEFAULT_MAX_NODES = 200
"""How many nodes a picture draws before it summarises the rest."""

TEXT_LIMIT = 80
"""Characters of one name, key, value or descriptor field shown before it is cut."""

ROW_LIMIT = 24
"""Params of a node, or members of a stage, listed before the rest are counted."""

MEMBER_PARAMS = 4  # params written inline on a member's line before the rest are counted

# Graphviz reads no HTML-like label longer than 16384 bytes. With the limits above a node's
# header stays far below 4000 bytes and one listed row below 8000, so a list kept under this
# budget always fits beside its header.
LIST_BYTES = 12_000

# Per kind: the shape, the fill and the border; an output's border is OUTPUT_BORDER, thicker.
KIND_STYLES = {
    "source": ("shape=cylinder", "#dcf0dc", "#4e8a4e"),
    "op": ('shape=box, style="filled,rounded"', "#dde9f7", "#4a6f9c"),
    "reduction": ('shape=box, style="filled,diagonals"', "#fde5cc", "#b36b1f"),
    "external": ("shape=box3d", "#ebdff5", "#7a4f9c"),
    "stage": ("shape=box", "#fff4c4", "#a08a2a"),
    "exchange": ("shape=component", "#e4e4e4", "#666666"),
}
OUTPUT_BORDER = "#c62828"
ROW = '<TR><TD ALIGN="LEFT" BALIGN="LEFT">{}</TD></TR>'
HIDDEN_STYLE = 'shape=note, style="dashed", color="#777777", fontcolor="#555555"'

HEADER = (
    "digraph veltrix {",
    # Network simplex bounded: without the bound, an input read by nodes on many ranks (a source
    # every stage reads, say) makes Graphviz place coordinates for minutes.
    '  graph [rankdir=TB, nodesep=0.3, ranksep=0.45, nslimit=2, nslimit1=2, fontname="Helvetica", fontsize=10,'
    " labelloc=b];",
    '  node [style=filled, fontname="Helvetica", fontsize=11, margin="0.1,0.05"];',
    '  edge [fontname="Helvetica", fontsize=9, fontcolor="#555555", color="#555555", arrowsize=0.7];',
)


# Picture texts: what `visible` escapes, and tab and carriage return too, which Graphviz would
# drop from an HTML-like label without a trace.
_SPACING = {0x09: "\\u{9}", 0x0D: "\\u{d}"}


def cut(text: str) -> str:
    if len(text) <= TEXT_LIMIT:
        return text
    return f"{text[:TEXT_LIMIT]}…(+{len(text) - TEXT_LIMIT})"


def label_text(text: str) -> str:
    """`text` as text of an HTML-like label, every character drawn or visibly escaped."""
    lines = visible(text).translate(_SPACING).split("\n")
    # Graphviz's label reader fails on a "]" at the start of a text (it looks for the end of a
    # character-data section there): as a character reference it is read as the character it is.
    return '<BR ALIGN="LEFT"/>'.join(html.escape(line).replace("]", "&#93;") for line in lines)


_STR_ESCAPES = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def _str_character(character: str) -> str:
    escaped = _STR_ESCAPES.get(character)
    if escaped is not None:
        return escaped
    # A combining mark would join the character before it (a quote, say) into one glyph.
    if not character.isprintable() or unicodedata.category(character) in ("Mn", "Me"):
        return f"\\u{{{ord(character):x}}}"
    return character


def quoted(text: str) -> str:
    """A str value as written in code: in double quotes, with escapes for quotes, backslashes and
    characters that do not print."""
    shown = "".join(map(_str_character, text[:TEXT_LIMIT]))
    rest = len(text) - TEXT_LIMIT
    return f'"{shown}"…(+{rest})' if rest > 0 else f'"{shown}"'


def shown_value(value: ParamValue) -> str:
    """A param value as the user wrote it in Python: True, 1, 1.0, -0.0, nan, "text"."""
    return quoted(value) if isinstance(value, str) else repr(value)


def param_texts(params: dict[str, ParamValue]) -> list[str]:
    return [label_text(f"{cut(key)}={shown_value(value)}") for key, value in params.items()]


def bold(text: str) -> str:
    return f"<B>{text}</B>" if text else ""  # Graphviz refuses an empty <B></B>


def small(text: str) -> str:
    return f'<FONT POINT-SIZE="9" COLOR="#555555">{text}</FONT>'


def listed(rows: list[str], noun: str) -> list[str]:
    """`rows` up to `ROW_LIMIT` of them and `LIST_BYTES` in all, and a row counting the rest."""
    kept: list[str] = []
    size = 0
    for row in rows[:ROW_LIMIT]:
        size += len(ROW.format(row).encode())
        if size > LIST_BYTES:
            break
        kept.append(row)
    rest = len(rows) - len(kept)
    return kept + ([small(f"<I>… {rest} more {noun}</I>")] if rest else [])


def reads(refs: Sequence[MemberRef]) -> str:
    return ", ".join(f"in{index}" if kind == "input" else f"m{index}" for kind, index in refs)


def member_row(position: int, member: MemberView) -> str:
    params = param_texts(member["params"])
    if len(params) > MEMBER_PARAMS:
        params = [*params[:MEMBER_PARAMS], f"… {len(params) - MEMBER_PARAMS} more"]
    braces = " {" + ", ".join(params) + "}" if params else ""
    call = f"{member['kind']} {bold(label_text(cut(member['name'])))}({reads(member['inputs'])})"
    return f"{small(f'm{position}')} {call}{braces}"


def shape_rows(shape: ShapeView) -> list[str]:
    """The rows of a node's label below its header that every node of this shape shares."""
    kind = shape["kind"]
    if kind == "stage":
        return listed([member_row(j, member) for j, member in enumerate(shape["members"])], "members")
    rows: list[str] = []
    if kind in ("source", "op", "reduction"):
        rows.append(bold(label_text(cut(shape["name"]))))
    elif kind == "external":
        d = shape["descriptor"]
        rows.append(f"<B>{label_text(cut(d['kind']) + ':' + cut(d['content_hash']))}</B>")
        rows.append(label_text(f"{cut(d['framework'])} {cut(d['version'])}"))
    return rows + listed(param_texts(shape["params"]), "params")


def header(node: int, shape: ShapeView, output: bool, input_count: int) -> str:
    kind = shape["kind"]
    words = [f"<B>n{node}</B>", kind]
    if kind == "stage":
        count = len(shape["members"])
        words.append(f"{count} member{'s' if count != 1 else ''}")
        if input_count:
            words.append(f"{input_count} input{'s' if input_count != 1 else ''}")
    tag = f' <FONT COLOR="{OUTPUT_BORDER}"><B>output</B></FONT>' if output else ""
    return small(" · ".join(words)) + tag


def html_label(rows: Iterable[str]) -> str:
    cells = "".join(ROW.format(row) for row in rows)
    return f'<<TABLE BORDER="0" CELLBORDER="0" CELLSPACING="0" CELLPADDING="1">{cells}</TABLE>>'


def edge_label(positions: list[int], count_inputs: int, stage: bool) -> str:
    """Which input positions of its node an edge fills, when the node has several or is a
    stage (whose members read them by position); an input used k times is one edge, "×k"."""
    if count_inputs < 2 and not stage:
        return ""
    names = [f"in{p}" for p in positions[:4]] + (["…"] if len(positions) > 4 else [])
    times = f"×{len(positions)}  " if len(positions) > 1 else ""
    return f' [xlabel="{times}{", ".join(names)}"]'


@dataclass
class Hidden:
    """Nodes left out of a summarised picture, drawn as one box."""

    count: int = 0
    outputs: int = 0
    kinds: dict[str, int] = field(default_factory=dict)


@dataclass
class Selection:
    shown: list[int]  # rows drawn, in id order
    hidden: dict[int, Hidden]  # by the drawn row they stand behind, -1 for those behind none
    group_of: dict[int, int]  # hidden row -> key of its Hidden


def nearest_outputs(graph: columns.Columns, outputs: list[int], max_nodes: int) -> Selection:
    """The `max_nodes` rows fewest steps upstream of an output (then of a node nobody reads),
    and the rest grouped by the drawn node through which the search first reached them."""
    count = len(graph)
    offsets, inputs = graph.offsets.tolist(), graph.inputs.tolist()
    read = bytearray(count)
    for node in inputs:
        read[node] = 1
    seen = bytearray(count)
    via = [-1] * count
    order: list[int] = []
    queue: deque[int] = deque()

    def search(roots: Iterable[int]) -> None:
        for root in roots:
            if not seen[root]:
                seen[root] = 1
                queue.append(root)
        while queue:
            row = queue.popleft()
            order.append(row)
            for node in inputs[offsets[row] : offsets[row + 1]]:
                if not seen[node]:
                    seen[node] = 1
                    via[node] = row
                    queue.append(node)

    search(outputs)
    search(row for row in range(count) if not read[row])
    shown = set(order[:max_nodes])
    marked = set(outputs)
    kinds = graph.kinds.tolist()
    hidden: dict[int, Hidden] = {}
    group_of: dict[int, int] = {}
    for row in order[max_nodes:]:  # every node comes after the one it was reached through
        behind = via[row]
        key = behind if behind in shown else group_of.get(behind, -1)
        group_of[row] = key
        box = hidden.setdefault(key, Hidden())
        box.count += 1
        box.outputs += row in marked
        kind = columns.KINDS[kinds[row]]
        box.kinds[kind] = box.kinds.get(kind, 0) + 1
    return Selection(sorted(shown), hidden, group_of)


def hidden_id(key: int) -> str:
    return "hidden" if key < 0 else f"behind_n{key}"


def hidden_label(box: Hidden) -> str:
    kinds = ", ".join(f"{n} {kind}" for kind, n in sorted(box.kinds.items(), key=lambda item: (-item[1], item[0])))
    rows = [f"<I>… {box.count} more node{'s' if box.count != 1 else ''}</I>", kinds]
    if box.outputs:
        rows.append(f"{box.outputs} output{'s' if box.outputs != 1 else ''}")
    return html_label(rows)


def check_max_nodes(max_nodes: int) -> None:
    if isinstance(max_nodes, bool) or not isinstance(max_nodes, int):
        raise TypeError(f"max_nodes must be an int, not {type(max_nodes).__qualname__}")
    if max_nodes < 1:
        raise ValueError(f"max_nodes must be at least 1, not {max_nodes}")


def drawing(store: GraphStore, *, max_nodes: int = DEFAULT_MAX_NODES) -> str:
    """DOT text of the picture of `store`, for Graphviz (see the module's documentation)."""
    check_max_nodes(max_nodes)
    # Every node is read, so rows are ids: ids are dense from 0 in id order.
    graph = columns.read(store)
    outputs = store.outputs()
    if len(graph) > max_nodes:
        selection = nearest_outputs(graph, outputs, max_nodes)
    else:
        selection = Selection(list(range(len(graph))), {}, {})
    lines = list(HEADER)
    if selection.hidden:
        nearest = "the outputs" if outputs else "the nodes nothing reads"
        lines.append(f'  graph [label="{len(selection.shown)} of {len(graph)} nodes drawn: those nearest {nearest}"];')
    lines += node_lines(graph, selection, set(outputs))
    lines += edge_lines(graph, selection)
    lines.append("}")
    return "\n".join(lines) + "\n"


def node_style(kind: str, output: bool) -> str:
    shape, fill, border = KIND_STYLES[kind]
    if output:
        return f'{shape}, fillcolor="{fill}", color="{OUTPUT_BORDER}", penwidth=2.5'
    return f'{shape}, fillcolor="{fill}", color="{border}"'


def node_lines(graph: columns.Columns, selection: Selection, outputs: set[int]) -> list[str]:
    shapes, offsets = graph.shapes, graph.offsets
    rows_of_shape: dict[int, list[str]] = {}
    lines = []
    for row in selection.shown:
        shape_index = shapes[row]
        shape = graph.shape_table[shape_index]
        if shape_index not in rows_of_shape:
            rows_of_shape[shape_index] = shape_rows(shape)
        output = row in outputs
        top = header(row, shape, output, offsets[row + 1] - offsets[row])
        label = html_label([top, *rows_of_shape[shape_index]])
        style = node_style(shape["kind"], output)
        lines.append(f"  n{row} [label={label}, {style}];")
    for key, box in selection.hidden.items():
        lines.append(f"  {hidden_id(key)} [label={hidden_label(box)}, {HIDDEN_STYLE}];")
    return lines


def edge_lines(graph: columns.Columns, selection: Selection) -> list[str]:
    kinds, stage = graph.kinds, columns.KINDS.index("stage")
    lines = []
    for row in selection.shown:
        node_inputs = graph.inputs_of(row).tolist()
        positions: dict[int, list[int]] = {}
        behind: dict[int, None] = {}  # hidden boxes feeding this node, in input order
        for position, node in enumerate(node_inputs):
            key = selection.group_of.get(node)
            if key is None:
                positions.setdefault(node, []).append(position)
            else:
                behind[key] = None
        for node, used in positions.items():
            lines.append(f"  n{node} -> n{row}{edge_label(used, len(node_inputs), kinds[row] == stage)};")
        lines += [f'  {hidden_id(key)} -> n{row} [style=dashed, color="#777777"];' for key in behind]
    return lines
