"""Writing a file so that a failure cannot leave it half written: the new contents go to a
temporary file beside the target, which reaches the disk and then replaces the target. A
target the user may not write is refused; temporary files that dead runs left beside it are
removed."""

from __future__ import annotations

import os
import re
import shutil
import stat
import sys
import tempfile
from collections.abc import Callable
from typing import BinaryIO

from qel_i18n_tools.errors import ToolError

# Temporary files beside a target: the tools' (`.qel-i18n-PID-XXXX.tmp`, a file or a working
# directory) and the module's (`.NAME.PID-N.tmp`, NAME being the start of the target's name).
_OURS = re.compile(r"\.qel-i18n-(\d+)-[^/]*\.tmp")
_MODULE = re.compile(r"\.(.+)\.(\d+)-\d+\.tmp")


def temporary_prefix() -> str:
    """The start of this process's temporary names: they carry its process id, so that a later
    run can tell those of a run that died."""
    return f".qel-i18n-{os.getpid()}-"


def _is_running(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # a process of another user
    return True


def remove_stale_temporaries(directory: str, *, module: bool = True) -> None:
    """Removes the temporary files (and working directories) that runs which have ended left in
    `directory`, and says so on standard error; those of live processes stay. `module` false
    leaves the module's names alone (in a directory shared with other programs)."""
    try:
        names = os.listdir(directory or ".")
    except OSError:
        return
    present = set(names)
    for name in names:
        if ours := _OURS.fullmatch(name):
            pid = int(ours[1])
        elif (
            module
            and (found := _MODULE.fullmatch(name))
            and any(other.startswith(found[1]) and other != name for other in present)
        ):
            pid = int(found[2])
        else:
            continue
        if _is_running(pid):
            continue
        path = os.path.join(directory, name)
        try:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)
        except OSError:
            continue
        print(f"qel-i18n: removed {path}, left by process {pid}, which has ended", file=sys.stderr)


def _new_file_mode() -> int:
    """The permission bits `open()` gives a new file: 0o666 less the process's umask."""
    mask = os.umask(0o022)
    os.umask(mask)
    return 0o666 & ~mask


def ensure_writable(path: str) -> None:
    """Refuses a target that exists and that the user may not write: no permission, or no
    write bit at all (which would not stop the superuser, as it stops editors)."""
    target = os.path.realpath(path)
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        return
    if not os.access(target, os.W_OK) or not mode & 0o222:
        raise ToolError(f"{path}: the file is read-only; nothing written")


def replace_file(
    path: str,
    write: Callable[[BinaryIO], object],
    *,
    before_replace: Callable[[], object] | None = None,
) -> None:
    """Calls `write` with a binary file beside `path`, brings that file to the disk, calls
    `before_replace` (which may refuse by raising) and puts the file in the place of `path`.
    A replaced file keeps its permission bits (a new one gets those `open()` would give it)
    and a symbolic link keeps pointing where it did. After a failure the target is as it was
    and the temporary file is gone."""
    ensure_writable(path)
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    remove_stale_temporaries(directory)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = _new_file_mode()
    try:
        descriptor, temporary = tempfile.mkstemp(
            prefix=temporary_prefix(), suffix=".tmp", dir=directory
        )
    except OSError as error:
        raise ToolError(f"{path}: {error.strerror or error}; nothing written") from None
    try:
        with open(descriptor, "wb") as file:
            write(file)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        if before_replace is not None:
            before_replace()
        os.replace(temporary, target)
    except BaseException as error:
        left = ""
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        except OSError as removal:  # said, never dropped
            left = f"; {temporary} was left behind ({removal.strerror or removal})"
        if isinstance(error, OSError):  # named by the user's file, not the temporary one
            raise ToolError(f"{path}: {error.strerror or error}; nothing written{left}") from None
        if left:
            error.add_note(left.removeprefix("; "))
        raise
