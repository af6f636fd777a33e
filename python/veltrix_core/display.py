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

from typing import Any

from veltrix_core import GraphStore
from veltrix_core._graphviz import GraphvizError, GraphvizNotFoundError, render

__all__ = ["GraphvizError", "GraphvizNotFoundError", "register_ipython_formatter", "svg"]

SVG_MIME = "image/svg+xml"


def svg(store: GraphStore) -> str:
    """The graph of `store` drawn by Graphviz, as SVG text (outputs as double circles).

    The text is well-formed XML whatever the names and values hold: a character that a picture
    cannot hold (a control character other than tab, line feed and carriage return; U+FFFE;
    U+FFFF) is shown as an escape such as \\u{1}, and every other character as it stands.

    Raises `GraphvizNotFoundError` when Graphviz's `dot` program is not installed, and
    `GraphvizError` when it fails."""
    if not isinstance(store, GraphStore):
        raise TypeError(f"svg() takes a GraphStore, not {type(store).__qualname__}")
    return render(store.to_dot(), "svg").decode()


def register_ipython_formatter(shell: Any = None) -> None:
    """Shows every `GraphStore` as its picture in IPython and Jupyter from now on.

    `shell` is the IPython shell to register with; by default the one running now. Raises
    `RuntimeError` outside IPython. Registering again changes nothing."""
    if shell is None:
        try:
            from IPython import get_ipython  # noqa: PLC0415 - IPython only when asked for
        except ImportError:
            raise RuntimeError("register_ipython_formatter() needs IPython, which is not installed") from None
        shell = get_ipython()
        if shell is None:
            raise RuntimeError("register_ipython_formatter() must run inside IPython or a Jupyter kernel")
    shell.display_formatter.formatters[SVG_MIME].for_type(GraphStore, svg)
