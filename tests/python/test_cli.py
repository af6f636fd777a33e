"""The `python -m veltrix_core` command line on good and bad files: what it prints, the files it
writes (or, on any failure, leaves alone) and its exit status."""

import os
import resource
import shutil
import socket
import stat
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

import ir_blob as ir
import pytest

import veltrix_core as vc
from veltrix_core import cli, display
from veltrix_core.cli import byte_count, first_difference

DOT = shutil.which("dot")


def run(*args, env=None, timeout=120, **streams):
    """The command's result; `streams` may give stdin, stdout or stderr in place of pipes."""
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **streams}
    return subprocess.run(
        [sys.executable, "-m", "veltrix_core", *map(str, args)], text=True, env=env, timeout=timeout, **streams
    )


def record():
    """A small graph with dead code, commuted twins and a chain to fuse, marked outputs [6, 4]."""
    s = vc.GraphStore()
    x = s.add_source("read", {"path": "a"})
    y = s.add_source("read", {"path": "b"})
    add = s.add_op("add", [x, y])
    s.add_op("add", [y, x])
    neg = s.add_op("neg", [add])
    s.add_op("log", [neg])  # dead
    total = s.add_reduction("sum", [s.add_op("abs", [neg])], {"axis": 0})
    return s, [total, neg]


@pytest.fixture
def blob_file(tmp_path):
    store, outputs = record()
    path = tmp_path / "graph.vir"
    path.write_bytes(store.serialize(outputs=outputs))
    return path


def test_info_counts_nodes_by_kind_and_lists_outputs(blob_file):
    done = run("info", blob_file)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == f"{blob_file}: veltrix IR blob, {blob_file.stat().st_size} bytes"
    assert lines[1] == "nodes: 8  (edges: 8)"
    counts = dict(line.split() for line in lines[2:8])
    assert counts == {"source": "2", "op": "5", "reduction": "1", "external": "0", "stage": "0", "exchange": "0"}
    assert lines[8] == "outputs: 2  (7, 4)"


@pytest.mark.parametrize(
    "extra, maximal, outputs",
    [([], False, None), (["--maximal-fusion"], True, None), (["--outputs", "4", "4", "0"], False, [4, 4, 0])],
)
def test_reduce_writes_the_bytes_of_graph_store_reduce(blob_file, tmp_path, extra, maximal, outputs):
    out = tmp_path / "reduced.vir"
    done = run("reduce", blob_file, "-o", out, *extra)
    assert done.returncode == 0, done.stderr
    store = vc.GraphStore.deserialize(blob_file.read_bytes())
    reduced, report = store.reduce(maximal_fusion=maximal, outputs=outputs)
    assert out.read_bytes() == reduced.serialize()
    table = {line.split()[0]: int(line.split()[1]) for line in done.stdout.splitlines()[2:]}
    assert table == report


def test_reduce_of_a_blob_without_marks_is_empty_and_says_why(tmp_path):
    store, _ = record()
    src, out = tmp_path / "unmarked.vir", tmp_path / "out.vir"
    src.write_bytes(store.serialize())
    done = run("reduce", src, "-o", out)
    assert done.returncode == 0
    assert vc.GraphStore.deserialize(out.read_bytes()).node_count() == 0
    assert "marks no outputs" in done.stderr


def test_dot_prints_or_writes_the_dot_text(blob_file, tmp_path):
    expected = vc.GraphStore.deserialize(blob_file.read_bytes()).to_dot()
    done = run("dot", blob_file)
    assert (done.returncode, done.stdout) == (0, expected)
    out = tmp_path / "g.gv"
    assert run("dot", blob_file, "-o", out).returncode == 0
    assert out.read_text() == expected


@pytest.mark.skipif(DOT is None, reason="Graphviz is not installed")
@pytest.mark.parametrize("name, magic", [("g.svg", b"<svg"), ("G.PNG", b"\x89PNG\r\n\x1a\n")])
def test_dot_draws_pictures_with_graphviz(blob_file, tmp_path, name, magic):
    out = tmp_path / name
    done = run("dot", blob_file, "-o", out)
    assert done.returncode == 0, done.stderr
    assert magic in out.read_bytes()[:400]
    assert oct(out.stat().st_mode & 0o777) == oct(0o666 & ~current_umask())


