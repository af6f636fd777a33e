"""Reading and writing the files a command is given without harming them.

Reading takes a regular file (or standard input) and no more than a byte limit: a FIFO, a device
or a directory is refused before anything is read from it, so nothing blocks or reads forever.

Writing is staged: `stage_output` checks the path and prepares the write, and only `commit` makes
it visible, so a command can still give up (its report to standard output failed, the user
interrupted it) without touching the path. What the path names decides how it is written:

- nothing yet: a new file, made atomically (written beside it, then renamed into place);
- a regular file, or a symbolic link to one: the file the link resolves to is replaced atomically
  in its own directory, keeping its permission bits and, where the process may, its owner and
  group;
- a regular file with more than one hard link: refused, since replacing it would part it from its
  other names and writing it in place could leave it half-written;
- a character device or a FIFO: written directly, never replaced; a FIFO that no process reads
  is refused rather than waited for;
- anything else (a directory, a socket, a block device, a link to a missing file): refused.
"""

from __future__ import annotations

import errno
import os
import stat
import sys
import tempfile
from collections.abc import Callable
from types import TracebackType

__all__ = ["DEFAULT_MAX_BYTES", "FileError", "Output", "read_input", "shown", "stage_output"]

DEFAULT_MAX_BYTES = 1 << 30
STDIN = "-"
READ_CHUNK = 1 << 20


class FileError(Exception):
    """A file cannot be read or written; the message is one line that names the file."""


def shown(path: str) -> str:
    """`path` as text any stream can print: a byte of the name that is not valid in the file
    system's encoding (carried as a lone surrogate) is written as \\xNN."""
    return os.fsencode(path).decode(sys.getfilesystemencoding(), "backslashreplace")


def reason(error: OSError) -> str:
    return error.strerror or str(error)


def kind_of(mode: int) -> str:
    for test, name in (
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISSOCK, "a socket"),
    ):
        if test(mode):
            return name
    return "not a regular file"


def refusal(path: str, doing: str, mode: int) -> FileError:
    if stat.S_ISDIR(mode):  # the system's own words, as for every other failure of a path
        return FileError(f"cannot {doing} {shown(path)}: Is a directory")
    return FileError(f"cannot {doing} {shown(path)}: it is {kind_of(mode)}, not a regular file")


# Reading


def read_input(path: str, max_bytes: int = DEFAULT_MAX_BYTES) -> bytes:
    """The whole content of the regular file `path` (standard input for "-"), refused with
    `FileError` when it is anything but a regular file or holds more than `max_bytes` bytes."""
    if path == STDIN:
        return read_stdin(max_bytes)
    try:
        # Checked before opening, so a FIFO or a device is never opened at all. The path may name
        # something else by the time it is opened: opened without blocking (a FIFO put there
        # cannot hang the open) and checked again on what was opened.
        refuse_unreadable(path, os.stat(path), max_bytes)
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        raise FileError(f"cannot read {shown(path)}: {reason(error)}") from None
    try:
        info = os.fstat(fd)
        refuse_unreadable(path, info, max_bytes)
        return read_bounded(lambda size: os.read(fd, size), path, info.st_size, max_bytes)
    except OSError as error:
        raise FileError(f"cannot read {shown(path)}: {reason(error)}") from None
    finally:
        os.close(fd)


def refuse_unreadable(path: str, info: os.stat_result, max_bytes: int) -> None:
    if not stat.S_ISREG(info.st_mode):
        raise refusal(path, "read", info.st_mode)
    if info.st_size > max_bytes:
        raise too_large(path, max_bytes)


def too_large(path: str, max_bytes: int) -> FileError:
    name = "standard input" if path == STDIN else shown(path)
    return FileError(f"cannot read {name}: it holds more than {max_bytes} bytes (the limit --max-bytes sets)")


def read_stdin(max_bytes: int) -> bytes:
    stream = getattr(sys.stdin, "buffer", None)
    if stream is None:
        raise FileError("cannot read standard input: it is closed")
    try:
        return read_bounded(stream.read, STDIN, READ_CHUNK, max_bytes)
    except OSError as error:
        raise FileError(f"cannot read standard input: {reason(error)}") from None


def read_bounded(read: Callable[[int], bytes], path: str, expected: int, max_bytes: int) -> bytes:
    """Reads to the end in pieces, the first as large as the expected size so that a file whose
    size was known is read in one piece without a copy; more than `max_bytes` is refused
    (a file may grow after its size was taken, and standard input has none)."""
    pieces: list[bytes] = []
    total = 0
    want = min(expected, max_bytes) + 1
    while piece := read(want):
        pieces.append(piece)
        total += len(piece)
        if total > max_bytes:
            raise too_large(path, max_bytes)
        want = min(READ_CHUNK, max_bytes - total + 1)
    return pieces[0] if len(pieces) == 1 else b"".join(pieces)


