"""Files the package writes: whole or not at all, never over an input, never through a stray link.

Every output (JSON, CSV, Parquet, figures) goes to a temporary file beside its
target, is flushed and synced, and is renamed over the target only when complete:
a full disk, a crash or Ctrl-C leaves the old file or the new one, never half of
one, and a reader never sees a file being written. Temporary names are unique, so
two commands writing into one directory each leave whole files.

A target that is a pipe or a character device (``/dev/null``, ``>(jq .)``) is
written straight through, since it cannot be replaced; it is never removed.
"""

from __future__ import annotations

import contextlib
import os
import stat
from collections.abc import Iterable, Iterator, Mapping
from typing import IO, Any, BinaryIO, Final, Literal, TextIO, overload

__all__ = ["OutputPathError", "check_outputs", "replacing", "run_inputs"]

#: The output name that means standard output.
STDOUT: Final = "-"


class OutputPathError(ValueError):
    """An output path that cannot be used: an input of the run, shared by two outputs, or not a file.

    Commands report it as a usage error.
    """


def _identity(path: str) -> tuple[object, ...]:
    """What makes two paths the same file: device and inode when it exists (through links), else the real path."""
    try:
        info = os.stat(path)
    except OSError:
        return ("path", os.path.realpath(path))
    return ("inode", info.st_dev, info.st_ino)


def check_outputs(outputs: Mapping[str, str | os.PathLike[str] | None],
                  inputs: Iterable[str | os.PathLike[str]] = ()) -> None:
    """Refuse output paths that would destroy data or each other, before any work is done.

    Parameters
    ----------
    outputs : mapping of str to path or None
        Each output by the name the user knows it by (an option such as
        ``"--json"``) to its path; None (not asked for) and ``"-"`` (standard
        output) are passed over.
    inputs : iterable of path
        The files the run reads. Compared by device and inode, so a link to an
        input, or another spelling of its path, is caught too.

    Raises
    ------
    OutputPathError
        An output is one of the inputs, two outputs are one file, or an output is
        a directory, a block device or a socket.
    """
    sources = {_identity(os.fspath(path)): os.fspath(path) for path in inputs}
    taken: dict[tuple[object, ...], str] = {}
    for name, given in outputs.items():
        if given is None:
            continue
        path = os.fspath(given)
        if path == STDOUT:
            continue
        _check_kind(path, name)
        identity = _identity(path)
        if identity in sources:
            raise OutputPathError(f"{name} {path}: is the input file {sources[identity]}; "
                                  "choose another output path")
        if identity in taken:
            raise OutputPathError(f"{name} {path}: is also the output of {taken[identity]}; "
                                  "give each output its own file")
        taken[identity] = name


def _check_kind(path: str, name: str = "") -> None:
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return  # does not exist yet (or cannot be seen): writing it will say
    if stat.S_ISREG(mode) or stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
        return
    what = "a directory" if stat.S_ISDIR(mode) else "a block device" if stat.S_ISBLK(mode) else "not a file"
    raise OutputPathError(f"{name + ' ' if name else ''}{path}: is {what}; an output must be a file")


def run_inputs(directories: Iterable[str | os.PathLike[str]], names: Iterable[str]) -> list[str]:
    """The files of `names` that exist in any of `directories`: what a run reads, for `check_outputs`."""
    wanted = list(names)
    found = []
    for directory in directories:
        for name in wanted:
            path = os.path.join(os.fspath(directory), name)
            if os.path.exists(path):
                found.append(path)
    return found


@overload
def replacing(path: str | os.PathLike[str], *, binary: Literal[False] = ...,
              follow_links: bool = ...) -> contextlib.AbstractContextManager[TextIO]: ...
@overload
def replacing(path: str | os.PathLike[str], *, binary: Literal[True],
              follow_links: bool = ...) -> contextlib.AbstractContextManager[BinaryIO]: ...
def replacing(path: str | os.PathLike[str], *, binary: bool = False,
              follow_links: bool = True) -> contextlib.AbstractContextManager[TextIO] | \
        contextlib.AbstractContextManager[BinaryIO]:
    """A file to write `path` through: its content replaces `path` only when the block ends without error.

    Parameters
    ----------
    path : str or os.PathLike
        The target.
    binary : bool
        Yield a binary file instead of UTF-8 text (newlines as written).
    follow_links : bool
        When `path` is a symbolic link, replace the file it points to (True, for
        a path the user named) or the link itself (False, for names the package
        chooses in a directory, where a link is never written through).

    Raises
    ------
    OutputPathError
        `path` is a directory, a block device or a socket.
    OSError
        The file cannot be written; the target is then as it was.
    """
    manager: Any = _replacing(os.fspath(path), binary, follow_links)
    return manager  # type: ignore[no-any-return]


@contextlib.contextmanager
def _replacing(path: str, binary: bool, follow_links: bool) -> Iterator[IO[Any]]:
    target = os.path.realpath(path) if follow_links and os.path.islink(path) else path
    _check_kind(target)
    try:
        existing = os.stat(target, follow_symlinks=False)
    except FileNotFoundError:
        existing = None
    if existing is not None and (stat.S_ISCHR(existing.st_mode) or stat.S_ISFIFO(existing.st_mode)):
        # Cannot be replaced (and must never be removed): written as it is.
        with _open(os.open(target, os.O_WRONLY), binary) as passthrough:
            yield passthrough
        return
    import tempfile  # with shutil and the compression modules: only once a file is written

    folder, name = os.path.split(target)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder or os.curdir)
    try:
        with _open(fd, binary) as stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        # mkstemp makes the file private; give it the mode the target has, or a new file's.
        os.chmod(temporary, stat.S_IMODE(existing.st_mode) if existing is not None and stat.S_ISREG(existing.st_mode)
                 else 0o666 & ~_umask())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    _sync_directory(folder or os.curdir)


def _open(fd: int, binary: bool) -> IO[Any]:
    return os.fdopen(fd, "wb") if binary else os.fdopen(fd, "w", encoding="utf-8", newline="")


def _umask() -> int:
    """The process's umask, read without changing it where the system allows."""
    with contextlib.suppress(OSError, ValueError, StopIteration):
        with open("/proc/self/status", encoding="ascii") as status:
            return int(next(line for line in status if line.startswith("Umask:")).split()[1], 8)
    mask = os.umask(0o022)  # elsewhere the only way to read it is to set it
    os.umask(mask)
    return mask


def _sync_directory(folder: str) -> None:
    """Make the rename itself durable; not every file system allows it, which costs only durability."""
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