@pytest.mark.skipif(DOT is None, reason="Graphviz is not installed")
@pytest.mark.parametrize("limit", [[], ["--max-nodes", "3"]])
def test_a_picture_is_the_packages_drawing(blob_file, tmp_path, limit):
    out = tmp_path / "g.svg"
    assert run("dot", blob_file, "-o", out, *limit).returncode == 0
    options = {"max_nodes": int(limit[1])} if limit else {}
    assert out.read_text() == display.svg(vc.GraphStore.deserialize(blob_file.read_bytes()), **options)


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_verify_accepts_a_canonical_blob(blob_file):
    done = run("verify", blob_file)
    assert done.returncode == 0
    assert "re-serialize identically" in done.stdout


def source_with_bool(payload):
    """A blob of one Source "a" with params {"k": <Bool written as payload>}, no outputs."""
    return (
        b"VIR1"
        + struct.pack("<IBI", 1, 0, 1)
        + b"a"
        + struct.pack("<II", 1, 1)
        + b"k"
        + bytes([2, payload])
        + struct.pack("<I", 0)
    )


@pytest.mark.parametrize(
    "data, offset",
    [
        (source_with_bool(1) + b"junk", len(source_with_bool(1))),  # bytes after the graph are ignored
        (source_with_bool(2), 24),  # a Bool byte of 2 reads as true and is written back as 1
    ],
)
def test_verify_names_the_first_differing_offset(tmp_path, data, offset):
    path = tmp_path / "odd.vir"
    path.write_bytes(data)
    done = run("verify", path)
    assert done.returncode == 1
    assert f"first difference at offset {offset} " in done.stdout


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (b"", b"", 0),
        (b"abc", b"abc", 3),
        (b"abc", b"abd", 2),
        (b"ab", b"abc", 2),
        (bytes(70000), bytes(70000) + b"x", 70000),
        (bytes(65536) + b"x", bytes(65537), 65536),
        (bytes(65535) + b"x" + bytes(10), bytes(65546), 65535),
        (bytes(200000), bytes(131072) + b"\1" + bytes(68927), 131072),
    ],
)
def test_first_difference(a, b, expected):
    assert first_difference(a, b) == expected
    assert first_difference(b, a) == expected


def good_blob():
    store, outputs = record()
    return store.serialize(outputs=outputs)


BAD_INPUTS = {
    "missing": (None, "No such file or directory"),
    "empty": (b"", "truncated veltrix IR blob"),
    "truncated": (good_blob()[:-5], "truncated veltrix IR blob"),
    "bad magic": (b"VIR2" + good_blob()[4:], "not a veltrix IR blob (bad magic/version)"),
    "bad node tag": (good_blob()[:8] + b"\x09" + good_blob()[9:], "invalid node tag 9"),
    "directory": ("dir", "Is a directory"),
}

COMMANDS = [["info"], ["dot"], ["dot", "-o", "{out}.svg"], ["reduce", "-o", "{out}.vir"], ["verify"]]


@pytest.mark.parametrize("case", BAD_INPUTS)
@pytest.mark.parametrize("command", COMMANDS, ids=" ".join)
def test_bad_input_is_one_line_and_status_2_and_writes_nothing(tmp_path, case, command):
    content, reason = BAD_INPUTS[case]
    path = tmp_path / "input.vir"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    out_base = tmp_path / "out"
    args = [command[0], path, *(a.format(out=out_base) for a in command[1:])]
    before = sorted(os.listdir(tmp_path))
    done = run(*args)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1, done.stderr
    assert done.stderr == f"python -m veltrix_core: cannot read {path}: {reason}\n"
    assert sorted(os.listdir(tmp_path)) == before


UNWRITABLE = {
    "missing directory": ("no/such/out", "No such file or directory"),
    "parent is a file": ("a-file/out", "Not a directory"),
    "a directory": ("a-dir/out", "Is a directory"),
}