# Writing


class Output:
    """A staged write: nothing reaches the path before `commit`; leaving a `with` block without
    committing discards it."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.done = False

    def commit(self) -> None:
        try:
            self.finish()
        except OSError as error:
            raise FileError(f"cannot write {shown(self.path)}: {reason(error)}") from None
        finally:
            self.done = True
            self.release()

    def __enter__(self) -> Output:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if not self.done:
            self.done = True
            self.release()

    def finish(self) -> None:
        raise NotImplementedError

    def release(self) -> None:
        raise NotImplementedError


class Replacement(Output):
    """A regular file written whole into a new file in the target's directory, then renamed over
    the target: a failure or an interrupt leaves the target as it was."""

    def __init__(self, path: str, target: str, data: bytes, existing: os.stat_result | None) -> None:
        super().__init__(path)
        self.target = target
        directory, name = os.path.split(target)
        fd, self.temporary = tempfile.mkstemp(dir=directory or ".", prefix=f".{name}.", suffix=".part")
        try:
            with os.fdopen(fd, "wb") as out:
                keep_identity(out.fileno(), existing)
                out.write(data)
                out.flush()
                os.fsync(out.fileno())
        except BaseException:
            self.release()
            raise

    def finish(self) -> None:
        os.replace(self.temporary, self.target)
        self.temporary = ""
        sync_directory(os.path.dirname(self.target) or ".")

    def release(self) -> None:
        if self.temporary:
            try:
                os.unlink(self.temporary)
            except OSError:
                pass
            self.temporary = ""


class DirectWrite(Output):
    """A character device or FIFO, opened now (so that a FIFO without a reader is refused before
    anything else happens) and written on commit."""

    def __init__(self, path: str, data: bytes, is_fifo: bool) -> None:
        super().__init__(path)
        self.data = data
        self.fd = -1
        # Non-blocking, so that opening a FIFO nobody reads fails at once instead of waiting for a
        # reader; the writes themselves block as usual.
        try:
            self.fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
        except OSError as error:
            if error.errno == errno.ENXIO and is_fifo:
                raise FileError(f"cannot write {shown(path)}: it is a FIFO that no process is reading") from None
            raise
        try:
            mode = os.fstat(self.fd).st_mode
            if not (stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)):
                raise FileError(f"cannot write {shown(path)}: it changed while being opened")
            os.set_blocking(self.fd, True)
        except BaseException:
            self.release()
            raise

    def finish(self) -> None:
        view = memoryview(self.data)
        while view:
            view = view[os.write(self.fd, view) :]

    def release(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def stage_output(path: str, data: bytes) -> Output:
    """Prepares writing `data` to `path` (see the module's description for each kind of path);
    raises `FileError` when the path cannot or must not be written."""
    try:
        return prepared(path, data)
    except FileNotFoundError as error:
        if os.path.islink(path):
            raise FileError(f"cannot write {shown(path)}: it is a symbolic link to a missing file") from None
        raise FileError(f"cannot write {shown(path)}: {reason(error)}") from None
    except OSError as error:
        raise FileError(f"cannot write {shown(path)}: {reason(error)}") from None


def prepared(path: str, data: bytes) -> Output:
    try:
        info = os.stat(path)
    except FileNotFoundError:
        if os.path.islink(path):
            raise
        return Replacement(path, path, data, None)
    mode = info.st_mode
    if stat.S_ISREG(mode):
        if info.st_nlink > 1:
            raise FileError(
                f"cannot write {shown(path)}: it has {info.st_nlink} hard links, and replacing it would part it "
                "from the others (write elsewhere, or remove the other links first)"
            )
        return Replacement(path, os.path.realpath(path), data, info)
    if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
        return DirectWrite(path, data, is_fifo=stat.S_ISFIFO(mode))
    raise refusal(path, "write", mode)


def keep_identity(fd: int, existing: os.stat_result | None) -> None:
    """Gives the new file the owner, group and permission bits of the file it replaces, or those
    any new file would get. The owner first: changing it clears set-id bits."""
    if existing is None:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        return
    for uid, gid in ((existing.st_uid, existing.st_gid), (-1, existing.st_gid)):
        try:
            os.fchown(fd, uid, gid)
            break
        except PermissionError:  # only a privileged process may give a file away
            continue
    os.fchmod(fd, stat.S_IMODE(existing.st_mode))


def sync_directory(directory: str) -> None:
    """Makes the rename durable; a file system that cannot sync a directory loses nothing else."""
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
