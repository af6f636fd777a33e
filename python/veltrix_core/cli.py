"""The `veltrix-core` command (also `python -m veltrix_core`): look at, draw, reduce and check IR
blob files, the bytes that `GraphStore.serialize` writes.

FILE is a regular file, or "-" for standard input; anything else (a FIFO, a device, a directory)
is refused before it is read, and so is more than --max-bytes bytes (1 GiB by default). A blob is
readable when the store reads it and every node view reads too, a stage member's text included,
with every member reading only inputs its stage has.

An output (-o) is written whole or not at all, and only once everything else the command does,
its report on standard output included, has succeeded. A new file or an existing regular file
(or the file a symbolic link resolves to) is written beside its target and renamed over it,
keeping an existing file's permission bits and, where the process may, its owner and group. A
character device or a FIFO is written directly (a FIFO that no process reads is refused). A
regular file with other hard links, a directory, a socket, a block device and a link to a missing
file are refused.

Every failure the user can cause (a file that is missing, unreadable, not a blob, damaged or too
large; an output path that cannot or must not be written; an id the blob lacks; a picture without
Graphviz; standard output closed or full) is one line on standard error and exit status 2, and no
output file is written. `verify` exits 1 when a readable blob does not re-serialize to the same
bytes. When the reader of standard output goes away (`... | head`), the command stops quietly
with status 2, so that `verify` never reports a difference it did not find; an interrupt gives
130.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Literal, NoReturn

from veltrix_core import GraphStore, columns, version
from veltrix_core._drawing import DEFAULT_MAX_NODES, drawing
from veltrix_core._files import DEFAULT_MAX_BYTES, FileError, Output, read_input, shown, stage_output
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


class ReaderGone(Exception):
    """Standard output is a pipe whose reader has gone away."""


def named(path: str) -> str:
    return "standard input" if path == "-" else shown(path)


def read_blob(path: str, max_bytes: int) -> tuple[GraphStore, bytes, columns.Columns]:
    """The store a blob file holds, its bytes and its columns, refused unless everything in it
    reads."""
    try:
        data = read_input(path, max_bytes)
    except FileError as error:
        raise CommandError(str(error)) from None
    try:
        store = GraphStore.deserialize(data)
        # The reader takes a stage member's text as it stands; reading the node shapes reads it.
        read = columns.read(store)
        check_stages(read)
    except ValueError as error:
        raise CommandError(f"cannot read {named(path)}: {error}") from None
    return store, data, read


def check_stages(read: columns.Columns) -> None:
    """Refuses a stage member that reads an input its stage lacks: the reader accepts any index
    there, but nothing can evaluate such a member."""
    stage = columns.KINDS.index("stage")
    reads: dict[int, tuple[int, int, int]] = {}  # shape -> (inputs read, member, index) of its widest read
    for shape, view in enumerate(read.shape_table):
        if view["kind"] == "stage":
            widest = max(
                (
                    (index + 1, position, index)
                    for position, member in enumerate(view["members"])
                    for kind, index in member["inputs"]
                    if kind == "input"
                ),
                default=(0, 0, 0),
            )
            reads[shape] = widest
    if not reads:
        return
    kinds, shapes, offsets = read.kinds, read.shapes, read.offsets
    for row in range(len(read)):
        if kinds[row] != stage:
            continue
        count = offsets[row + 1] - offsets[row]
        needed, position, index = reads[shapes[row]]
        if needed > count:
            raise ValueError(
                f"node {read.ids[row]} (a stage of {counted(count, 'input')}): member {position} reads input {index}"
            )


def stage_file(path: str, data: bytes) -> Output:
    try:
        return stage_output(path, data)
    except FileError as error:
        raise CommandError(str(error)) from None


def commit(output: Output) -> None:
    try:
        output.commit()
    except FileError as error:
        raise CommandError(str(error)) from None


def write_stdout(data: bytes) -> None:
    """Writes `data` to standard output at once, past any buffer, so that a failure is known
    here (and reported) rather than at exit, and no text is left waiting to be written."""
    stream = sys.stdout
    if stream is None:
        raise CommandError("cannot write to standard output: it is closed")
    try:
        fd = stream.fileno()
    except (AttributeError, ValueError, OSError):
        fd = -1  # not a file (a notebook's stream, a test's capture): write through the stream
    try:
        stream.flush()
        if fd < 0:
            write_through(stream, data)
            return
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view) :]
    except BrokenPipeError:
        raise ReaderGone from None
    except OSError as error:
        raise CommandError(f"cannot write to standard output: {error.strerror or error}") from None


def write_through(stream: Any, data: bytes) -> None:
    buffer = getattr(stream, "buffer", None)
    if buffer is not None:
        buffer.write(data)
        buffer.flush()
    else:
        stream.write(data.decode(getattr(stream, "encoding", None) or "utf-8", "replace"))
        stream.flush()


def say(lines: Sequence[str]) -> None:
    """Prints lines of a report."""
    write_text("".join(line + "\n" for line in lines))


def write_text(text: str) -> None:
    """Writes text in the encoding of standard output; what it cannot encode is written as a
    backslash escape rather than failing."""
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    write_stdout(text.encode(encoding, "backslashreplace"))


def complain(text: str) -> None:
    """Writes one line to standard error; if even that fails, the exit status still tells."""
    try:
        if sys.stderr is not None:
            sys.stderr.write(text + "\n")
            sys.stderr.flush()
    except (OSError, ValueError):
        pass


def node_id(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a node id: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a node id: {text!r} (ids are 0 or more)")
    return value


BYTE_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def byte_count(text: str) -> int:
    """A size in bytes, with an optional binary unit: 4096, 64k, 512M, 2G."""
    number, unit = text.strip(), ""
    if number and number[-1].lower() in BYTE_UNITS:
        number, unit = number[:-1], number[-1].lower()
    try:
        value = int(number, 10) * BYTE_UNITS[unit]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size in bytes: {text!r} (say 4096, 64k, 512M or 2G)") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a size in bytes: {text!r} (sizes are 0 or more)")
    return value


def output_path(text: str) -> str:
    if text == "-":
        raise argparse.ArgumentTypeError("'-' is not an output file here; name a file (./- for one called '-')")
    return text


def counted(n: int, noun: str) -> str:
    return f"{n} {noun}" + ("" if n == 1 else "s")


def id_list(ids: Sequence[int]) -> str:
    text = ", ".join(map(str, ids[:OUTPUTS_SHOWN]))
    more = len(ids) - OUTPUTS_SHOWN
    return f"{text} and {more} more" if more > 0 else text


def command_info(args: argparse.Namespace) -> int:
    store, data, read = read_blob(args.file, args.max_bytes)
    # Counting the kind column's bytes: no object per node.
    codes = read.kinds.tobytes()
    outputs = store.outputs()
    width = max(map(len, KINDS))
    say(
        [
            f"{named(args.file)}: veltrix IR blob, {len(data)} bytes",
            f"nodes: {len(read)}  (edges: {len(read.inputs)})",
            *(f"  {kind:<{width}}  {codes.count(columns.KINDS.index(kind)):>8}" for kind in KINDS),
            f"outputs: {len(outputs)}" + (f"  ({id_list(outputs)})" if outputs else ""),
        ]
    )
    return 0


def command_dot(args: argparse.Namespace) -> int:
    suffix = Path(args.output).suffix.lower() if args.output is not None else ""
    if args.output is not None and suffix not in PICTURE_FORMATS and suffix not in DOT_SUFFIXES:
        raise CommandError(
            f"cannot tell the format of {shown(args.output)} from its suffix: name it .dot or .gv (DOT), "
            ".svg or .png (drawn by Graphviz)"
        )
    if args.max_nodes < 1:
        raise CommandError(f"--max-nodes must be at least 1, not {args.max_nodes}")
    store, _, _ = read_blob(args.file, args.max_bytes)
    if suffix in PICTURE_FORMATS:
        try:
            data = render(drawing(store, max_nodes=args.max_nodes), PICTURE_FORMATS[suffix])
        except GraphvizError as error:
            raise CommandError(f"cannot write {shown(args.output)}: {error}") from None
    else:
        data = store.to_dot().encode()  # DOT text is UTF-8 whatever the locale, on standard output as in a file
    if args.output is None:
        write_stdout(data)
        return 0
    with stage_file(args.output, data) as output:
        commit(output)
    return 0


def command_reduce(args: argparse.Namespace) -> int:
    store, _, _ = read_blob(args.file, args.max_bytes)
    count = store.node_count()
    for wanted in args.outputs or ():
        if wanted >= count:
            known = f"its ids are 0 to {count - 1}" if count else "it has no nodes"
            raise CommandError(f"--outputs: {named(args.file)} has no node with id {wanted} ({known})")
    if args.outputs is None and not store.outputs():
        complain(f"note: {named(args.file)} marks no outputs, so the reduced graph is empty (name them with --outputs)")
    reduced, report = store.reduce(maximal_fusion=args.maximal_fusion, outputs=args.outputs)
    blob = reduced.serialize()
    width = max(len(key) for key, _ in REPORT_ROWS)
    # The report goes out before the file is put in place: if it cannot be written, the
    # command fails and the output path is left as it was.
    with stage_file(args.output, blob) as output:
        say(
            [
                f"reduced {named(args.file)} ({counted(count, 'node')}) to {shown(args.output)} "
                f"({counted(reduced.node_count(), 'node')}, {counted(len(blob), 'byte')})",
                f"  {'counter':<{width}}  {'value':>8}  meaning",
                *(f"  {key:<{width}}  {report[key]:>8}  {meaning}" for key, meaning in REPORT_ROWS),
            ]
        )
        commit(output)
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
    store, data, _ = read_blob(args.file, args.max_bytes)
    again = store.serialize()
    if again == data:
        say(
            [
                f"{named(args.file)}: ok: its {len(data)} bytes re-serialize identically "
                f"({counted(store.node_count(), 'node')}, {counted(len(store.outputs()), 'output')})"
            ]
        )
        return 0
    offset = first_difference(data, again)
    if offset < min(len(data), len(again)):
        detail = f"the file has 0x{data[offset]:02x}, re-serializing gives 0x{again[offset]:02x}"
    elif len(data) > len(again):
        detail = f"the file goes on for {len(data) - offset} bytes after the graph ends"
    else:
        detail = f"re-serializing gives {len(again) - offset} more bytes"
    say([f"{named(args.file)}: does not re-serialize identically: first difference at offset {offset} ({detail})"])
    return 1


class Parser(argparse.ArgumentParser):
    """argparse, with its help and version text written as every other report is (a failure to
    write them is reported, not ignored) and a usage error said in one line."""

    def _print_message(self, message: str, file: Any = None) -> None:
        if not message:
            return
        if file is None or file is sys.stdout:
            write_text(message)
        else:
            complain(message.rstrip("\n"))

    def error(self, message: str) -> NoReturn:
        # One line, as for every other failure; --help shows the usage.
        complain(f"{self.prog}: {message} (see {self.prog} --help)")
        raise SystemExit(2)


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = Parser(
        prog=prog,
        description="Look at, draw, reduce and check veltrix IR blob files (the bytes GraphStore.serialize writes).",
        epilog="Exit status: 0 on success, 1 when verify finds a difference, 2 on any error, 130 when interrupted.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    blob_input = Parser(add_help=False)
    blob_input.add_argument("file", metavar="FILE", help="an IR blob file (a regular file), or - for standard input")
    blob_input.add_argument(
        "--max-bytes",
        metavar="SIZE",
        type=byte_count,
        default=DEFAULT_MAX_BYTES,
        help="refuse an input larger than this (bytes, or with a unit: 64k, 512M, 2G; default 1G)",
    )

    info = commands.add_parser(
        "info",
        parents=[blob_input],
        help="nodes by kind, outputs and size of a blob",
        description="Show a blob's nodes by kind, its outputs and its size.",
    )
    info.set_defaults(run=command_info)

    dot = commands.add_parser(
        "dot",
        parents=[blob_input],
        help="draw a blob as DOT, SVG or PNG",
        description="Write a blob's graph as Graphviz DOT text, or draw it as SVG or PNG with Graphviz's dot "
        "program (chosen by the output's suffix: .dot or .gv, .svg, .png). Without -o the DOT text goes "
        "to standard output. The DOT text is GraphStore.to_dot's; a picture shows each node's id, kind, name "
        "and params, each stage's members and what they read, and the outputs in red, and draws at most "
        "--max-nodes nodes: those nearest the outputs, with the rest counted in dashed boxes.",
    )
    dot.add_argument("-o", "--output", metavar="OUT", type=output_path, help="output file (.dot, .gv, .svg or .png)")
    dot.add_argument(
        "--max-nodes",
        metavar="N",
        type=int,
        default=DEFAULT_MAX_NODES,
        help=f"nodes a picture draws before it summarises the rest (default {DEFAULT_MAX_NODES})",
    )
    dot.set_defaults(run=command_dot)

    reduce = commands.add_parser(
        "reduce",
        parents=[blob_input],
        help="reduce a blob and write the reduced blob",
        description="Reduce a blob's graph (dead code removed, equal terms merged, ops fused into stages), "
        "write the reduced graph as a blob (the bytes GraphStore.reduce gives) and print the report. "
        "The outputs are the blob's marked outputs unless --outputs names others.",
    )
    reduce.add_argument(
        "-o", "--output", metavar="OUT", type=output_path, required=True, help="where to write the reduced blob"
    )
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
        parents=[blob_input],
        help="check that a blob reads whole and re-serializes to the same bytes",
        description="Read a blob (every node view, stage members included, must read), serialize the graph "
        "again and compare: exit 0 when the bytes are identical, 1 (naming the first differing offset) when "
        "they are not, 2 when the blob cannot be read.",
    )
    verify.set_defaults(run=command_verify)
    return parser


def main(argv: Sequence[str] | None = None, *, prog: str = "veltrix-core") -> int:
    """Runs the command line with `argv` (default: the process's arguments) and returns the exit
    status."""
    try:
        return run_command(build_parser(prog), argv)
    except CommandError as error:
        complain(f"{prog}: {error}")
        return 2
    except ReaderGone:
        # The reader went away (`... | head`): it asked for nothing more, so say nothing, but do
        # not claim success. Whatever is still buffered for standard output goes nowhere, so
        # that no flush at exit fails.
        silence_stdout()
        return 2
    except KeyboardInterrupt:
        return 130


def run_command(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> int:
    try:
        args = parser.parse_args(argv)
    except SystemExit as done:  # --help, --version, or a usage error argparse has reported
        return done.code if isinstance(done.code, int) else 2
    return int(args.run(args))


def silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, ValueError, OSError):
        pass
