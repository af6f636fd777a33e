"""Pictures of graphs for notebooks.

`svg(store)` draws a `GraphStore` as SVG with Graphviz's `dot` program, and
`register_ipython_formatter()` makes IPython and Jupyter show every `GraphStore` as that picture::

    import veltrix_core.display
    veltrix_core.display.register_ipython_formatter()
    store            # the last expression of a cell now shows the graph

Graphviz must be installed (its `dot` program on PATH); without it `svg` raises
`GraphvizNotFoundError`. IPython is imported only by `register_ipython_formatter`.
"""

from __future__ import annotations

import functools
from typing import Any

from veltrix_core import GraphStore
from veltrix_core._drawing import DEFAULT_MAX_NODES, check_max_nodes, drawing
from veltrix_core._graphviz import GraphvizError, GraphvizNotFoundError, render

__all__ = ["DEFAULT_MAX_NODES", "GraphvizError", "GraphvizNotFoundError", "register_ipython_formatter", "svg"]

SVG_MIME = "image/svg+xml"


def svg(store: GraphStore, *, max_nodes: int = DEFAULT_MAX_NODES) -> str:
    """The graph of `store` drawn by Graphviz, as SVG text.

    Each node shows its id (as in `GraphStore.nodes()`), its kind, name and params, with each
    value as written in Python (``scalar=1.0``, ``n=1``, ``flag=True``, ``mode="fast"``); a
    stage lists its members in order and what each reads (``in0``: the stage's first input,
    ``m0``: its first member). Kinds differ in shape and colour, and the store's outputs have a
    thick red border and an "output" tag. An edge into a stage or into a node of several inputs
    is labelled with the positions it fills (``×2  in0, in1`` for an input used twice).

    A store of more than `max_nodes` nodes is summarised: the `max_nodes` nodes nearest the
    outputs (fewest steps upstream of one) are drawn, and the rest as dashed "… N more nodes"
    boxes, one behind each drawn node whose inputs were left out, counting the kinds they hold.

    The text is well-formed XML whatever the names and values hold: a character that a picture
    cannot hold (a control character other than line feed; U+FFFE; U+FFFF) is shown as an
    escape such as \\u{1}, and every other character as it stands. A text longer than 80
    characters is cut, ending in "…(+N)", and a node lists at most 24 params or members.

    Raises `GraphvizNotFoundError` when Graphviz's `dot` program is not installed,
    `GraphvizError` when it fails, and `ValueError` when `max_nodes` is below 1."""
    if not isinstance(store, GraphStore):
        raise TypeError(f"svg() takes a GraphStore, not {type(store).__qualname__}")
    return render(drawing(store, max_nodes=max_nodes), "svg").decode()


def register_ipython_formatter(shell: Any = None, *, max_nodes: int = DEFAULT_MAX_NODES) -> None:
    """Shows every `GraphStore` as its picture in IPython and Jupyter from now on.

    `shell` is the IPython shell to register with; by default the one running now. `max_nodes`
    is passed to `svg`. Raises `RuntimeError` outside IPython. Registering again replaces the
    earlier registration."""
    check_max_nodes(max_nodes)
    if shell is None:
        try:
            from IPython import get_ipython  # noqa: PLC0415 - IPython only when asked for
        except ImportError:
            raise RuntimeError("register_ipython_formatter() needs IPython, which is not installed") from None
        shell = get_ipython()
        if shell is None:
            raise RuntimeError("register_ipython_formatter() must run inside IPython or a Jupyter kernel")
    shell.display_formatter.formatters[SVG_MIME].for_type(GraphStore, functools.partial(svg, max_nodes=max_nodes))