@pytest.mark.parametrize("case", UNWRITABLE)
@pytest.mark.parametrize(
    "command, suffix",
    [
        ("reduce", ".vir"),
        ("dot", ".dot"),
        pytest.param("dot", ".svg", marks=pytest.mark.skipif(DOT is None, reason="Graphviz is not installed")),
    ],
)
def test_unwritable_output_is_one_line_and_status_2(blob_file, tmp_path, case, command, suffix):
    (tmp_path / "a-file").write_text("")
    (tmp_path / "a-dir" / f"out{suffix}").mkdir(parents=True)
    relative, reason = UNWRITABLE[case]
    out = tmp_path / f"{relative}{suffix}"
    before = sorted(p for p in tmp_path.rglob("*"))
    done = run(command, blob_file, "-o", out)
    assert done.returncode == 2
    assert done.stderr == f"python -m veltrix_core: cannot write {out}: {reason}\n"
    assert sorted(p for p in tmp_path.rglob("*")) == before


def test_failed_reduce_leaves_an_existing_output_untouched(blob_file, tmp_path):
    out = tmp_path / "keep.vir"
    out.write_bytes(b"earlier result")
    done = run("reduce", blob_file, "-o", out, "--outputs", "1", "8")
    assert done.returncode == 2
    assert done.stderr == f"python -m veltrix_core: --outputs: {blob_file} has no node with id 8 (its ids are 0 to 7)\n"
    assert out.read_bytes() == b"earlier result"
    assert sorted(os.listdir(tmp_path)) == ["graph.vir", "keep.vir"]


@pytest.mark.parametrize("name", ["g.svg", "g.png"])
def test_pictures_without_graphviz_are_one_line_and_status_2(blob_file, tmp_path, name):
    empty = tmp_path / "empty-path"
    empty.mkdir()
    out = tmp_path / name
    done = run("dot", blob_file, "-o", out, env={**os.environ, "PATH": str(empty)})
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and "needs Graphviz's `dot` program" in done.stderr
    assert not out.exists()


@pytest.mark.parametrize(
    "args, message",
    [
        (["dot", "{blob}", "-o", "{tmp}/g.pdf"], "cannot tell the format of"),
        (["dot", "{blob}", "-o", "{tmp}/g.svg", "--max-nodes", "0"], "--max-nodes must be at least 1, not 0"),
        (["dot", "{blob}", "--max-nodes", "many"], "invalid int value: 'many'"),
        (["reduce", "{blob}", "-o", "{tmp}/r.vir", "--outputs", "-1"], "not a node id: '-1'"),
        (["reduce", "{blob}"], "the following arguments are required: -o/--output"),
        (["info"], "the following arguments are required: FILE"),
        (["reduce", "{blob}", "-o", "-"], "'-' is not an output file here"),
        (["info", "{blob}", "--max-bytes", "lots"], "not a size in bytes: 'lots'"),
        ([], "the following arguments are required: COMMAND"),
    ],
)
def test_usage_errors_exit_2_without_a_traceback(blob_file, tmp_path, args, message):
    done = run(*(a.format(blob=blob_file, tmp=tmp_path) for a in args))
    assert done.returncode == 2
    assert message in done.stderr and done.stderr.count("\n") == 1, done.stderr
    assert sorted(os.listdir(tmp_path)) == ["graph.vir"]


@pytest.mark.parametrize("command", ["info", "dot", "reduce", "verify"])
def test_every_command_has_help(command):
    done = run(command, "--help")
    assert done.returncode == 0
    assert done.stdout.startswith(f"usage: python -m veltrix_core {command} ")


def test_version_is_the_package_version():
    done = run("--version")
    assert (done.returncode, done.stdout) == (0, f"python -m veltrix_core {vc.version()}\n")


@pytest.mark.parametrize("command", ["info", "dot", "verify"])
def test_dash_reads_standard_input(blob_file, command):
    with blob_file.open("rb") as stdin:
        piped = run(command, "-", stdin=stdin)
    named = run(command, blob_file)
    assert piped.returncode == 0, piped.stderr
    assert piped.stdout == named.stdout.replace(str(blob_file), "standard input")


# Reading: a regular file or standard input, and no more than --max-bytes of it.


