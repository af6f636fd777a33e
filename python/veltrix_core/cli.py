"""The `veltrix-core` command (also `python -m veltrix_core`): look at, draw, reduce and check IR
blob files, the bytes that `GraphStore.serialize` writes.

Every failure the user can cause (a file that is missing, unreadable, not a blob, or damaged; an
output path that cannot be written; an id the blob lacks; a picture without Graphviz) is one line
on standard error and exit status 2, and no output file is written. `verify` exits 1 when a
readable blob does not re-serialize to the same bytes.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from collections import Counter
from collections.abc import Sequence
from pathlib import Path
from typing import Literal

from veltrix_core import GraphStore
from veltrix_core._graphviz import GraphvizError, render

__all__ = ["main"]

KINDS = ("source", "op", "reduction", "external", "stage", "exchange")

# The six counters in the order of the pipeline that produces them.
REPORT_ROWS: tuple[
    tuple[
        Literal["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "boundary_nodes", "reduced_nodes"],
        str,
    ],
    ...,
] = (
    ("input_nodes", "nodes in the input"),
    ("reachable_nodes", "reachable from the outputs (the rest is dead code)"),
    ("canonical_nodes", "after merging equal terms (commuted twins, identity ops, duplicates)"),
    ("stages", "stages made by fusing ops"),
    ("boundary_nodes", "sources, reductions, externals, exchanges (and stages already in the input)"),
    ("reduced_nodes", "nodes in the reduced graph"),
)

PICTURE_FORMATS = {".svg": "svg", ".png": "png"}
DOT_SUFFIXES = (".dot", ".gv")
OUTPUTS_SHOWN = 20


class CommandError(Exception):
    """A failure the user can fix; main() prints it as one line and exits with status 2."""


def read_blob(path: str) -> tuple[GraphStore, bytes]:
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None
    try:
        return GraphStore.deserialize(data), data
    except ValueError as error:
        raise CommandError(f"cannot read {path}: {error}") from None


def write_file(path: str, data: bytes) -> None:
    """Writes `data` to `path` whole or not at all: into a new file beside it, renamed over it
    once complete, so a failure never leaves a partial or truncated file."""
    target = Path(path)
    if target.is_dir():
        raise CommandError(f"cannot write {path}: Is a directory")
    try:
        fd, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".part")
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        # mkstemp makes the file private; give it the permissions any new file would get.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, target)
    except OSError as error:
        Path(temporary).unlink(missing_ok=True)
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None


def node_id(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a node id: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a node id: {text!r} (ids are 0 or more)")
    return value


def counted(n: int, noun: str) -> str:
    return f"{n} {noun}" + ("" if n == 1 else "s")


def id_list(ids: Sequence[int]) -> str:
    shown = ", ".join(map(str, ids[:OUTPUTS_SHOWN]))
    more = len(ids) - OUTPUTS_SHOWN
    return f"{shown} and {more} more" if more > 0 else shown


def command_info(args: argparse.Namespace) -> int:
    store, data = read_blob(args.file)
    try:
        nodes = store.nodes()
    except ValueError as error:
        # The reader takes a stage member's text as it stands; only the node view parses it.
        raise CommandError(f"cannot read {args.file}: {error}") from None
    kinds: Counter[str] = Counter(view["kind"] for view in nodes)
    edges = sum(len(view["inputs"]) for view in nodes)
    outputs = store.outputs()
    print(f"{args.file}: veltrix IR blob, {len(data)} bytes")
    print(f"nodes: {len(nodes)}  (edges: {edges})")
    width = max(map(len, KINDS))
    for kind in KINDS:
        print(f"  {kind:<{width}}  {kinds[kind]:>8}")
    print(f"outputs: {len(outputs)}" + (f"  ({id_list(outputs)})" if outputs else ""))
    return 0


def command_dot(args: argparse.Namespace) -> int:
    store, _ = read_blob(args.file)
    text = store.to_dot()
    if args.output is None:
        sys.stdout.write(text)
        return 0
    suffix = Path(args.output).suffix.lower()
    if suffix in PICTURE_FORMATS:
        try:
            data = render(text, PICTURE_FORMATS[suffix])
        except GraphvizError as error:
            raise CommandError(f"cannot write {args.output}: {error}") from None
    elif suffix in DOT_SUFFIXES:
        data = text.encode()
    else:
        raise CommandError(
            f"cannot tell the format of {args.output} from its suffix: name it .dot or .gv (DOT), "
            ".svg or .png (drawn by Graphviz)"
        )
    write_file(args.output, data)
    return 0


def command_reduce(args: argparse.Namespace) -> int:
    store, _ = read_blob(args.file)
    count = store.node_count()
    for wanted in args.outputs or ():
        if wanted >= count:
            known = f"its ids are 0 to {count - 1}" if count else "it has no nodes"
            raise CommandError(f"--outputs: {args.file} has no node with id {wanted} ({known})")
    if args.outputs is None and not store.outputs():
        print(
            f"note: {args.file} marks no outputs, so the reduced graph is empty (name them with --outputs)",
            file=sys.stderr,
        )
    reduced, report = store.reduce(maximal_fusion=args.maximal_fusion, outputs=args.outputs)
    blob = reduced.serialize()
    write_file(args.output, blob)
    print(
        f"reduced {args.file} ({counted(count, 'node')}) to {args.output} "
        f"({counted(reduced.node_count(), 'node')}, {counted(len(blob), 'byte')})"
    )
    width = max(len(key) for key, _ in REPORT_ROWS)
    print(f"  {'counter':<{width}}  {'value':>8}  meaning")
    for key, meaning in REPORT_ROWS:
        print(f"  {key:<{width}}  {report[key]:>8}  {meaning}")
    return 0


def first_difference(a: bytes, b: bytes) -> int:
    """The first offset at which `a` and `b` differ (the shorter length if one is a prefix of
    the other); compares in blocks so that large equal prefixes cost little."""
    block = 1 << 16
    start = 0
    end = min(len(a), len(b))
    while start < end and a[start : start + block] == b[start : start + block]:
        start += block
    start = min(start, end)
    while start < end and a[start] == b[start]:
        start += 1
    return start


def command_verify(args: argparse.Namespace) -> int:
    store, data = read_blob(args.file)
    again = store.serialize()
    if again == data:
        print(
            f"{args.file}: ok: its {len(data)} bytes re-serialize identically "
            f"({counted(store.node_count(), 'node')}, {counted(len(store.outputs()), 'output')})"
        )
        return 0
    offset = first_difference(data, again)
    if offset < min(len(data), len(again)):
        detail = f"the file has 0x{data[offset]:02x}, re-serializing gives 0x{again[offset]:02x}"
    elif len(data) > len(again):
        detail = f"the file goes on for {len(data) - offset} bytes after the graph ends"
    else:
        detail = f"re-serializing gives {len(again) - offset} more bytes"
    print(f"{args.file}: does not re-serialize identically: first difference at offset {offset} ({detail})")
    return 1


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Look at, draw, reduce and check veltrix IR blob files (the bytes GraphStore.serialize writes).",
        epilog="Exit status: 0 on success, 1 when verify finds a difference, 2 on any error.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser(
        "info",
        help="nodes by kind, outputs and size of a blob",
        description="Show a blob's nodes by kind, its outputs and its size.",
    )
    info.add_argument("file", metavar="FILE", help="an IR blob file")
    info.set_defaults(run=command_info)

    dot = commands.add_parser(
        "dot",
        help="draw a blob as DOT, SVG or PNG",
        description="Write a blob's graph as Graphviz DOT text, or draw it as SVG or PNG with Graphviz's dot "
        "program (chosen by the output's suffix: .dot or .gv, .svg, .png). Without -o the DOT text goes "
        "to standard output.",
    )
    dot.add_argument("file", metavar="FILE", help="an IR blob file")
    dot.add_argument("-o", "--output", metavar="OUT", help="output file (.dot, .gv, .svg or .png)")
    dot.set_defaults(run=command_dot)

    reduce = commands.add_parser(
        "reduce",
        help="reduce a blob and write the reduced blob",
        description="Reduce a blob's graph (dead code removed, equal terms merged, ops fused into stages), "
        "write the reduced graph as a blob (the bytes GraphStore.reduce gives) and print the report. "
        "The outputs are the blob's marked outputs unless --outputs names others.",
    )
    reduce.add_argument("file", metavar="FILE", help="an IR blob file")
    reduce.add_argument("-o", "--output", metavar="OUT", required=True, help="where to write the reduced blob")
    reduce.add_argument(
        "--maximal-fusion",
        action="store_true",
        help="also fuse ops used more than once when all their uses land in one stage",
    )
    reduce.add_argument(
        "--outputs", metavar="ID", type=node_id, nargs="+", help="reduce against these node ids instead of the marks"
    )
    reduce.set_defaults(run=command_reduce)

    verify = commands.add_parser(
        "verify",
        help="check that a blob re-serializes to the same bytes",
        description="Read a blob, serialize the graph again and compare: exit 0 when the bytes are identical, "
        "1 (naming the first differing offset) when they are not.",
    )
    verify.add_argument("file", metavar="FILE", help="an IR blob file")
    verify.set_defaults(run=command_verify)
    return parser


def main(argv: Sequence[str] | None = None, *, prog: str = "veltrix-core") -> int:
    """Runs the command line with `argv` (default: the process's arguments) and returns the exit
    status."""
    args = build_parser(prog).parse_args(argv)
    try:
        return int(args.run(args))
    except CommandError as error:
        print(f"{prog}: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`... | head`); say nothing more, and let no flush at exit fail.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
