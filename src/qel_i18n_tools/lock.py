"""One run at a time on a catalogue: a verb that writes holds an exclusive lock on a small file
beside the catalogue from its first read to its last replace. A second run waits a bounded
time, then fails naming the run that holds it. The kernel drops the lock of a killed process,
so a lock file left behind never blocks anyone."""

from __future__ import annotations

import contextlib
import fcntl
import os
import shlex
import sys
import time
from collections.abc import Iterator

from qel_i18n_tools.errors import ToolError

LOCK_WAIT = 30.0  # seconds a run waits for another's lock by default
_POLL = 0.05


def lock_name(catalogue: str) -> str:
    """The lock file of a catalogue: `.NAME.qel-i18n-lock` beside the file itself (through
    symbolic links, so that every name of one catalogue shares its lock)."""
    real = os.path.realpath(catalogue)
    head, tail = os.path.split(real)
    return os.path.join(head, f".{tail}.qel-i18n-lock")


class _CannotCreate(ToolError):
    """The lock file cannot be made."""


def _holder(path: str) -> str:
    """Who holds a lock, as its holder wrote it: process id and command line."""
    try:
        with open(path, encoding="utf8", errors="replace") as file:
            text = file.read(4096).strip()
    except OSError:
        text = ""
    return text or "another process"


def _open_locked(path: str, deadline: float, catalogue: str) -> int:
    """A descriptor of the lock file, locked; a lock file that its holder removed meanwhile is
    opened again, so that two runs never hold locks on two different files."""
    while True:
        try:
            descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        except OSError as error:
            raise _CannotCreate(
                f"{catalogue}: cannot create the lock file {path}: {error.strerror}"
            ) from None
        try:
            while True:
                try:
                    fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    if time.monotonic() >= deadline:
                        raise ToolError(
                            f"{catalogue}: another qel-i18n run is writing it ({_holder(path)}); "
                            "try again when it ends"
                        ) from None
                    time.sleep(_POLL)
            with contextlib.suppress(FileNotFoundError):
                if os.stat(path).st_ino == os.fstat(descriptor).st_ino:
                    return descriptor
        except BaseException:
            os.close(descriptor)
            raise
        os.close(descriptor)


@contextlib.contextmanager
def catalogue_lock(
    catalogue: str, wait: float = LOCK_WAIT, *, required: bool = True
) -> Iterator[None]:
    """Holds the catalogue's lock for the block; the lock file is gone afterwards. Unless
    `required`, a directory where no lock file can be made (a read-only checkout, for a verb
    that only reads the catalogue) runs the block without the lock."""
    path = lock_name(catalogue)
    try:
        descriptor = _open_locked(path, time.monotonic() + wait, catalogue)
    except _CannotCreate:
        if required:
            raise
        yield
        return
    try:
        command = shlex.join([os.path.basename(sys.argv[0]), *sys.argv[1:]])
        os.ftruncate(descriptor, 0)
        os.write(descriptor, f"process {os.getpid()}: {command}\n".encode("utf8", "replace"))
        yield
    finally:
        # Removed while still locked: a run waiting on this file then finds it gone, and opens
        # the next one.
        with contextlib.suppress(OSError):
            os.unlink(path)
        os.close(descriptor)