def special_file(path, kind):
    """Makes a FIFO, a device node or a socket at `path`; skips where this process may not."""
    devices = {"null": (stat.S_IFCHR, 1, 3), "zero": (stat.S_IFCHR, 1, 5), "full": (stat.S_IFCHR, 1, 7)}
    devices["block device"] = (stat.S_IFBLK, 7, 0)  # never opened: only its kind is looked at
    try:
        if kind == "fifo":
            os.mkfifo(path)
        elif kind == "socket":
            bind_socket(path)
        else:
            node_type, major, minor = devices[kind]
            os.mknod(path, node_type | 0o666, os.makedev(major, minor))
    except PermissionError:
        pytest.skip(f"this process may not make a {kind} node")


def bind_socket(path):
    # Bound by a relative name, since a socket's path must be short; the tests' own working
    # directory is kept, as the commands they start find the package through it.
    here = os.getcwd()
    os.chdir(path.parent)
    try:
        with socket.socket(socket.AF_UNIX) as listening:
            listening.bind(path.name)
    finally:
        os.chdir(here)


def limited_memory():
    # A reader that reads a zero device to its end fails fast here instead of filling the machine.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer reserves far more
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


@pytest.mark.parametrize(
    "kind, reason",
    [("fifo", "it is a FIFO, not a regular file"), ("zero", "it is a character device, not a regular file")],
)
def test_an_input_that_is_not_a_regular_file_is_refused_unread(tmp_path, kind, reason):
    path = tmp_path / kind
    special_file(path, kind)  # a FIFO nobody writes blocks its reader; a zero device never ends
    done = run("info", path, timeout=30, preexec_fn=limited_memory)
    assert (done.returncode, done.stderr) == (2, f"python -m veltrix_core: cannot read {path}: {reason}\n")


@pytest.mark.parametrize("source", ["file", "stdin"])
def test_max_bytes_bounds_what_is_read(blob_file, source):
    size = blob_file.stat().st_size

    def verify(limit):
        with blob_file.open("rb") as stdin:
            return run("verify", "--max-bytes", limit, blob_file if source == "file" else "-", stdin=stdin)

    assert verify(size).returncode == 0
    refused = verify(size - 1)
    name = blob_file if source == "file" else "standard input"
    assert (refused.returncode, refused.stderr) == (
        2,
        f"python -m veltrix_core: cannot read {name}: it holds more than {size - 1} bytes (the limit --max-bytes sets)\n",
    )


@pytest.mark.parametrize("text, size", [("4096", 4096), ("64k", 1 << 16), ("512M", 512 << 20), ("2g", 2 << 30)])
def test_byte_count(text, size):
    assert byte_count(text) == size


# A blob is readable only when everything in it reads.


def stage_blob(token, ref):
    """A Source and a one-member Stage over it, marked as output."""
    member = (token, (ref,))
    return ir.blob([ir.Node(ir.SOURCE, "x"), ir.Node(ir.STAGE, inputs=(0,), members=(member,))], [1])


UNREADABLE_STAGES = {
    "member text that does not parse": (stage_blob("bad", (ir.INPUT_REF, 0)), 'unparseable stage member token "bad"'),
    "member reading an input the stage lacks": (
        stage_blob("op|neg|", (ir.INPUT_REF, 1)),
        "node 1 (a stage of 1 input): member 0 reads input 1",
    ),
}


@pytest.mark.parametrize("case", UNREADABLE_STAGES)
@pytest.mark.parametrize("command", COMMANDS, ids=" ".join)
def test_a_stage_that_cannot_be_evaluated_makes_the_blob_unreadable(tmp_path, case, command):
    data, reason = UNREADABLE_STAGES[case]
    assert vc.GraphStore.deserialize(data).serialize() == data  # the bytes alone are canonical
    path = tmp_path / "stage.vir"
    path.write_bytes(data)
    done = run(command[0], path, *(a.format(out=tmp_path / "out") for a in command[1:]))
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f"python -m veltrix_core: cannot read {path}: {reason}\n"
    assert os.listdir(tmp_path) == ["stage.vir"]


# Writing: what -o does with each kind of path.


