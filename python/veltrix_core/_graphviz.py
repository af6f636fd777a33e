"""Rendering DOT text to pictures with Graphviz's `dot` program (the command line and the
notebook display share it), and the one way pictures show characters that they cannot hold."""

from __future__ import annotations

import shutil
import subprocess

__all__ = ["GraphvizError", "GraphvizNotFoundError", "render", "visible"]

# Characters no picture can hold: XML forbids them in a document (so an SVG holding one does not
# parse), and Graphviz stops at a NUL. Tab, line feed and carriage return are allowed.
UNDRAWABLE = (*range(0x00, 0x09), 0x0B, 0x0C, *range(0x0E, 0x20), 0xFFFE, 0xFFFF)


def _escape(code: int) -> str:
    # The form the DOT text already gives such a character in a string parameter, so a picture
    # shows it one way wherever it occurs.
    return f"\\u{{{code:x}}}"


_VISIBLE = {code: _escape(code) for code in UNDRAWABLE}


def visible(text: str) -> str:
    """`text` with each character that a picture cannot hold (the control characters other
    than tab, line feed and carriage return; U+FFFE; U+FFFF) written as a visible escape:
    U+0001 as \\u{1}. Every picture of a graph shows such characters this way."""
    return text.translate(_VISIBLE)


class GraphvizError(RuntimeError):
    """Graphviz's `dot` program failed to render a graph."""


class GraphvizNotFoundError(GraphvizError):
    """Graphviz's `dot` program is not installed (not found on PATH)."""


def render(dot_text: str, fmt: str) -> bytes:
    """Renders DOT text as `fmt` ("svg" or "png") with Graphviz's `dot` program. The text must
    already be fit for Graphviz, as the package's drawing makes it: every text of the graph
    passed through `visible` and no quoted or HTML-like string longer than Graphviz reads."""
    program = shutil.which("dot")
    if program is None:
        raise GraphvizNotFoundError(
            f"drawing a graph as {fmt.upper()} needs Graphviz's `dot` program, which is not on PATH "
            "(install Graphviz, for example Debian's graphviz package)"
        )
    try:
        done = subprocess.run([program, f"-T{fmt}"], input=dot_text.encode(), capture_output=True, check=False)
    except OSError as error:
        raise GraphvizError(f"cannot run {program}: {error.strerror or error}") from None
    if done.returncode != 0:
        message = done.stderr.decode(errors="replace").strip().splitlines()
        detail = message[0] if message else f"exit status {done.returncode}"
        raise GraphvizError(f"Graphviz's dot failed: {detail}")
    return done.stdout
