"""Rendering DOT text to pictures with Graphviz's `dot` program (the command line and the
notebook display share it)."""

from __future__ import annotations

import re
import shutil
import subprocess

__all__ = ["GraphvizError", "GraphvizNotFoundError", "graphviz_text", "render", "visible"]

# Characters no picture can hold: XML forbids them in a document (so an SVG holding one does not
# parse), and Graphviz stops at a NUL. Tab, line feed and carriage return are allowed.
UNDRAWABLE = (*range(0x00, 0x09), 0x0B, 0x0C, *range(0x0E, 0x20), 0xFFFE, 0xFFFF)


def _escape(code: int) -> str:
    # The form the DOT text already gives such a character in a string parameter, so a picture
    # shows it one way wherever it occurs.
    return f"\\u{{{code:x}}}"


_VISIBLE = {code: _escape(code) for code in UNDRAWABLE}
# In DOT text the escape's backslash is itself escaped (Graphviz reads "\\" as one backslash),
# and "&" is written as "&amp;": Graphviz decodes character and entity references in a label, so
# a name holding "&#1;" would otherwise reach the SVG as the forbidden character itself.
_IN_DOT = {code: escape.replace("\\", "\\\\") for code, escape in _VISIBLE.items()} | {ord("&"): "&amp;"}


def visible(text: str) -> str:
    """`text` with each character that a picture cannot hold (the control characters other
    than tab, line feed and carriage return; U+FFFE; U+FFFF) written as a visible escape:
    U+0001 as \\u{1}. Every picture of a graph shows such characters this way."""
    return text.translate(_VISIBLE)


# Graphviz reads no quoted string longer than 16384 bytes, so a longer label is given as pieces
# joined by DOT's "+", each cut between characters and never inside a backslash escape.
_LABEL = re.compile(r'label="((?:[^"\\]|\\.)*)"', re.DOTALL)
_CHARACTER = re.compile(r"\\.|.", re.DOTALL)
_PIECE_BYTES = 16000


def _in_pieces(label: re.Match[str]) -> str:
    text = label.group(1)
    if len(text) * 4 <= _PIECE_BYTES:  # UTF-8 takes at most 4 bytes a character
        return label.group(0)
    pieces: list[str] = []
    piece: list[str] = []
    size = 0
    for character in _CHARACTER.findall(text):
        length = len(character.encode())
        if size + length > _PIECE_BYTES:
            pieces.append("".join(piece))
            piece, size = [], 0
        piece.append(character)
        size += length
    pieces.append("".join(piece))
    return 'label="' + '" + "'.join(pieces) + '"'


def graphviz_text(dot_text: str) -> str:
    """DOT text, as `GraphStore.to_dot` writes it, made safe for Graphviz to draw: what
    `visible` escapes is escaped, every other character is drawn as it stands, and a label of
    any length is read whole. Only labels hold such characters, so the whole text can be
    translated at once."""
    return _LABEL.sub(_in_pieces, dot_text.translate(_IN_DOT))


class GraphvizError(RuntimeError):
    """Graphviz's `dot` program failed to render a graph."""


class GraphvizNotFoundError(GraphvizError):
    """Graphviz's `dot` program is not installed (not found on PATH)."""


def render(dot_text: str, fmt: str) -> bytes:
    """Renders DOT text, as `GraphStore.to_dot` writes it, as `fmt` ("svg" or "png") with
    Graphviz's `dot` program; every character of a name or value is drawn (see `visible`)."""
    program = shutil.which("dot")
    if program is None:
        raise GraphvizNotFoundError(
            f"drawing a graph as {fmt.upper()} needs Graphviz's `dot` program, which is not on PATH "
            "(install Graphviz, for example Debian's graphviz package)"
        )
    try:
        done = subprocess.run(
            [program, f"-T{fmt}"], input=graphviz_text(dot_text).encode(), capture_output=True, check=False
        )
    except OSError as error:
        raise GraphvizError(f"cannot run {program}: {error.strerror or error}") from None
    if done.returncode != 0:
        message = done.stderr.decode(errors="replace").strip().splitlines()
        detail = message[0] if message else f"exit status {done.returncode}"
        raise GraphvizError(f"Graphviz's dot failed: {detail}")
    return done.stdout
