"""Rendering DOT text to pictures with Graphviz's `dot` program (the command line and the
notebook display share it)."""

from __future__ import annotations

import shutil
import subprocess

__all__ = ["GraphvizError", "GraphvizNotFoundError", "render"]


class GraphvizError(RuntimeError):
    """Graphviz's `dot` program failed to render a graph."""


class GraphvizNotFoundError(GraphvizError):
    """Graphviz's `dot` program is not installed (not found on PATH)."""


def render(dot_text: str, fmt: str) -> bytes:
    """Renders DOT text as `fmt` ("svg" or "png") with Graphviz's `dot` program."""
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
