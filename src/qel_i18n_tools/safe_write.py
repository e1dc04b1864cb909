"""Writing a file so that a failure cannot leave it half written: the new contents go to a
temporary file beside the target, which replaces the target only once complete."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from collections.abc import Callable
from typing import BinaryIO


def _new_file_mode() -> int:
    """The permission bits `open()` gives a new file: 0o666 less the process's umask."""
    mask = os.umask(0o022)
    os.umask(mask)
    return 0o666 & ~mask


def replace_file(path: str, write: Callable[[BinaryIO], object]) -> None:
    """Calls `write` with a binary file beside `path`, then puts that file in the place of
    `path`. A replaced file keeps its permission bits (a new one gets those `open()` would give
    it) and a symbolic link keeps pointing where it did. After a failure the target is as it
    was and the temporary file is gone."""
    target = os.path.realpath(path)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = _new_file_mode()
    descriptor, temporary = tempfile.mkstemp(
        prefix=".qel-i18n-", suffix=".tmp", dir=os.path.dirname(target)
    )
    try:
        with open(descriptor, "wb") as file:
            write(file)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
