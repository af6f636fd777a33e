"""The `python -m veltrix_core` command line on good and bad files: what it prints, the files it
writes (or, on any failure, leaves alone) and its exit status."""

import os
import shutil
import struct
import subprocess
import sys

import pytest

import veltrix_core as vc
from veltrix_core.cli import first_difference

DOT = shutil.which("dot")


def run(*args, env=None):
    return subprocess.run(
        [sys.executable, "-m", "veltrix_core", *map(str, args)], capture_output=True, text=True, env=env, timeout=120
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


def test_info_of_a_stage_whose_member_text_does_not_parse(tmp_path):
    # One stage, no inputs, one member whose text is "bad", no outputs: the reader accepts it.
    path = tmp_path / "stage.vir"
    path.write_bytes(b"VIR1" + struct.pack("<IBIII", 1, 4, 0, 1, 3) + b"bad" + struct.pack("<II", 0, 0))
    assert run("verify", path).returncode == 0
    done = run("info", path)
    assert done.returncode == 2
    assert done.stderr == f'python -m veltrix_core: cannot read {path}: unparseable stage member token "bad"\n'


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
        (["reduce", "{blob}", "-o", "{tmp}/r.vir", "--outputs", "-1"], "not a node id: '-1'"),
        (["reduce", "{blob}"], "the following arguments are required: -o/--output"),
        (["info"], "the following arguments are required: FILE"),
        ([], "the following arguments are required: COMMAND"),
    ],
)
def test_usage_errors_exit_2_without_a_traceback(blob_file, tmp_path, args, message):
    done = run(*(a.format(blob=blob_file, tmp=tmp_path) for a in args))
    assert done.returncode == 2
    assert message in done.stderr and "Traceback" not in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["graph.vir"]


@pytest.mark.parametrize("command", ["info", "dot", "reduce", "verify"])
def test_every_command_has_help(command):
    done = run(command, "--help")
    assert done.returncode == 0
    assert done.stdout.startswith(f"usage: python -m veltrix_core {command} ")