@pytest.mark.parametrize("through_a_link", [False, True])
def test_an_existing_output_keeps_its_mode_owner_and_links(blob_file, tmp_path, through_a_link):
    target = tmp_path / "kept.vir"
    target.write_bytes(b"earlier result")
    target.chmod(0o600)
    owner = (12345, 23456) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(target, *owner)
    path = tmp_path / "link.vir"
    path.symlink_to(target.name)
    done = run("reduce", blob_file, "-o", path if through_a_link else target)
    assert done.returncode == 0, done.stderr
    reduced, _ = vc.GraphStore.deserialize(blob_file.read_bytes()).reduce()
    assert target.read_bytes() == reduced.serialize()
    info = target.stat()
    assert (stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid) == (0o600, *owner)
    assert path.is_symlink() and os.readlink(path) == target.name
    assert sorted(os.listdir(tmp_path)) == ["graph.vir", "kept.vir", "link.vir"]


def test_a_hard_linked_output_is_refused(blob_file, tmp_path):
    target, other = tmp_path / "out.vir", tmp_path / "other-name.vir"
    target.write_bytes(b"earlier result")
    os.link(target, other)
    done = run("reduce", blob_file, "-o", target)
    assert done.returncode == 2 and done.stderr.count("\n") == 1
    assert done.stderr.startswith(f"python -m veltrix_core: cannot write {target}: it has 2 hard links")
    assert (target.read_bytes(), target.stat().st_nlink, other.read_bytes()) == (
        b"earlier result",
        2,
        b"earlier result",
    )


def test_a_fifo_is_written_through(blob_file, tmp_path):
    fifo = tmp_path / "fifo"
    special_file(fifo, "fifo")
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # opens at once; the blob fits the pipe
    try:
        done = run("reduce", blob_file, "-o", fifo, timeout=30)
        received = os.read(reader, 1 << 16)
    finally:
        os.close(reader)
    assert done.returncode == 0, done.stderr
    reduced, _ = vc.GraphStore.deserialize(blob_file.read_bytes()).reduce()
    assert received == reduced.serialize()
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


def test_a_fifo_without_a_reader_is_refused_at_once(blob_file, tmp_path):
    fifo = tmp_path / "out.vir"
    special_file(fifo, "fifo")
    done = run("reduce", blob_file, "-o", fifo, timeout=30)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f"python -m veltrix_core: cannot write {fifo}: it is a FIFO that no process is reading\n"
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


@pytest.mark.parametrize("device, status, reason", [("null", 0, None), ("full", 2, "No space left on device")])
def test_a_character_device_is_written_not_replaced(blob_file, tmp_path, device, status, reason):
    path = tmp_path / device
    special_file(path, device)
    before = os.lstat(path)
    done = run("reduce", blob_file, "-o", path)
    assert done.returncode == status
    if reason:
        assert done.stderr == f"python -m veltrix_core: cannot write {path}: {reason}\n"
    after = os.lstat(path)
    assert (stat.S_ISCHR(after.st_mode), after.st_rdev, after.st_ino) == (True, before.st_rdev, before.st_ino)


@pytest.mark.parametrize(
    "kind, reason",
    [
        ("socket", "it is a socket, not a regular file"),
        ("block device", "it is a block device, not a regular file"),
        ("dangling link", "it is a symbolic link to a missing file"),
    ],
)
def test_other_outputs_are_refused_and_left_alone(blob_file, tmp_path, kind, reason):
    path = tmp_path / "out.vir"
    if kind == "dangling link":
        path.symlink_to("missing.vir")
    else:
        special_file(path, kind)
    before = os.lstat(path)
    done = run("reduce", blob_file, "-o", path)
    assert done.returncode == 2
    assert done.stderr == f"python -m veltrix_core: cannot write {path}: {reason}\n"
    assert (os.lstat(path).st_mode, os.lstat(path).st_ino) == (before.st_mode, before.st_ino)
    assert sorted(os.listdir(tmp_path)) == ["graph.vir", "out.vir"]


# In a mount namespace of its own, /dev is a fresh tmpfs holding a null device of its own: nothing
# done there can reach the machine's /dev/null.
PRIVATE_DEV = ["unshare", "--mount", "--propagation", "private", "sh", "-c"]
MAKE_PRIVATE_NULL = "mount -t tmpfs tmpfs /dev && mknod -m 666 /dev/null c 1 3"


@pytest.fixture
def private_dev():
    try:
        probe = subprocess.run([*PRIVATE_DEV, MAKE_PRIVATE_NULL], capture_output=True, timeout=60)
    except OSError:
        probe = None
    if probe is None or probe.returncode != 0:
        pytest.skip("cannot make a private /dev here (needs unshare and the right to mount)")


def test_writing_to_dev_null_leaves_it_a_device(private_dev, blob_file):
    script = f'{MAKE_PRIVATE_NULL} && "$@" && stat -c %F /dev/null'
    command = [sys.executable, "-m", "veltrix_core", "reduce", str(blob_file), "-o", "/dev/null"]
    done = subprocess.run([*PRIVATE_DEV, script, "sh", *command], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "character special file"


# Standard output.


def closed_stdout():
    os.close(1)


@pytest.mark.parametrize("command", [["info"], ["verify"], ["dot"], ["reduce", "-o", "{out}"]], ids=" ".join)
@pytest.mark.parametrize("stdout", ["closed", "full"])
def test_a_report_that_cannot_be_written_fails_and_writes_nothing(blob_file, tmp_path, command, stdout):
    out = tmp_path / "out.vir"
    args = [command[0], blob_file, *(a.format(out=out) for a in command[1:])]
    if stdout == "closed":
        done, reason = run(*args, stdout=None, preexec_fn=closed_stdout), "it is closed"
    else:
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full here")
        with open("/dev/full", "wb") as full:
            done, reason = run(*args, stdout=full), "No space left on device"
    assert done.returncode == 2
    assert done.stderr == f"python -m veltrix_core: cannot write to standard output: {reason}\n"
    assert not out.exists()


@pytest.mark.parametrize("command", ["info", "verify", "dot"])
def test_a_reader_that_went_away_ends_the_command_quietly(blob_file, command):
    read_end, write_end = os.pipe()
    os.close(read_end)
    with os.fdopen(write_end, "wb") as pipe:
        done = run(command, blob_file, stdout=pipe)
    assert (done.returncode, done.stderr) == (2, "")  # 2, not 1: verify found no difference


@pytest.mark.parametrize("exists", [True, False])
def test_a_file_name_that_cannot_be_encoded_is_shown_escaped(blob_file, tmp_path, exists):
    path = os.fsdecode(os.fsencode(tmp_path) + b"/\xff.vir")
    if exists:
        shutil.copy(blob_file, path)
    done = run("info", path, env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    if exists:
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith(f"{tmp_path}/\\xff.vir: veltrix IR blob")
    else:
        assert done.returncode == 2
        assert done.stderr == f"python -m veltrix_core: cannot read {tmp_path}/\\xff.vir: No such file or directory\n"


def test_an_interrupt_before_the_output_is_in_place_leaves_it_alone(blob_file, tmp_path, monkeypatch):
    out = tmp_path / "keep.vir"
    out.write_bytes(b"earlier result")

    def interrupted(lines):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "say", interrupted)
    assert cli.main(["reduce", str(blob_file), "-o", str(out)]) == 130
    assert out.read_bytes() == b"earlier result"
    assert sorted(os.listdir(tmp_path)) == ["graph.vir", "keep.vir"]


# Pictures of any text.


@pytest.mark.skipif(DOT is None, reason="Graphviz is not installed")
def test_pictures_of_awkward_names_are_well_formed_and_dot_text_stays_exact(tmp_path):
    store = vc.GraphStore()
    x = store.add_source("a\x01b", {"k\x00": "\ufffe"})
    store.add_op("&#1;", [x], {"mode": "\x1f"})
    path = tmp_path / "awkward.vir"
    path.write_bytes(store.serialize(outputs=[1]))
    assert run("dot", path, "-o", tmp_path / "g.svg").returncode == 0
    texts = [e.text for e in ET.parse(tmp_path / "g.svg").iter("{http://www.w3.org/2000/svg}text")]
    assert {"a\\u{1}b", 'k\\u{0}="\\u{fffe}"', "&#1;", 'mode="\\u{1f}"'} <= set(texts)
    assert run("dot", path, "-o", tmp_path / "g.dot").returncode == 0
    assert (tmp_path / "g.dot").read_bytes() == vc.GraphStore.deserialize(path.read_bytes()).to_dot().encode()
